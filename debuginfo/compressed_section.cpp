// Compressed debug sections: zlib (ELFCOMPRESS_ZLIB).
#include "debuginfo/compressed_section.hpp"

#include <elf.h>
#include <zlib.h>

#include <cstring>

namespace dwarf {

namespace {

// zlib's working memory comes from the reader's arena: no malloc on a path
// that runs inside panic and fault handlers.
void* zlibAlloc(void* opaque, unsigned items, unsigned size) {
    const auto* allocator = static_cast<const mem::Allocator*>(opaque);
    const usize bytes = static_cast<usize>(items) * size;
    if (bytes == 0) return nullptr;
    return allocator->rawAlloc(bytes, 4, reinterpret_cast<usize>(__builtin_return_address(0)));
}

void zlibFree(void*, void*) {}

// Compressed sections larger than this are treated as corrupt: a mangled
// ch_size must not make the reader map gigabytes.
constexpr u64 max_inflated_size = u64{1} << 30;

}  // namespace

Result<std::span<const u8>> decompressSection(std::span<const u8> raw, mem::Allocator allocator) {
    if (raw.size() < sizeof(Elf64_Chdr)) return XOV_FAIL(Error::InvalidDebugInfo);
    Elf64_Chdr chdr;
    std::memcpy(&chdr, raw.data(), sizeof chdr);
    if (chdr.ch_type != ELFCOMPRESS_ZLIB || chdr.ch_size == 0 || chdr.ch_size > max_inflated_size)
        return XOV_FAIL(Error::InvalidDebugInfo);
    auto out = TRY(allocator.alloc<u8>(static_cast<usize>(chdr.ch_size)));

    z_stream stream{};
    stream.zalloc = zlibAlloc;
    stream.zfree = zlibFree;
    stream.opaque = &allocator;
    if (inflateInit(&stream) != Z_OK) return XOV_FAIL(Error::InvalidDebugInfo);
    const auto input = raw.subspan(sizeof(Elf64_Chdr));
    // zlib counts in 32-bit units; sections here are far below 4 GiB and
    // max_inflated_size keeps the output so.
    if (input.size() > 0xffffffffu) {
        inflateEnd(&stream);
        return XOV_FAIL(Error::InvalidDebugInfo);
    }
    stream.next_in = const_cast<Bytef*>(input.data());
    stream.avail_in = static_cast<uInt>(input.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    const int status = inflate(&stream, Z_FINISH);
    const bool complete = status == Z_STREAM_END && stream.total_out == chdr.ch_size;
    inflateEnd(&stream);
    if (!complete) return XOV_FAIL(Error::InvalidDebugInfo);
    return std::span<const u8>(out.data(), out.size());
}

}  // namespace dwarf
