// Modules of the running process, separate debug files, and symbol lookup.
#include "debuginfo/debuginfo.hpp"

#include <link.h>

#include <cstring>
#include <new>

#include "debuginfo/dwarf_info.hpp"
#include "debuginfo/elf_image.hpp"
#include "debuginfo/path_buffer.hpp"
#include "debuginfo/symbol_table.hpp"
#include "support/sys.hpp"

namespace debug {

heap::arena_allocator::ArenaAllocator debug_info_arena_allocator{};
mem::Allocator debug_info_allocator{};
SelfInfo* self_debug_info = nullptr;

mem::Allocator debugInfoAllocator() {
    if (debug_info_allocator.vtable == nullptr) [[unlikely]] {
        debug_info_arena_allocator = heap::arena_allocator::ArenaAllocator::init(heap::page_allocator);
        debug_info_allocator = debug_info_arena_allocator.allocator();
    }
    return debug_info_allocator;
}

namespace {

using dwarf::PathBuffer;

Result<std::string_view> copyToArena(std::string_view s) {
    auto out = TRY(debugInfoAllocator().alloc<char>(s.size() + 1));
    std::memcpy(out.data(), s.data(), s.size());
    out[s.size()] = '\0';
    return std::string_view(out.data(), s.size());
}

// The executable's own path, for its module name and to find a separate
// debug file next to it.
std::string_view selfExePath() {
    static std::string_view cached;
    if (cached.empty()) {
        char buf[4096];
        auto len = sys::readLink("/proc/self/exe", std::span<char>(buf, sizeof buf));
        if (len) {
            if (auto copy = copyToArena(std::string_view(buf, *len))) cached = *copy;
        }
    }
    return cached;
}

// A debug file is its headers and sections; slack beyond this much more
// than they account for (a file padded to gigabytes, a device image) is
// not checksummed, which would read every byte of it.
constexpr u64 max_undescribed_bytes = u64{1} << 20;

dwarf::ElfImage* openDebugCandidate(const PathBuffer& path, std::optional<u32> crc) {
    if (path.overflow) return nullptr;
    auto image = dwarf::ElfImage::open(path.bytes, debugInfoAllocator());
    if (!image) return nullptr;
    if (!(*image)->hasSection(".debug_info")) return nullptr;
    if (crc) {
        const u64 described = (*image)->describedBytes();
        if ((*image)->fileBytes().size() - described > described + max_undescribed_bytes) return nullptr;
        if (dwarf::crc32((*image)->fileBytes()) != *crc) return nullptr;
    }
    return *image;
}

struct FoundModule {
    usize address;
    bool found = false;
    usize base = 0;
    const char* name = nullptr;
};

int findModuleCallback(dl_phdr_info* info, size_t, void* data) {
    auto* wanted = static_cast<FoundModule*>(data);
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& phdr = info->dlpi_phdr[i];
        if (phdr.p_type != PT_LOAD) continue;
        const usize start = info->dlpi_addr + phdr.p_vaddr;
        if (wanted->address >= start && wanted->address - start < phdr.p_memsz) {
            wanted->found = true;
            wanted->base = info->dlpi_addr;
            wanted->name = info->dlpi_name;
            return 1;
        }
    }
    return 0;
}

}  // namespace

Result<Module*> Module::create(std::string_view path, std::string_view name, usize base) {
    const mem::Allocator allocator = debugInfoAllocator();
    PathBuffer path_z;
    path_z.add(path);
    if (path_z.overflow) return XOV_FAIL(Error::MissingDebugInfo);
    dwarf::ElfImage* image = TRY(dwarf::ElfImage::open(path_z.bytes, allocator));
    auto* module = TRY(allocator.create<Module>());
    new (module) Module();
    module->name_ = TRY(copyToArena(name));
    module->base_address_ = base;
    module->image_ = image;
    if (image->hasSection(".debug_info"))
        module->debug_image_ = image;
    else
        module->findSeparateDebugFile(name);
    return module;
}

Result<Module*> Module::openFile(std::string_view path) { return create(path, path, 0); }

void Module::findSeparateDebugFile(std::string_view path) {
    const auto build_id = image_->buildId();
    if (build_id.size() >= 2) {
        constexpr char hex[] = "0123456789abcdef";
        PathBuffer candidate;
        candidate.add("/usr/lib/debug/.build-id/");
        for (usize i = 0; i < build_id.size(); ++i) {
            const char digits[2] = {hex[build_id[i] >> 4], hex[build_id[i] & 15]};
            candidate.add(std::string_view(digits, 2));
            if (i == 0) candidate.add("/");
        }
        candidate.add(".debug");
        if ((debug_image_ = openDebugCandidate(candidate, std::nullopt)) != nullptr) return;
    }
    const auto link = image_->debugLink();
    if (!link) return;
    const usize slash = path.rfind('/');
    const std::string_view dir = slash == std::string_view::npos ? std::string_view(".") : path.substr(0, slash);
    const std::string_view sub_dirs[] = {"/", "/.debug/"};
    for (const std::string_view sub : sub_dirs) {
        PathBuffer candidate;
        candidate.add(dir).add(sub).add(link->file_name);
        if (candidate.view() == path) continue;
        if ((debug_image_ = openDebugCandidate(candidate, link->crc)) != nullptr) return;
    }
    PathBuffer global;
    global.add("/usr/lib/debug").add(dir.starts_with('/') ? "" : "/").add(dir).add("/").add(link->file_name);
    debug_image_ = openDebugCandidate(global, link->crc);
}

Result<dwarf::DwarfInfo*> Module::openDwarf() {
    if (debug_image_ == nullptr) return XOV_FAIL(Error::MissingDebugInfo);
    dwarf::ElfImage& elf = *debug_image_;
    dwarf::Sections s;
    s.info = TRY(elf.section(".debug_info"));
    s.abbrev = TRY(elf.section(".debug_abbrev"));
    s.str = TRY(elf.section(".debug_str"));
    s.line = TRY(elf.section(".debug_line"));
    s.line_str = TRY(elf.section(".debug_line_str"));
    s.str_offsets = TRY(elf.section(".debug_str_offsets"));
    s.addr = TRY(elf.section(".debug_addr"));
    s.ranges = TRY(elf.section(".debug_ranges"));
    s.rnglists = TRY(elf.section(".debug_rnglists"));
    s.aranges = TRY(elf.section(".debug_aranges"));
    dwarf::DwarfInfo* info = TRY(dwarf::DwarfInfo::init(s, debugInfoAllocator()));
    // A split-DWARF package sits beside the executable: "<name>.dwp".
    char package[4096];
    if (name_.size() + 5 <= sizeof package) {
        std::memcpy(package, name_.data(), name_.size());
        std::memcpy(package + name_.size(), ".dwp", 5);
        if (auto copy = copyToArena(std::string_view(package, name_.size() + 4))) info->setPackagePath(*copy);
    }
    return info;
}

Result<dwarf::DwarfInfo*> Module::dwarf() {
    return TRY(dwarf_.getOrInit([&] { return openDwarf(); }));
}

dwarf::SymbolTable* Module::symbols() {
    const Result<dwarf::SymbolTable*> built =
        symbols_.getOrInit([&] { return dwarf::SymbolTable::build(*image_, debug_image_, debugInfoAllocator()); });
    return built ? *built : nullptr;
}

Result<usize> Module::getSymbolsAtAddress(usize address, std::span<SymbolInfo> out) {
    if (out.empty()) return XOV_FAIL(Error::InvalidDebugInfo);
    if (address < base_address_) return XOV_FAIL(Error::MissingDebugInfo);
    const u64 file_address = address - base_address_;
    dwarf::Location locations[max_inline_entries];
    const usize room = out.size() < max_inline_entries ? out.size() : max_inline_entries;
    auto located = [&]() -> Result<usize> {
        dwarf::DwarfInfo* info = TRY(dwarf());
        return info->locate(file_address, std::span<dwarf::Location>(locations, room));
    }();
    // DWARF that places the address but leaves the out-of-line function
    // unnamed (clang's artificial static initialisers) keeps its inline
    // chain; the symbol table names the function that ends it.
    if (located && locations[*located - 1].function == "???") {
        dwarf::SymbolTable* table = symbols();
        if (const auto name = table != nullptr ? table->find(file_address) : std::nullopt)
            locations[*located - 1].function = *name;
    }
    if (located && locations[*located - 1].function != "???") {
        for (usize i = 0; i < *located; ++i) {
            const dwarf::Location& location = locations[i];
            SymbolInfo symbol;
            symbol.symbol_name = location.function;
            symbol.compile_unit_name = location.unit_name;
            if (location.row) symbol.line_info = LineInfo{location.row->line, location.row->column, location.file};
            out[i] = symbol;
        }
        return *located;
    }
    // No DWARF names the function: the symbol table may. What DWARF did
    // find (a unit, a line) stays.
    dwarf::SymbolTable* table = symbols();
    const auto name = table != nullptr ? table->find(file_address) : std::nullopt;
    if (!name) {
        if (!located) return XOV_FAIL(located.error());
        // Only the unit is known, or the unit with a line but no function.
        out[0] = SymbolInfo{"???", locations[0].unit_name, std::nullopt};
        if (locations[0].row)
            out[0].line_info = LineInfo{locations[0].row->line, locations[0].row->column, locations[0].file};
        return 1;
    }
    SymbolInfo symbol;
    symbol.symbol_name = *name;
    symbol.compile_unit_name = name_;
    if (located) {
        symbol.compile_unit_name = locations[0].unit_name;
        if (locations[0].row)
            symbol.line_info = LineInfo{locations[0].row->line, locations[0].row->column, locations[0].file};
    }
    out[0] = symbol;
    return 1;
}

Result<SymbolInfo> Module::getSymbolAtAddress(mem::Allocator, usize address) {
    SymbolInfo symbols[max_inline_entries];
    TRY(getSymbolsAtAddress(address, symbols));
    return symbols[0];
}

Result<std::span<const u8>> Module::section(std::string_view name) {
    auto own = TRY(image_->section(name));
    if (!own.empty() || debug_image_ == nullptr || debug_image_ == image_) return own;
    return debug_image_->section(name);
}

Result<Module*> SelfInfo::getModuleForAddress(usize address) {
    FoundModule found{address};
    dl_iterate_phdr(findModuleCallback, &found);
    if (!found.found) return XOV_FAIL(Error::MissingDebugInfo);
    const std::string_view key = found.name != nullptr ? std::string_view(found.name) : std::string_view();
    for (usize i = 0; i < entry_count; ++i) {
        const Entry& e = entries[i];
        if (e.base != found.base || e.key != key) continue;
        if (e.module == nullptr) return XOV_FAIL(e.error);
        return e.module;
    }
    // The executable (the loader gives it no name) is read through
    // /proc/self/exe and named by its real path.
    auto module = key.empty() ? Module::create("/proc/self/exe", selfExePath(), found.base)
                              : Module::create(key, key, found.base);
    if (entry_count < max_modules) {
        auto key_copy = copyToArena(key);
        entries[entry_count++] = Entry{found.base, key_copy ? *key_copy : std::string_view("?"),
                                       module ? *module : nullptr, module ? Error::MissingDebugInfo : module.error()};
    }
    if (!module) return XOV_FAIL(Error::MissingDebugInfo);
    return *module;
}

std::optional<std::string_view> SelfInfo::getModuleNameForAddress(usize address) {
    FoundModule found{address};
    dl_iterate_phdr(findModuleCallback, &found);
    if (!found.found) return std::nullopt;
    if (found.name == nullptr || found.name[0] == '\0') {
        const std::string_view self = selfExePath();
        if (self.empty()) return std::nullopt;
        return self;
    }
    for (usize i = 0; i < entry_count; ++i)
        if (entries[i].base == found.base && entries[i].key == found.name) return entries[i].key;
    return std::string_view(found.name);
}

Result<SelfInfo*> getSelfDebugInfo() {
    if (self_debug_info == nullptr) {
        auto* info = TRY(debugInfoAllocator().create<SelfInfo>());
        new (info) SelfInfo();
        self_debug_info = info;
    }
    return self_debug_info;
}

}  // namespace debug
