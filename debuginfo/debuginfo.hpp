// The debug-information reader's public face: the process's loaded
// modules, each with its ELF image (and separate debug file when the code
// carries no DWARF), and code address -> function, unit, file, line and
// column. Opened on first use and kept for the rest of the process; all of
// its memory comes from debug::debug_info_arena_allocator, never malloc,
// because it runs inside panic and fault handlers. Not synchronised: one
// thread reports at a time (the panic path orders itself).
#pragma once
#include <optional>
#include <span>
#include <string_view>

#include "memory/allocator.hpp"
#include "support/error.hpp"
#include "support/lazy.hpp"

namespace dwarf {
class ElfImage;
class DwarfInfo;
class SymbolTable;
}  // namespace dwarf

namespace debug {

struct LineInfo {
    u64 line = 0;
    u64 column = 0;  // 0: no column information
    std::string_view file_name;
};

struct SymbolInfo {
    std::string_view symbol_name = "???";
    std::string_view compile_unit_name = "???";
    std::optional<LineInfo> line_info;

    // The strings live in the debug-information arena for the rest of the
    // process; nothing to release.
    void deinit() {}
};

// The process-wide arena over the page allocator, created on first use,
// never given back.
extern heap::arena_allocator::ArenaAllocator debug_info_arena_allocator;
// Its handle, set by the first debugInfoAllocator() call.
extern mem::Allocator debug_info_allocator;
[[nodiscard]] mem::Allocator debugInfoAllocator();

class Module {
  public:
    // Opens an ELF file by path, with addresses taken as the file's own
    // (load bias 0). For reading binaries other than this process.
    [[nodiscard]] static Result<Module*> openFile(std::string_view path);

    // The most entries one address gives: an inline chain deeper than this
    // keeps its innermost entries and the out-of-line function.
    static constexpr usize max_inline_entries = 24;

    // Function, unit and line of a code address of this module, one entry
    // per function the address is in, innermost first. Code inlined into a
    // function gives the inlined function at the address's own line, then
    // each caller at its call of the one before, down to the out-of-line
    // function. Functions are named with their namespaces and classes
    // ("w4_input::InputState::cameraMoveDir", "(anonymous namespace)" for
    // unnamed ones, template arguments as the compiler spelled them).
    // Where no DWARF names the function, the ELF symbol table does (the
    // function symbol holding the address, demangled): one entry with that
    // name, the module's name as its unit and no line. Names the reader
    // cannot find are "???". Returns the number of entries written.
    // MissingDebugInfo: neither DWARF nor the symbol table covers it;
    // InvalidDebugInfo: the DWARF that does is malformed. The results are
    // owned by the reader's arena.
    [[nodiscard]] Result<usize> getSymbolsAtAddress(usize address, std::span<SymbolInfo> out);

    // The innermost entry of getSymbolsAtAddress. The allocator is
    // accepted for the interface's sake.
    [[nodiscard]] Result<SymbolInfo> getSymbolAtAddress(mem::Allocator allocator, usize address);

    // A section's bytes (inflated when compressed), from the module's own
    // file or else from its separate debug file; empty when neither has it.
    [[nodiscard]] Result<std::span<const u8>> section(std::string_view name);

    [[nodiscard]] std::string_view name() const { return name_; }
    [[nodiscard]] usize baseAddress() const { return base_address_; }
    // Whether DWARF for this module came from a separate debug file.
    [[nodiscard]] bool usesSeparateDebugFile() const { return debug_image_ != nullptr && debug_image_ != image_; }

  private:
    friend struct SelfInfo;
    [[nodiscard]] static Result<Module*> create(std::string_view path, std::string_view name, usize base);
    [[nodiscard]] Result<dwarf::DwarfInfo*> dwarf();
    [[nodiscard]] Result<dwarf::DwarfInfo*> openDwarf();
    [[nodiscard]] dwarf::SymbolTable* symbols();
    void findSeparateDebugFile(std::string_view path);

    std::string_view name_;
    usize base_address_ = 0;
    dwarf::ElfImage* image_ = nullptr;
    dwarf::ElfImage* debug_image_ = nullptr;  // image_ itself when it carries DWARF
    Lazy<dwarf::DwarfInfo*> dwarf_;
    Lazy<dwarf::SymbolTable*> symbols_;  // fails when there is none
};

// The running process's modules, found from its program headers.
struct SelfInfo {
    // The module whose loaded segments contain the address.
    [[nodiscard]] Result<Module*> getModuleForAddress(usize address);
    [[nodiscard]] std::optional<std::string_view> getModuleNameForAddress(usize address);

    static constexpr usize max_modules = 64;
    struct Entry {
        usize base;
        std::string_view key;  // the loader's name ("" for the executable)
        Module* module;        // null when opening failed
        Error error;
    };
    Entry entries[max_modules];
    usize entry_count = 0;
};

// Opened on first use, then cached for the rest of the process.
extern SelfInfo* self_debug_info;
[[nodiscard]] Result<SelfInfo*> getSelfDebugInfo();

}  // namespace debug
