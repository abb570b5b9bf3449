// Compressed debug sections: zlib (ELFCOMPRESS_ZLIB) and zstd
// (ELFCOMPRESS_ZSTD, objcopy --compress-debug-sections=zstd, -gz=zstd).
#include "debuginfo/compressed_section.hpp"

#include <elf.h>
#include <zlib.h>
// The custom-allocator entry points are in the library's experimental
// section; they are exported by both the static and the shared library.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

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

// The same for zstd's decompression context.
void* zstdAlloc(void* opaque, size_t size) {
    const auto* allocator = static_cast<const mem::Allocator*>(opaque);
    if (size == 0) return nullptr;
    return allocator->rawAlloc(size, 4, reinterpret_cast<usize>(__builtin_return_address(0)));
}

void zstdFree(void*, void*) {}

// Not yet in every C library's <elf.h>.
constexpr u32 elfcompress_zstd = 2;

Result<void> inflateZlib(std::span<const u8> input, std::span<u8> out, mem::Allocator allocator) {
    z_stream stream{};
    stream.zalloc = zlibAlloc;
    stream.zfree = zlibFree;
    stream.opaque = &allocator;
    if (inflateInit(&stream) != Z_OK) return XOV_FAIL(Error::InvalidDebugInfo);
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
    const bool complete = status == Z_STREAM_END && stream.total_out == out.size();
    inflateEnd(&stream);
    if (!complete) return XOV_FAIL(Error::InvalidDebugInfo);
    return {};
}

// One or more zstd frames that together give exactly out.size() bytes.
Result<void> decompressZstd(std::span<const u8> input, std::span<u8> out, mem::Allocator allocator) {
    ZSTD_DCtx* context = ZSTD_createDCtx_advanced(ZSTD_customMem{zstdAlloc, zstdFree, &allocator});
    if (context == nullptr) return XOV_FAIL(Error::OutOfMemory);
    const size_t written = ZSTD_decompressDCtx(context, out.data(), out.size(), input.data(), input.size());
    ZSTD_freeDCtx(context);
    if (ZSTD_isError(written) != 0 || written != out.size()) return XOV_FAIL(Error::InvalidDebugInfo);
    return {};
}

// Compressed sections larger than this are treated as corrupt: a mangled
// ch_size must not make the reader map gigabytes.
constexpr u64 max_inflated_size = u64{1} << 30;

// Deflate's densest code is a 258-byte match in two bits: no zlib stream
// inflates to more than 1032 times its own size.
constexpr u64 max_deflate_ratio = 1032;

// Whether the payload can inflate to the size the header claims. A zstd
// frame states its content size, or else its block count bounds it; zlib
// has only its ratio.
bool plausibleSize(u32 type, std::span<const u8> input, u64 claimed) {
    if (type == ELFCOMPRESS_ZLIB) {
        u64 most = 0;
        return __builtin_mul_overflow(u64{input.size()}, max_deflate_ratio, &most) || claimed <= most;
    }
    const unsigned long long bound = ZSTD_decompressBound(input.data(), input.size());
    if (bound == ZSTD_CONTENTSIZE_ERROR) return false;
    const unsigned long long stated = ZSTD_findDecompressedSize(input.data(), input.size());
    if (stated != ZSTD_CONTENTSIZE_UNKNOWN && stated != ZSTD_CONTENTSIZE_ERROR && stated != claimed) return false;
    return claimed <= bound;
}

}  // namespace

Result<std::span<const u8>> decompressSection(std::span<const u8> raw, mem::Allocator allocator) {
    if (raw.size() < sizeof(Elf64_Chdr)) return XOV_FAIL(Error::InvalidDebugInfo);
    Elf64_Chdr chdr;
    std::memcpy(&chdr, raw.data(), sizeof chdr);
    if ((chdr.ch_type != ELFCOMPRESS_ZLIB && chdr.ch_type != elfcompress_zstd) || chdr.ch_size == 0 ||
        chdr.ch_size > max_inflated_size)
        return XOV_FAIL(Error::InvalidDebugInfo);
    const auto input = raw.subspan(sizeof(Elf64_Chdr));
    if (!plausibleSize(chdr.ch_type, input, chdr.ch_size)) return XOV_FAIL(Error::InvalidDebugInfo);
    // Not filled first: decompression writes every byte or fails, and a
    // fill would touch all the pages of a size the payload may never reach.
    const usize size = static_cast<usize>(chdr.ch_size);
    u8* bytes = allocator.rawAlloc(size, 0, reinterpret_cast<usize>(__builtin_return_address(0)));
    if (bytes == nullptr) return XOV_FAIL(Error::OutOfMemory);
    const std::span<u8> out(bytes, size);
    if (chdr.ch_type == ELFCOMPRESS_ZLIB)
        TRY(inflateZlib(input, out, allocator));
    else
        TRY(decompressZstd(input, out, allocator));
    return std::span<const u8>(out.data(), out.size());
}

}  // namespace dwarf
