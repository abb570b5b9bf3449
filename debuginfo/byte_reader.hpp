// A bounds-checked cursor over debug-information bytes: every read either
// stays inside the span or fails with InvalidDebugInfo.
#pragma once
#include <cstring>
#include <span>
#include <string_view>

#include "debuginfo/dwarf_constants.hpp"
#include "support/error.hpp"
#include "support/types.hpp"

namespace dwarf {

// LEB128 at bytes[pos], advancing pos past it; is_signed
// sign-extends the value. Failure clears ok instead of making an error
// value, for the loops that read one per opcode (the line program). At
// most 10 bytes, and the tenth carries only bit 63 (the rest of it must
// be zero, or signed, copies of that bit): a value that does not fit 64
// bits is malformed, not cut short. The loop has a fixed length, which
// the compiler unrolls.
[[nodiscard]] inline u64 decodeLeb128(std::span<const u8> bytes, usize& pos, bool is_signed, bool& ok) {
    u64 value = 0;
    for (unsigned shift = 0; shift < 70; shift += 7) {
        if (pos >= bytes.size()) break;
        const u8 byte = bytes[pos++];
        if (shift < 64) value |= u64{byte & 0x7fu} << shift;
        if (shift == 63 && (byte & 0x7e) != (is_signed && (byte & 1) != 0 ? 0x7e : 0)) break;
        if ((byte & 0x80) == 0) {
            if (is_signed && shift < 57 && (byte & 0x40) != 0) value |= ~u64{0} << (shift + 7);
            return value;
        }
    }
    ok = false;
    return 0;
}

// decodeLeb128 with the failure as an error value; the signed value's bits
// when is_signed. Always inlined: the DIE and abbreviation readers call it
// per attribute, and left to itself the compiler makes it a call.
[[nodiscard, gnu::always_inline]] inline Result<u64> readLeb128(std::span<const u8> bytes, usize& pos, bool is_signed) {
    bool ok = true;
    const u64 value = decodeLeb128(bytes, pos, is_signed, ok);
    if (!ok) return XOV_FAIL(Error::InvalidDebugInfo);
    return value;
}

struct ByteReader {
    std::span<const u8> bytes;
    usize pos = 0;

    ByteReader() = default;
    explicit ByteReader(std::span<const u8> b, usize start = 0) : bytes(b), pos(start) {}

    [[nodiscard]] usize remaining() const { return pos <= bytes.size() ? bytes.size() - pos : 0; }
    [[nodiscard]] bool atEnd() const { return pos >= bytes.size(); }

    [[nodiscard]] Result<void> seek(usize offset) {
        if (offset > bytes.size()) return XOV_FAIL(Error::InvalidDebugInfo);
        pos = offset;
        return {};
    }

    [[nodiscard]] Result<void> skip(u64 n) {
        if (n > remaining()) return XOV_FAIL(Error::InvalidDebugInfo);
        pos += static_cast<usize>(n);
        return {};
    }

    [[nodiscard]] Result<std::span<const u8>> take(u64 n) {
        if (n > remaining()) return XOV_FAIL(Error::InvalidDebugInfo);
        const auto out = bytes.subspan(pos, static_cast<usize>(n));
        pos += static_cast<usize>(n);
        return out;
    }

    // Little-endian unsigned integer of 1 to 8 bytes.
    [[nodiscard]] Result<u64> readUnsigned(usize size) {
        if (size == 0 || size > 8 || size > remaining()) return XOV_FAIL(Error::InvalidDebugInfo);
        u64 value = 0;
        for (usize i = 0; i < size; ++i) value |= static_cast<u64>(bytes[pos + i]) << (8 * i);
        pos += size;
        return value;
    }
    [[nodiscard]] Result<u8> readU8() {
        if (atEnd()) return XOV_FAIL(Error::InvalidDebugInfo);
        return bytes[pos++];
    }
    [[nodiscard]] Result<u16> readU16() { return static_cast<u16>(TRY(readUnsigned(2))); }
    [[nodiscard]] Result<u32> readU32() { return static_cast<u32>(TRY(readUnsigned(4))); }
    [[nodiscard]] Result<u64> readU64() { return TRY(readUnsigned(8)); }
    [[nodiscard]] Result<i8> readI8() { return static_cast<i8>(TRY(readUnsigned(1))); }

    // LEB128, as decodeLeb128 reads it.
    [[nodiscard]] Result<u64> readUleb() { return readLeb128(bytes, pos, false); }
    [[nodiscard]] Result<i64> readSleb() { return static_cast<i64>(TRY(readLeb128(bytes, pos, true))); }

    // A NUL-terminated string; the terminator is consumed, not returned.
    [[nodiscard]] Result<std::string_view> readCString() {
        if (atEnd()) return XOV_FAIL(Error::InvalidDebugInfo);
        const void* nul = std::memchr(bytes.data() + pos, 0, remaining());
        if (nul == nullptr) return XOV_FAIL(Error::InvalidDebugInfo);
        const usize len = static_cast<usize>(static_cast<const u8*>(nul) - (bytes.data() + pos));
        std::string_view s(reinterpret_cast<const char*>(bytes.data() + pos), len);
        pos += len + 1;
        return s;
    }

    // An initial length: 32-bit, or the 64-bit format's escape followed by
    // a 64-bit length. Sets offset_size to 4 or 8.
    [[nodiscard]] Result<u64> readInitialLength(u8& offset_size) {
        const u32 first = TRY(readU32());
        if (first == initial_length::dwarf64) {
            offset_size = 8;
            return TRY(readU64());
        }
        if (first >= initial_length::reserved) return XOV_FAIL(Error::InvalidDebugInfo);
        offset_size = 4;
        return first;
    }
};

// The string at offset in a string section.
[[nodiscard]] inline Result<std::string_view> stringAt(std::span<const u8> section, u64 offset) {
    if (offset >= section.size()) return XOV_FAIL(Error::InvalidDebugInfo);
    ByteReader r(section, static_cast<usize>(offset));
    return r.readCString();
}

}  // namespace dwarf
