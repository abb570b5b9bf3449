// A damaged or replaced executable or debug file: the ELF image, its
// sections (compressed ones inflated), build id and debug link, then DWARF
// lookups at addresses across the file's code and at addresses the input
// picks, and every unit's line table at offsets the input picks. Every
// answer must be a result or an error: no crash, no hang, no read outside
// the bytes. Function names from the symbol table, demangled, the same
// way, and the file read as a split-DWARF .dwo or .dwp package. Seeded with
// small real executables (DWARF 5, DWARF 4, zlib and zstd compressed
// sections, a separate debug file, type units) and split files (.dwo files
// of DWARF 5 and 4, packages of both).
#include <elf.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "debuginfo/cfi.hpp"
#include "debuginfo/dwarf_info.hpp"
#include "debuginfo/dwarf_unit.hpp"
#include "debuginfo/elf_image.hpp"
#include "debuginfo/symbol_table.hpp"
#include "memory/allocator.hpp"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "dwarf fuzz: %s\n", what);
    std::abort();
}

template <class T>
bool readAt(const u8* data, usize size, u64 offset, T& out) {
    if (offset > size || size - offset < sizeof(T)) return false;
    std::memcpy(&out, data + offset, sizeof(T));
    return true;
}

// The address range of a section, read independently of the reader
// (every field bounds-checked, since the bytes are arbitrary).
bool sectionRange(const u8* data, usize size, const char* name, u64& lo, u64& len) {
    const usize name_len = std::strlen(name) + 1;
    Elf64_Ehdr ehdr;
    if (!readAt(data, size, 0, ehdr) || ehdr.e_shstrndx >= ehdr.e_shnum) return false;
    Elf64_Shdr names;
    if (ehdr.e_shoff > size || !readAt(data, size, ehdr.e_shoff + u64{ehdr.e_shstrndx} * sizeof(Elf64_Shdr), names))
        return false;
    for (u64 i = 0; i < ehdr.e_shnum; ++i) {
        Elf64_Shdr sh;
        if (!readAt(data, size, ehdr.e_shoff + i * sizeof(Elf64_Shdr), sh)) return false;
        if (names.sh_offset > size || sh.sh_name > size - names.sh_offset ||
            size - names.sh_offset - sh.sh_name < name_len)
            continue;
        if (std::memcmp(data + names.sh_offset + sh.sh_name, name, name_len) == 0) {
            lo = sh.sh_addr;
            len = sh.sh_size;
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8* data, usize size) {
    auto arena = heap::arena_allocator::ArenaAllocator::init(heap::page_allocator);
    const mem::Allocator allocator = arena.allocator();
    const std::span<const u8> file(data, size);

    auto image = dwarf::ElfImage::parse(file, allocator);
    if (image) {
        dwarf::ElfImage& elf = **image;
        (void)elf.buildId();
        (void)elf.debugLink();
        (void)elf.hasSection(".eh_frame");
        (void)elf.section(".eh_frame_hdr");
        // The file as a split-DWARF .dwo or .dwp package: its package index
        // and unit headers, for unit ids the input picks (and the id of a
        // seed's first split unit, read from its header).
        if (elf.hasSection(".debug_info.dwo")) {
            dwarf::Sections main{};
            for (usize k = 0; k < 4; ++k) {
                u64 id = 0;
                if (size >= 8 * (k + 1)) std::memcpy(&id, data + size - 8 * (k + 1), 8);
                if (k == 0) {
                    if (auto info = elf.section(".debug_info.dwo"); info && info->size() >= 20)
                        std::memcpy(&id, info->data() + 12, 8);
                }
                (void)dwarf::readSplitFile(elf, main, id, 5);
                (void)dwarf::readSplitFile(elf, main, id, 4);
            }
        }
        // Function names from the symbol table, demangled, at addresses
        // across the file's code.
        if (auto table = dwarf::SymbolTable::build(elf, nullptr, allocator)) {
            u64 lo = 0;
            u64 len = 0;
            if (sectionRange(data, size, ".text", lo, len)) {
                for (u64 k = 0; k < 32; ++k) {
                    const auto name = (*table)->find(lo + k * (len / 31 + 1));
                    if (name && name->empty()) fail("an empty symbol name");
                }
            }
        }
        dwarf::Sections s;
        const auto get = [&](const char* name, std::span<const u8>& out) -> bool {
            auto r = elf.section(name);
            if (!r) return false;
            // Touch every byte: a section that claims more than it holds
            // shows up here under the address sanitizer.
            volatile u8 sink = 0;
            for (u8 b : *r) sink = sink ^ b;
            out = *r;
            return true;
        };
        // Call-frame tables as the unwinder reads them: the search table of
        // .eh_frame_hdr, then the record covering each probed pc and its
        // rule program up to that pc.
        u64 text_lo = 0;
        u64 text_len = 0;
        u64 eh_address = 0;
        u64 eh_len = 0;
        u64 hdr_address = 0;
        u64 hdr_len = 0;
        std::span<const u8> eh_frame;
        std::span<const u8> eh_frame_hdr;
        if (sectionRange(data, size, ".text", text_lo, text_len) &&
            sectionRange(data, size, ".eh_frame", eh_address, eh_len) && get(".eh_frame", eh_frame)) {
            const dwarf::cfi::Section table{eh_frame, static_cast<usize>(eh_address)};
            std::optional<dwarf::cfi::EhFrameHeader> hdr;
            if (sectionRange(data, size, ".eh_frame_hdr", hdr_address, hdr_len) && get(".eh_frame_hdr", eh_frame_hdr)) {
                auto parsed = dwarf::cfi::parseEhFrameHeader(eh_frame_hdr, static_cast<usize>(hdr_address));
                if (parsed) hdr = *parsed;
            }
            const u64 step = text_len / 7 + 1;
            for (u64 k = 0; k < 8; ++k) {
                const u64 pc = text_lo + k * step;
                if (hdr) (void)dwarf::cfi::searchTable(*hdr, pc);
                dwarf::cfi::Cie cie;
                auto fde = dwarf::cfi::findFdeLinear(table, pc, &cie);
                if (!fde) continue;
                if (!fde->covers(pc)) fail("a call-frame record found for a pc it does not cover");
                (void)dwarf::cfi::runProgram(cie, *fde, table, pc);
            }
        }

        bool ok = get(".debug_info", s.info) && get(".debug_abbrev", s.abbrev) && get(".debug_str", s.str) &&
                  get(".debug_line", s.line);
        ok = get(".debug_line_str", s.line_str) && ok;
        ok = get(".debug_str_offsets", s.str_offsets) && ok;
        ok = get(".debug_addr", s.addr) && ok;
        ok = get(".debug_ranges", s.ranges) && ok;
        ok = get(".debug_rnglists", s.rnglists) && ok;
        ok = get(".debug_aranges", s.aranges) && ok;
        if (ok) {
            auto info = dwarf::DwarfInfo::init(s, allocator);
            if (info) {
                u64 lo = 0;
                u64 len = 0;
                if (sectionRange(data, size, ".text", lo, len)) {
                    const u64 step = len / 23 + 1;
                    for (u64 k = 0; k < 24; ++k) {
                        dwarf::Location entries[8];
                        auto r = (*info)->locate(lo + k * step, entries);
                        if (!r) continue;
                        if (*r == 0 || *r > std::size(entries)) fail("an entry count outside the room given");
                        for (usize e = 0; e < *r; ++e)
                            if (entries[e].function.data() == nullptr) fail("a located function without a name");
                    }
                }
                // Addresses the input picks: its last bytes.
                for (usize k = 0; k + 8 <= size && k < 64; k += 8) {
                    u64 address;
                    std::memcpy(&address, data + size - 8 - k, 8);
                    dwarf::Location entries[2];
                    (void)(*info)->locate(address, entries);
                }
            }
            // Line programs at offsets the input picks, and every file path.
            for (usize k = 0; k < 4; ++k) {
                u32 offset = 0;
                if (k > 0 && size >= 24 + 4 * k) std::memcpy(&offset, data + size - 24 - 4 * k, 4);
                auto table = dwarf::parseLineTable(s, offset, 8, "/comp", "unit.c", allocator);
                if (!table) continue;
                for (const dwarf::LineSequence& seq : table->sequences) {
                    if (seq.checkpoint_count == 0 || seq.checkpoint_count > table->checkpoints.size() ||
                        seq.first_checkpoint > table->checkpoints.size() - seq.checkpoint_count)
                        fail("a line sequence outside its checkpoints");
                    (void)table->find(seq.lo);
                    (void)table->find(seq.hi - 1);
                }
                for (u64 f = 0; f < table->files.size() + 2; ++f) (void)table->filePath(f, "/comp", allocator);
            }
        }
    }
    arena.deinit();
    return 0;
}
