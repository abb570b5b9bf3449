// One unit of .debug_info as the reader keeps it, and what the reader's
// files share about units: resolving attribute values through the unit's
// bases, reading its DIEs, and collecting address ranges.
#pragma once
#include <span>

#include "debuginfo/arena_list.hpp"
#include "debuginfo/dwarf_die.hpp"
#include "debuginfo/dwarf_info.hpp"

namespace dwarf {

// Offsets in a unit's lists are from the unit's start (a unit is under
// 4 GiB): thousands of entries a unit, so their size is pages faulted in.
struct Decl {
    u32 at;     // the DIE, from the unit's start
    i32 scope;  // enclosing named scope, -1 at unit level
};

struct Scope {
    u64 offset;
    i32 parent;
    i32 function_decl;  // >= 0 when this scope is a function's body
    std::string_view name;
};

// The children of a function (definition or abstract instance) or of a
// class, skipped by the unit scan through DW_AT_sibling: the parameters,
// variables, blocks and inline calls of functions are nearly half of a
// unit's DIEs, and the members of the library's classes most of the rest.
// What little in them a lookup needs (a member function's declaration, a
// lambda's class, code GCC describes inside the function that defines it)
// is scanned when asked for.
struct SkippedSubtree {
    static constexpr u32 no_function = ~u32{0};
    u32 begin;  // the first child, from the unit's start
    u32 end;    // the parent's next sibling; begin once scanned
    i32 scope;  // the parent's scope, or for a function the scope around it
    u32 decl;   // the function, or no_function for a class
};

// A function's qualified name, once asked for: few are, of thousands.
struct NamedDecl {
    u32 decl;
    std::string_view name;
};

// One inlined call: the inlined function (its abstract instance), the
// call site in the caller, and the call it is nested in.
struct InlineCall {
    u64 origin;  // DIE offset of the inlined function, 0 when unknown
    u64 file;
    u32 line;
    u32 column;
    i32 parent;  // enclosing inline call, -1 when the caller is the out-of-line function
    u32 depth;   // 1 for a call made by the out-of-line function itself
};

// The inline calls of one function definition, read from its subtree on
// the first lookup that lands in it.
struct FunctionBody {
    u32 decl;  // the function's index in the unit's decls
    Error error;  // Error{} when the subtree was read
    std::span<const AddressRange> inlines;  // sorted by lo; index into calls
    const u64* inline_reach;                // per inline range: the highest hi up to it
    std::span<const InlineCall> calls;
};

struct DwarfInfo::Unit {
    // Where DIEs are read: in the main .debug_info, or for a skeleton whose
    // split unit is loaded, in the split unit's .debug_info.dwo.
    u64 offset = 0;
    u64 end = 0;
    u64 die_offset = 0;
    u16 version = 0;
    u8 unit_type = 0;
    u8 address_size = 8;
    u8 offset_size = 4;
    u64 abbrev_offset = 0;
    AbbrevTable abbrevs;

    std::string_view name = "???";
    std::string_view comp_dir;
    std::optional<u64> stmt_list;
    u64 str_offsets_base = 0;
    u64 addr_base = 0;
    u64 rnglists_base = 0;
    u64 base_address = 0;
    bool code_unit = false;

    Lazy<void> die_read;  // unit DIE and abbreviations

    Lazy<void> scanned;
    ArenaList<AddressRange> functions;  // sorted by lo; index into decls
    ArenaList<FunctionBody> bodies;     // of the functions looked up so far
    // In DIE order up to sorted_decls; those of skipped subtrees, scanned
    // later, follow in the order they were scanned.
    ArenaList<Decl> decls;
    usize sorted_decls = 0;
    ArenaList<Scope> scopes;
    ArenaList<NamedDecl> decl_names;
    ArenaList<SkippedSubtree> skipped;       // in DIE order
    usize unscanned_subtrees = 0;

    Lazy<LineTable> lines;

    // Split DWARF. info_offset..info_end is the unit in the main
    // .debug_info whatever offset..end point at; split holds the sections
    // of the split unit (its own .dwo sections with the executable's
    // addresses and line table) once loaded.
    u64 info_offset = 0;
    u64 info_end = 0;
    u64 dwo_id = 0;
    bool has_dwo_id = false;
    std::string_view dwo_name;
    const Sections* split = nullptr;
    Lazy<void> split_loaded;  // succeeds too for a unit that is not split
    u64 ranges_base = 0;  // DWARF 4 split units: added to their DW_AT_ranges offsets

    [[nodiscard]] FormContext context() const { return {version, address_size, offset_size}; }
};

using Unit = DwarfInfo::Unit;

inline Result<Die> readDie(const Unit& unit, ByteReader& r) {
    Die die;
    die.offset = r.pos;
    const u64 code = TRY(r.readUleb());
    if (code == 0) return die;
    die.abbrev = unit.abbrevs.find(code);
    if (die.abbrev == nullptr) return XOV_FAIL(Error::InvalidDebugInfo);
    const FormContext context = unit.context();
    const auto attrs = unit.abbrevs.attrs.subspan(die.abbrev->first_attr, die.abbrev->attr_count);
    for (const AbbrevAttr& attr : attrs) {
        const FormValue value = TRY(readForm(r, attr.form, context, unit.abbrevs.implicitConst(attr)));
        switch (attr.name) {
            case at::name: die.name = value; break;
            case at::sibling: die.sibling = value; break;
            case at::low_pc: die.low_pc = value; break;
            case at::high_pc: die.high_pc = value; break;
            case at::ranges: die.ranges = value; break;
            case at::declaration_link: die.declaration_link = value; break;
            case at::abstract_origin: die.abstract_origin = value; break;
            case at::call_file: die.call_file = value; break;
            case at::call_line: die.call_line = value; break;
            case at::call_column: die.call_column = value; break;
            case at::stmt_list: die.stmt_list = value; break;
            case at::comp_dir: die.comp_dir = value; break;
            case at::str_offsets_base: die.str_offsets_base = value; break;
            case at::addr_base:
            case at::gnu_addr_base: die.addr_base = value; break;
            case at::rnglists_base:
            case at::gnu_ranges_base: die.rnglists_base = value; break;
            case at::declaration: die.declaration = value.u != 0; break;
            default: break;
        }
    }
    return die;
}

// Attribute values that point elsewhere: strings (inline, .debug_str,
// .debug_line_str, or through the unit's string offsets), addresses
// (direct or through .debug_addr) and DIE references.
[[nodiscard]] Result<u64> readOffsetAt(std::span<const u8> section, u64 offset, u8 size);
[[nodiscard]] Result<std::string_view> resolveString(const Sections& s, const Unit* unit, const FormValue& v);
[[nodiscard]] Result<u64> resolveAddress(const Sections& s, const Unit& unit, const FormValue& v);
[[nodiscard]] Result<u64> resolveRef(const Unit& unit, const FormValue& v);

// The unit's abbreviations and unit DIE, read once; the error is kept.
// shared, when given, is the unit's abbreviation table, already read.
[[nodiscard]] Result<void> ensureUnitDie(const Sections& s, Unit& unit, mem::Allocator allocator,
                                         const AbbrevTable* shared = nullptr);
// The unit's functions and scopes, scanned once.
[[nodiscard]] Result<void> ensureScanned(const Sections& s, Unit& unit, mem::Allocator allocator);
// Scans the skipped subtree holding die_offset (every one with
// die_offset 0); false when there was none left to scan.
[[nodiscard]] Result<bool> scanSkipped(const Sections& s, Unit& unit, u64 die_offset, mem::Allocator allocator);
// The inline calls of the function at decl_index, read once.
[[nodiscard]] Result<const FunctionBody*> ensureBody(const Sections& s, Unit& unit, u32 decl_index,
                                                     mem::Allocator allocator);

// A split file (.dwo or .dwp package) as a skeleton with this id and
// version would read it: the offset of its split unit's first DIE.
// MissingDebugInfo when the file has no such unit.
[[nodiscard]] Result<u64> readSplitFile(class ElfImage& file, const Sections& main, u64 dwo_id, u16 version);

// Address ranges.
[[nodiscard]] Result<void> addRange(ArenaList<AddressRange>& out, mem::Allocator allocator, u64 lo, u64 hi, u32 index);
[[nodiscard]] Result<void> collectRanges(const Sections& s, const Unit& unit, const Die& die,
                                         ArenaList<AddressRange>& out, mem::Allocator allocator, u32 index);
void sortRanges(std::span<AddressRange> ranges);
[[nodiscard]] const AddressRange* findRange(std::span<const AddressRange> ranges, u64 address);

}  // namespace dwarf
