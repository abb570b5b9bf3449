// An ELF file mapped whole, its section headers, and the sections the
// debug-information reader needs (zlib-compressed ones inflated once into
// the reader's arena).
#pragma once
#include <elf.h>

#include <optional>
#include <span>
#include <string_view>

#include "memory/allocator.hpp"
#include "support/error.hpp"
#include "support/lazy.hpp"

namespace dwarf {

// A symbol table section and the string table its names are in.
struct SymbolSection {
    std::span<const Elf64_Sym> symbols;
    std::span<const u8> strings;
};

struct DebugLink {
    std::string_view file_name;
    u32 crc;
};

class ElfImage {
  public:
    // Maps the file read-only. Any failure to open, map or validate it is
    // MissingDebugInfo (there is nothing to read) or InvalidDebugInfo (the
    // file is not a well-formed 64-bit little-endian ELF).
    [[nodiscard]] static Result<ElfImage*> open(const char* path, mem::Allocator allocator);
    // Over bytes already in memory (never unmapped by the image).
    [[nodiscard]] static Result<ElfImage*> parse(std::span<const u8> file, mem::Allocator allocator);

    // The contents of the named section: empty when the image has no such
    // section (or it occupies no file space), inflated when compressed.
    // A header pointing outside the file, or a corrupt compressed section,
    // is InvalidDebugInfo.
    [[nodiscard]] Result<std::span<const u8>> section(std::string_view name);
    [[nodiscard]] bool hasSection(std::string_view name) const;

    // A symbol table (".symtab", ".dynsym") with its string table; empty
    // when the image has none. Headers pointing outside the file are
    // InvalidDebugInfo.
    [[nodiscard]] Result<SymbolSection> symbolSection(std::string_view name);

    // The GNU build id (empty when absent) and the .gnu_debuglink record.
    [[nodiscard]] std::span<const u8> buildId();
    [[nodiscard]] std::optional<DebugLink> debugLink();

    [[nodiscard]] std::span<const u8> fileBytes() const { return file_; }
    // The bytes the file's headers and sections account for (at most the
    // file's size). A debug file holds little else.
    [[nodiscard]] u64 describedBytes() const;

  private:
    [[nodiscard]] std::optional<usize> findIndex(std::string_view name) const;
    [[nodiscard]] Result<std::span<const u8>> load(usize index);

    std::span<const u8> file_;
    std::span<const Elf64_Shdr> headers_;
    std::span<const u8> names_;  // the section-name string table
    Lazy<std::span<const u8>>* cache_ = nullptr;  // per section header
    mem::Allocator allocator_;
};

// CRC-32 as used by .gnu_debuglink (the zlib polynomial).
[[nodiscard]] u32 crc32(std::span<const u8> bytes);

}  // namespace dwarf
