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

namespace dwarf {
class ElfImage;
class DwarfInfo;
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

    // Function, unit and line of a code address of this module.
    // The function is the out-of-line function holding the address, named
    // with its namespaces and classes ("w4_input::InputState::cameraMoveDir",
    // "(anonymous namespace)" for unnamed ones, template arguments as the
    // compiler spelled them). When the address lies in code inlined into
    // that function, the place given is the function's own call of the
    // outermost inlined callee, so name and line always agree. Names the
    // reader cannot find are "???".
    // MissingDebugInfo: no DWARF covers it; InvalidDebugInfo: it is
    // malformed. The allocator is accepted for the interface's sake: the
    // results are owned by the reader's arena.
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
    void findSeparateDebugFile(std::string_view path);

    std::string_view name_;
    usize base_address_ = 0;
    dwarf::ElfImage* image_ = nullptr;
    dwarf::ElfImage* debug_image_ = nullptr;  // image_ itself when it carries DWARF
    dwarf::DwarfInfo* dwarf_ = nullptr;
    u8 dwarf_state_ = 0;  // 0 not opened, 1 open, 2 failed
    Error dwarf_error_ = Error::MissingDebugInfo;
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
