// DWARF 4 and 5 as GCC emits them: unit headers, abbreviations, the DIEs
// that name functions and their address ranges, and line programs. Parsed
// lazily, once: the unit index on the first lookup, each unit's functions
// and line table on the first lookup that lands in it. Every outcome is
// cached, errors included, and all memory comes from the reader's arena.
#pragma once
#include <optional>
#include <span>
#include <string_view>

#include "debuginfo/arena_list.hpp"
#include "debuginfo/byte_reader.hpp"
#include "memory/allocator.hpp"
#include "support/error.hpp"
#include "support/lazy.hpp"

namespace dwarf {

struct Sections {
    std::span<const u8> info, abbrev, str, line, line_str, str_offsets, addr, ranges, rnglists, aranges;
};

struct AddressRange {
    u64 lo;
    u64 hi;  // one past the end
    u32 index;  // what the range belongs to (unit, function or inline call)
};

struct LineRow {
    u64 address;
    u32 file;
    u32 line;
    u32 column;
};

struct FileEntry {
    std::string_view name;
    u64 dir_index;
};

// A place to resume a line program from: the machine's state just after it
// emitted a row, and the offset in .debug_line of the opcode after it.
struct LineCheckpoint {
    u64 address;
    u32 offset;  // from the start of the unit's line program header
    u32 file;
    u32 line;
    u32 column;
};

struct LineSequence {
    u64 lo;
    u64 hi;
    u32 first_checkpoint;
    u32 checkpoint_count;
};

// The parameters a line program runs with, from its header.
struct LineProgram {
    std::span<const u8> bytes;  // .debug_line up to the end of this program
    usize start = 0;            // where its header starts
    std::span<const u8> opcode_lengths;
    u8 min_inst_length = 1;
    i8 line_base = 0;
    u8 line_range = 1;
    u8 opcode_base = 1;
};

// One unit's line program, run once to completion. Rows are not kept: a
// sequence keeps a checkpoint every few rows, and a lookup runs the program
// again from the checkpoint before its address, a few rows at most. A unit
// of a large program has tens of thousands of rows, and storing them cost
// more (in fresh pages) than running the program did.
struct LineTable {
    u16 version = 0;
    std::span<const std::string_view> directories;
    std::span<const FileEntry> files;
    LineProgram program;
    std::span<const LineCheckpoint> checkpoints;
    std::span<const LineSequence> sequences;
    std::string_view* paths = nullptr;  // joined lazily per file

    // Rows between two checkpoints of a sequence: running 64 rows again
    // costs far less than the pages that more checkpoints would fill.
    static constexpr u32 checkpoint_interval = 64;

    // The row in effect at address, or nullopt when no sequence covers it.
    [[nodiscard]] std::optional<LineRow> find(u64 address) const;
    // The full path of a file index (DWARF 5 indexes from 0, earlier
    // versions from 1); InvalidDebugInfo for an index out of the table.
    [[nodiscard]] Result<std::string_view> filePath(u64 file_index, std::string_view comp_dir,
                                                    mem::Allocator allocator);
};

// Runs the line program at offset in .debug_line. comp_dir and unit_name
// stand in for directory 0 and file 0 of versions before 5.
[[nodiscard]] Result<LineTable> parseLineTable(const Sections& sections, u64 offset, u8 address_size,
                                               std::string_view comp_dir, std::string_view unit_name,
                                               mem::Allocator allocator);

// One entry of where an address lies: a function and the place in it.
struct Location {
    std::string_view function;  // qualified, "???" when unknown
    std::string_view unit_name;
    std::optional<LineRow> row;
    std::string_view file;  // resolved path of row->file
};

class DwarfInfo {
  public:
    [[nodiscard]] static Result<DwarfInfo*> init(const Sections& sections, mem::Allocator allocator);

    // Where a split-DWARF package (.dwp) would be: beside the executable,
    // named after it. Split units are looked for in their .dwo file first,
    // and a .dwo named relative also in this path's directory.
    void setPackagePath(std::string_view path) { package_path_ = path; }

    // Where the address lies, innermost first: for code inlined into a
    // function, the inlined function at the address's line-table row, then
    // every caller down to the out-of-line function, each at its call of
    // the one before. Returns the number of entries written (at least 1).
    // MissingDebugInfo when no unit covers the address; InvalidDebugInfo
    // when the unit that does cannot be read.
    [[nodiscard]] Result<usize> locate(u64 address, std::span<Location> out);

    struct Unit;

  private:
    // A unit of .debug_info that may hold code: where it starts, and the
    // unit as the reader keeps it once something has needed it.
    struct UnitSlot {
        u64 offset;
        Unit* unit;
    };

    [[nodiscard]] Result<void> buildIndex();
    [[nodiscard]] Result<void> readAranges(ArenaList<AddressRange>& ranges, std::span<u8> covered_flags);
    [[nodiscard]] Result<Unit*> unitOf(usize index);
    [[nodiscard]] Result<Unit*> unitAt(u64 info_offset);
    [[nodiscard]] Result<std::string_view> functionName(Unit& unit, u32 decl_index, int depth);
    [[nodiscard]] Result<std::string_view> qualifiedName(Unit& unit, u64 die_offset, int depth);
    [[nodiscard]] Result<std::string_view> inlinedName(Unit& unit, u64 origin);
    // The unit's DIE, its split unit when it has one, and its functions.
    [[nodiscard]] Result<void> prepare(Unit& unit);
    [[nodiscard]] Result<void> loadSplit(Unit& unit);
    [[nodiscard]] const Sections& sectionsOf(const Unit& unit) const;

    Sections sections_;
    mem::Allocator allocator_;
    Lazy<void> index_;
    std::span<UnitSlot> units_;  // sorted by offset
    std::span<const AddressRange> unit_ranges_;  // sorted by lo
    std::string_view package_path_;
    Lazy<class ElfImage*> package_;  // fails when absent or unreadable
    // The .dwo last looked for in each place a split unit may be (the
    // skeleton's directory, the executable's): all the units of one link
    // may name the same file, which is then opened once.
    struct DwoLookup {
        std::string_view dir, name;
        class ElfImage* image = nullptr;  // null when it could not be opened
        bool tried = false;
    };
    DwoLookup last_dwo_[2];
};

}  // namespace dwarf
