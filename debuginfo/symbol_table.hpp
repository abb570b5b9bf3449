// Function names from a module's ELF symbol table, for code no DWARF
// describes (the C library, hand-written assembly, objects built without
// -g). Built on first use: the function symbols sorted by address, each
// name demangled once when first asked for.
#pragma once
#include <elf.h>

#include <optional>
#include <span>
#include <string_view>

#include "memory/allocator.hpp"
#include "support/error.hpp"

namespace dwarf {

class ElfImage;

class SymbolTable {
  public:
    // From .symtab of the image, else of its separate debug file (which
    // keeps the table a stripped image lost), else .dynsym of the image.
    // MissingDebugInfo when none has a function symbol.
    [[nodiscard]] static Result<SymbolTable*> build(ElfImage& image, ElfImage* debug_image,
                                                    mem::Allocator allocator);

    // The name of the function symbol holding a file address: demangled
    // (without parameters, like the names read from DWARF) when it is a
    // C++ name the demangler knows, else as the table spells it.
    [[nodiscard]] std::optional<std::string_view> find(u64 address);

  private:
    struct Symbol {
        u64 address;
        u64 size;
        u32 name;        // offset in strings_
        u32 preference;  // of aliases at one address, the highest is named
    };

    std::span<Symbol> symbols_;  // sorted by address
    std::span<const u8> strings_;
    std::string_view* names_ = nullptr;  // demangled lazily, per symbol
    mem::Allocator allocator_;
};

}  // namespace dwarf
