// The symbol table: function symbols sorted by address, and lookup of the
// one holding an address.
#include "debuginfo/symbol_table.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "debuginfo/arena_list.hpp"
#include "debuginfo/byte_reader.hpp"
#include "debuginfo/demangle.hpp"
#include "debuginfo/elf_image.hpp"

namespace dwarf {

namespace {

bool isFunction(const Elf64_Sym& symbol) {
    const unsigned type = ELF64_ST_TYPE(symbol.st_info);
    return (type == STT_FUNC || type == STT_GNU_IFUNC) && symbol.st_shndx != SHN_UNDEF && symbol.st_value != 0;
}

// Of several names for one function (the C library has "__read" and
// "read", "__libc_start_main_impl" and "__libc_start_main"), the public
// one: visible outside its module, then with fewer leading underscores,
// then the shorter. Independent of the order the linker listed them in.
u32 preference(const Elf64_Sym& symbol, std::span<const u8> strings) {
    usize underscores = 0;
    usize length = 0;
    for (usize i = symbol.st_name; i < strings.size() && strings[i] != 0; ++i) {
        if (strings[i] == '_' && underscores == length) ++underscores;
        ++length;
    }
    const u32 visible = ELF64_ST_VISIBILITY(symbol.st_other) == STV_DEFAULT ? 1 : 0;
    const u32 fewer_underscores = 255 - static_cast<u32>(underscores < 255 ? underscores : 255);
    const u32 shorter = 0xffff - static_cast<u32>(length < 0xffff ? length : 0xffff);
    return visible << 24 | fewer_underscores << 16 | shorter;
}

}  // namespace

Result<SymbolTable*> SymbolTable::build(ElfImage& image, ElfImage* debug_image, mem::Allocator allocator) {
    SymbolSection section = TRY(image.symbolSection(".symtab"));
    if (section.symbols.empty() && debug_image != nullptr && debug_image != &image)
        section = TRY(debug_image->symbolSection(".symtab"));
    if (section.symbols.empty()) section = TRY(image.symbolSection(".dynsym"));

    ArenaList<Symbol> symbols;
    for (const Elf64_Sym& symbol : section.symbols) {
        if (!isFunction(symbol) || symbol.st_name >= section.strings.size()) continue;
        TRY(symbols.append(allocator, Symbol{symbol.st_value, symbol.st_size, symbol.st_name,
                                             preference(symbol, section.strings)}));
    }
    if (symbols.len == 0) return XOV_FAIL(Error::MissingDebugInfo);
    auto list = symbols.span();
    // Aliases share an address. The lookup tries the nearest symbol first,
    // so the one sorted last among equals is named: the larger, else the
    // preferred name.
    std::sort(list.begin(), list.end(), [](const Symbol& a, const Symbol& b) {
        if (a.address != b.address) return a.address < b.address;
        return a.size != b.size ? a.size < b.size : a.preference < b.preference;
    });

    auto* table = TRY(allocator.create<SymbolTable>());
    new (table) SymbolTable();
    table->symbols_ = list;
    table->strings_ = section.strings;
    table->allocator_ = allocator;
    auto names = TRY(allocator.alloc<std::string_view>(list.size()));
    for (auto& n : names) n = std::string_view();
    table->names_ = names.data();
    return table;
}

std::optional<std::string_view> SymbolTable::find(u64 address) {
    auto it = std::upper_bound(symbols_.begin(), symbols_.end(), address,
                               [](u64 a, const Symbol& s) { return a < s.address; });
    // Of the symbols starting at or before the address, the nearest one
    // whose extent holds it; a symbol without a size holds only its start.
    for (int steps = 0; it != symbols_.begin() && steps < 8; ++steps) {
        --it;
        const Symbol& symbol = *it;
        const bool holds = symbol.size == 0 ? address == symbol.address : address - symbol.address < symbol.size;
        if (!holds) continue;
        const auto index = static_cast<usize>(it - symbols_.begin());
        if (names_[index].empty()) {
            auto raw = stringAt(strings_, symbol.name);
            if (!raw || raw->empty()) return std::nullopt;
            char buffer[1024];
            const auto demangled = demangle(*raw, std::span<char>(buffer, sizeof buffer), DemangleStyle::name_only);
            std::string_view name = *raw;
            if (demangled) {
                auto copy = allocator_.alloc<char>(demangled->size());
                if (copy) {
                    std::memcpy(copy->data(), demangled->data(), demangled->size());
                    name = std::string_view(copy->data(), demangled->size());
                }
            }
            names_[index] = name;
        }
        return names_[index];
    }
    return std::nullopt;
}

}  // namespace dwarf
