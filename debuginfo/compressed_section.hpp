// Sections stored compressed (SHF_COMPRESSED: an Elf64_Chdr, then the
// compressed bytes: zlib or zstd), inflated into the reader's arena.
#pragma once
#include <span>

#include "memory/allocator.hpp"
#include "support/error.hpp"

namespace dwarf {

// The section's uncompressed bytes. A header naming an unknown algorithm,
// a size out of bounds, or data that does not decompress to exactly the
// size the header gives is InvalidDebugInfo.
[[nodiscard]] Result<std::span<const u8>> decompressSection(std::span<const u8> raw, mem::Allocator allocator);

}  // namespace dwarf
