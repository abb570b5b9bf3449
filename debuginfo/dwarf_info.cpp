// Units, abbreviations, DIEs and function ranges of .debug_info.
#include "debuginfo/dwarf_info.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace dwarf {

namespace {

// Tags, attributes and forms this reader looks at.
namespace tag {
constexpr u64 class_type = 0x02, structure_type = 0x13, inlined_subroutine = 0x1d,
              union_type = 0x17, subprogram = 0x2e, namespace_ = 0x39, compile_unit = 0x11, partial_unit = 0x3c,
              skeleton_unit = 0x4a;
}
namespace at {
constexpr u64 name = 0x03, stmt_list = 0x10, low_pc = 0x11, high_pc = 0x12, comp_dir = 0x1b, abstract_origin = 0x31,
              declaration = 0x3c, declaration_link = 0x47, ranges = 0x55, call_column = 0x57, call_file = 0x58,
              call_line = 0x59, str_offsets_base = 0x72, addr_base = 0x73, rnglists_base = 0x74,
              gnu_ranges_base = 0x2132, gnu_addr_base = 0x2133;
}

enum class Kind : u8 { none, address, addrx, constant, string, strp, line_strp, strx, ref_unit, ref_info, sec_offset,
                       rnglistx, block, flag, other };

struct FormValue {
    Kind kind = Kind::none;
    u64 u = 0;
    std::string_view s;
    [[nodiscard]] bool present() const { return kind != Kind::none; }
};

struct FormContext {
    u16 version;
    u8 address_size;
    u8 offset_size;
};

Result<FormValue> readForm(ByteReader& r, u64 form, const FormContext& c, i64 implicit_const, int depth = 0) {
    auto constant = [](u64 v) { return FormValue{Kind::constant, v, {}}; };
    auto with = [](Kind k, u64 v) { return FormValue{k, v, {}}; };
    switch (form) {
        case 0x01: return with(Kind::address, TRY(r.readUnsigned(c.address_size)));
        case 0x03: TRY(r.skip(TRY(r.readU16()))); return with(Kind::block, 0);
        case 0x04: TRY(r.skip(TRY(r.readU32()))); return with(Kind::block, 0);
        case 0x05: return constant(TRY(r.readU16()));
        case 0x06: return constant(TRY(r.readU32()));
        case 0x07: return constant(TRY(r.readU64()));
        case 0x08: {
            FormValue v{Kind::string, 0, TRY(r.readCString())};
            return v;
        }
        case 0x09:
        case 0x18: TRY(r.skip(TRY(r.readUleb()))); return with(Kind::block, 0);
        case 0x0a: TRY(r.skip(TRY(r.readU8()))); return with(Kind::block, 0);
        case 0x0b: return constant(TRY(r.readU8()));
        case 0x0c: return with(Kind::flag, TRY(r.readU8()));
        case 0x0d: return constant(static_cast<u64>(TRY(r.readSleb())));
        case 0x0e: return with(Kind::strp, TRY(r.readUnsigned(c.offset_size)));
        case 0x0f: return constant(TRY(r.readUleb()));
        case 0x10: return with(Kind::ref_info, TRY(r.readUnsigned(c.version <= 2 ? c.address_size : c.offset_size)));
        case 0x11: return with(Kind::ref_unit, TRY(r.readU8()));
        case 0x12: return with(Kind::ref_unit, TRY(r.readU16()));
        case 0x13: return with(Kind::ref_unit, TRY(r.readU32()));
        case 0x14: return with(Kind::ref_unit, TRY(r.readU64()));
        case 0x15: return with(Kind::ref_unit, TRY(r.readUleb()));
        case 0x16: {
            if (depth > 2) return XOV_FAIL(Error::InvalidDebugInfo);
            const u64 actual = TRY(r.readUleb());
            return readForm(r, actual, c, implicit_const, depth + 1);
        }
        case 0x17: return with(Kind::sec_offset, TRY(r.readUnsigned(c.offset_size)));
        case 0x19: return with(Kind::flag, 1);
        case 0x1a:
        case 0x1f02: return with(Kind::strx, TRY(r.readUleb()));
        case 0x1b:
        case 0x1f01: return with(Kind::addrx, TRY(r.readUleb()));
        case 0x1c: TRY(r.skip(4)); return with(Kind::other, 0);
        case 0x1d:
        case 0x1f20:
        case 0x1f21: TRY(r.skip(c.offset_size)); return with(Kind::other, 0);
        case 0x1e: TRY(r.skip(16)); return with(Kind::block, 0);
        case 0x1f: return with(Kind::line_strp, TRY(r.readUnsigned(c.offset_size)));
        case 0x20: TRY(r.skip(8)); return with(Kind::other, 0);
        case 0x21: return constant(static_cast<u64>(implicit_const));
        case 0x22: TRY(r.readUleb()); return with(Kind::other, 0);
        case 0x23: return with(Kind::rnglistx, TRY(r.readUleb()));
        case 0x24: TRY(r.skip(8)); return with(Kind::other, 0);
        case 0x25: return with(Kind::strx, TRY(r.readUnsigned(1)));
        case 0x26: return with(Kind::strx, TRY(r.readUnsigned(2)));
        case 0x27: return with(Kind::strx, TRY(r.readUnsigned(3)));
        case 0x28: return with(Kind::strx, TRY(r.readUnsigned(4)));
        case 0x29: return with(Kind::addrx, TRY(r.readUnsigned(1)));
        case 0x2a: return with(Kind::addrx, TRY(r.readUnsigned(2)));
        case 0x2b: return with(Kind::addrx, TRY(r.readUnsigned(3)));
        case 0x2c: return with(Kind::addrx, TRY(r.readUnsigned(4)));
        default: return XOV_FAIL(Error::InvalidDebugInfo);
    }
}

struct AbbrevAttr {
    u64 name;
    u64 form;
    i64 implicit_const;
};

struct Abbrev {
    u64 code;
    u64 tag;
    bool has_children;
    bool interesting;  // a DIE the function scan decodes; the rest are skipped
    i32 fixed_size;    // bytes of all attributes when every form has a fixed size, else -1
    u32 first_attr;
    u32 attr_count;
};

// Size of a form's value when it does not depend on the bytes, else -1.
i32 fixedFormSize(u64 form, const FormContext& c) {
    switch (form) {
        case 0x01: return c.address_size;
        case 0x0b: case 0x11: case 0x0c: case 0x25: case 0x29: return 1;
        case 0x05: case 0x12: case 0x26: case 0x2a: return 2;
        case 0x27: case 0x2b: return 3;
        case 0x06: case 0x13: case 0x28: case 0x2c: case 0x1c: return 4;
        case 0x07: case 0x14: case 0x20: case 0x24: return 8;
        case 0x1e: return 16;
        case 0x0e: case 0x1f: case 0x17: case 0x1d: case 0x1f20: case 0x1f21: return c.offset_size;
        case 0x10: return c.version <= 2 ? c.address_size : c.offset_size;
        case 0x19: case 0x21: return 0;
        default: return -1;
    }
}

bool isInterestingTag(u64 t);

struct AbbrevTable {
    u64 offset = ~u64{0};
    std::span<const Abbrev> abbrevs;  // sorted by code
    std::span<const AbbrevAttr> attrs;

    [[nodiscard]] const Abbrev* find(u64 code) const {
        // GCC numbers abbreviations 1, 2, 3...: try the direct slot first.
        if (code >= 1 && code <= abbrevs.size() && abbrevs[code - 1].code == code) return &abbrevs[code - 1];
        auto it = std::lower_bound(abbrevs.begin(), abbrevs.end(), code,
                                   [](const Abbrev& a, u64 c) { return a.code < c; });
        if (it == abbrevs.end() || it->code != code) return nullptr;
        return &*it;
    }
};

Result<AbbrevTable> parseAbbrevTable(std::span<const u8> section, u64 offset, const FormContext& context,
                                     mem::Allocator allocator) {
    ByteReader r(section);
    TRY(r.seek(static_cast<usize>(offset < section.size() ? offset : section.size() + 1)));
    ArenaList<Abbrev> abbrevs;
    ArenaList<AbbrevAttr> attrs;
    bool sorted = true;
    for (;;) {
        const u64 code = TRY(r.readUleb());
        if (code == 0) break;
        Abbrev abbrev{code, TRY(r.readUleb()), false, false, 0, static_cast<u32>(attrs.len), 0};
        abbrev.has_children = TRY(r.readU8()) != 0;
        abbrev.interesting = isInterestingTag(abbrev.tag);
        for (;;) {
            const u64 name = TRY(r.readUleb());
            const u64 form = TRY(r.readUleb());
            if (name == 0 && form == 0) break;
            const i64 implicit = form == 0x21 ? TRY(r.readSleb()) : 0;
            TRY(attrs.append(allocator, AbbrevAttr{name, form, implicit}));
            abbrev.attr_count += 1;
            const i32 size = fixedFormSize(form, context);
            abbrev.fixed_size = size < 0 || abbrev.fixed_size < 0 ? -1 : abbrev.fixed_size + size;
        }
        if (abbrevs.len != 0 && abbrevs.items[abbrevs.len - 1].code >= code) sorted = false;
        TRY(abbrevs.append(allocator, abbrev));
    }
    auto list = abbrevs.span();
    if (!sorted) std::sort(list.begin(), list.end(), [](const Abbrev& a, const Abbrev& b) { return a.code < b.code; });
    return AbbrevTable{offset, list, attrs.span()};
}

// The attributes of one DIE that this reader uses.
struct Die {
    u64 offset = 0;
    const Abbrev* abbrev = nullptr;  // null for the entry that ends a child list
    FormValue name, low_pc, high_pc, ranges, declaration_link, abstract_origin, call_file, call_line, call_column,
        stmt_list, comp_dir, str_offsets_base, addr_base, rnglists_base;
    bool declaration = false;
};

struct Decl {
    u64 offset;
    i32 scope;  // enclosing named scope, -1 at unit level
};

struct Scope {
    u64 offset;
    i32 parent;
    i32 function_decl;  // >= 0 when this scope is a function's body
    std::string_view name;
};

struct InlineCall {
    u64 file;
    u32 line;
    u32 column;
};

}  // namespace

struct DwarfInfo::Unit {
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

    u8 die_state = 0;  // unit DIE and abbreviations: 0 not read, 1 read, 2 failed
    Error die_error = Error::InvalidDebugInfo;

    u8 scan_state = 0;  // 0 not scanned, 1 scanned, 2 failed
    Error scan_error = Error::InvalidDebugInfo;
    std::span<const AddressRange> functions;  // sorted by lo; index into decls
    std::span<const AddressRange> inlines;    // sorted by lo; index into calls
    std::span<const InlineCall> calls;
    std::span<const Decl> decls;  // in DIE order, so sorted by offset
    std::span<const Scope> scopes;
    std::string_view* decl_names = nullptr;  // resolved lazily; data()==nullptr means not yet

    u8 lines_state = 0;
    Error lines_error = Error::InvalidDebugInfo;
    LineTable lines;

    [[nodiscard]] FormContext context() const { return {version, address_size, offset_size}; }
};

namespace {

using Unit = DwarfInfo::Unit;

Result<Die> readDie(const Unit& unit, ByteReader& r) {
    Die die;
    die.offset = r.pos;
    const u64 code = TRY(r.readUleb());
    if (code == 0) return die;
    die.abbrev = unit.abbrevs.find(code);
    if (die.abbrev == nullptr) return XOV_FAIL(Error::InvalidDebugInfo);
    const FormContext context = unit.context();
    const auto attrs = unit.abbrevs.attrs.subspan(die.abbrev->first_attr, die.abbrev->attr_count);
    for (const AbbrevAttr& attr : attrs) {
        const FormValue value = TRY(readForm(r, attr.form, context, attr.implicit_const));
        switch (attr.name) {
            case at::name: die.name = value; break;
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

Result<u64> readOffsetAt(std::span<const u8> section, u64 offset, u8 size) {
    ByteReader r(section);
    if (offset > section.size()) return XOV_FAIL(Error::InvalidDebugInfo);
    TRY(r.seek(static_cast<usize>(offset)));
    return r.readUnsigned(size);
}

Result<std::string_view> resolveString(const Sections& s, const Unit* unit, const FormValue& v) {
    switch (v.kind) {
        case Kind::string: return v.s;
        case Kind::strp: return stringAt(s.str, v.u);
        case Kind::line_strp: return stringAt(s.line_str, v.u);
        case Kind::strx: {
            if (unit == nullptr) return XOV_FAIL(Error::InvalidDebugInfo);
            u64 at_offset = 0;
            if (__builtin_mul_overflow(v.u, u64{unit->offset_size}, &at_offset) ||
                __builtin_add_overflow(at_offset, unit->str_offsets_base, &at_offset))
                return XOV_FAIL(Error::InvalidDebugInfo);
            const u64 offset = TRY(readOffsetAt(s.str_offsets, at_offset, unit->offset_size));
            return stringAt(s.str, offset);
        }
        default: return XOV_FAIL(Error::InvalidDebugInfo);
    }
}

Result<u64> resolveAddress(const Sections& s, const Unit& unit, const FormValue& v) {
    if (v.kind == Kind::address) return v.u;
    if (v.kind != Kind::addrx) return XOV_FAIL(Error::InvalidDebugInfo);
    u64 at_offset = 0;
    if (__builtin_mul_overflow(v.u, u64{unit.address_size}, &at_offset) ||
        __builtin_add_overflow(at_offset, unit.addr_base, &at_offset))
        return XOV_FAIL(Error::InvalidDebugInfo);
    return readOffsetAt(s.addr, at_offset, unit.address_size);
}

Result<u64> resolveRef(const Unit& unit, const FormValue& v) {
    if (v.kind == Kind::ref_unit) {
        u64 target = 0;
        if (__builtin_add_overflow(unit.offset, v.u, &target)) return XOV_FAIL(Error::InvalidDebugInfo);
        return target;
    }
    if (v.kind == Kind::ref_info) return v.u;
    return XOV_FAIL(Error::InvalidDebugInfo);
}

// A range the linker kept: discarded code is marked with address 0 (or
// all ones), and empty or inverted ranges carry nothing.
bool liveRange(u64 lo, u64 hi) { return lo != 0 && lo < hi && lo < ~u64{1}; }

Result<void> addRange(ArenaList<AddressRange>& out, mem::Allocator allocator, u64 lo, u64 hi, u32 index) {
    if (liveRange(lo, hi)) TRY(out.append(allocator, AddressRange{lo, hi, index}));
    return {};
}

// The pc ranges of a DIE: low_pc/high_pc, or DW_AT_ranges through
// .debug_rnglists (version 5) or .debug_ranges (earlier versions).
Result<void> collectRanges(const Sections& s, const Unit& unit, const Die& die, ArenaList<AddressRange>& out,
                           mem::Allocator allocator, u32 index) {
    if (die.low_pc.present() && die.high_pc.present()) {
        const u64 lo = TRY(resolveAddress(s, unit, die.low_pc));
        u64 hi = 0;
        if (die.high_pc.kind == Kind::constant) {
            if (__builtin_add_overflow(lo, die.high_pc.u, &hi)) return {};
        } else {
            hi = TRY(resolveAddress(s, unit, die.high_pc));
        }
        return addRange(out, allocator, lo, hi, index);
    }
    if (!die.ranges.present()) return {};

    if (unit.version < 5) {
        if (die.ranges.kind != Kind::sec_offset && die.ranges.kind != Kind::constant)
            return XOV_FAIL(Error::InvalidDebugInfo);
        ByteReader r(s.ranges);
        TRY(r.seek(static_cast<usize>(die.ranges.u <= s.ranges.size() ? die.ranges.u : s.ranges.size() + 1)));
        u64 base = unit.base_address;
        const u64 max = unit.address_size == 8 ? ~u64{0} : 0xffffffffu;
        for (;;) {
            const u64 start = TRY(r.readUnsigned(unit.address_size));
            const u64 end = TRY(r.readUnsigned(unit.address_size));
            if (start == 0 && end == 0) return {};
            if (start == max) {
                base = end;
                continue;
            }
            TRY(addRange(out, allocator, base + start, base + end, index));
        }
    }

    u64 offset = 0;
    if (die.ranges.kind == Kind::rnglistx) {
        u64 at_offset = 0;
        if (__builtin_mul_overflow(die.ranges.u, u64{unit.offset_size}, &at_offset) ||
            __builtin_add_overflow(at_offset, unit.rnglists_base, &at_offset))
            return XOV_FAIL(Error::InvalidDebugInfo);
        offset = TRY(readOffsetAt(s.rnglists, at_offset, unit.offset_size)) + unit.rnglists_base;
    } else if (die.ranges.kind == Kind::sec_offset || die.ranges.kind == Kind::constant) {
        offset = die.ranges.u;
    } else {
        return XOV_FAIL(Error::InvalidDebugInfo);
    }
    ByteReader r(s.rnglists);
    TRY(r.seek(static_cast<usize>(offset <= s.rnglists.size() ? offset : s.rnglists.size() + 1)));
    u64 base = unit.base_address;
    auto indexed = [&](u64 i) { return resolveAddress(s, unit, FormValue{Kind::addrx, i, {}}); };
    for (;;) {
        switch (TRY(r.readU8())) {
            case 0: return {};  // DW_RLE_end_of_list
            case 1: base = TRY(indexed(TRY(r.readUleb()))); break;
            case 2: {
                const u64 start = TRY(indexed(TRY(r.readUleb())));
                const u64 end = TRY(indexed(TRY(r.readUleb())));
                TRY(addRange(out, allocator, start, end, index));
                break;
            }
            case 3: {
                const u64 start = TRY(indexed(TRY(r.readUleb())));
                const u64 len = TRY(r.readUleb());
                TRY(addRange(out, allocator, start, start + len, index));
                break;
            }
            case 4: {
                const u64 start = TRY(r.readUleb());
                const u64 end = TRY(r.readUleb());
                TRY(addRange(out, allocator, base + start, base + end, index));
                break;
            }
            case 5: base = TRY(r.readUnsigned(unit.address_size)); break;
            case 6: {
                const u64 start = TRY(r.readUnsigned(unit.address_size));
                const u64 end = TRY(r.readUnsigned(unit.address_size));
                TRY(addRange(out, allocator, start, end, index));
                break;
            }
            case 7: {
                const u64 start = TRY(r.readUnsigned(unit.address_size));
                const u64 len = TRY(r.readUleb());
                u64 end = 0;
                if (!__builtin_add_overflow(start, len, &end)) TRY(addRange(out, allocator, start, end, index));
                break;
            }
            default: return XOV_FAIL(Error::InvalidDebugInfo);
        }
    }
}

void sortRanges(std::span<AddressRange> ranges) {
    std::sort(ranges.begin(), ranges.end(), [](const AddressRange& a, const AddressRange& b) {
        return a.lo != b.lo ? a.lo < b.lo : a.hi > b.hi;
    });
}

// The smallest range containing address. Ranges are sorted by start; the
// ones that can contain it start at or before it. Nested ranges are rare
// (and shallow), so the backwards scan is bounded.
const AddressRange* findRange(std::span<const AddressRange> ranges, u64 address) {
    auto it = std::upper_bound(ranges.begin(), ranges.end(), address,
                               [](u64 a, const AddressRange& r) { return a < r.lo; });
    const AddressRange* best = nullptr;
    for (int steps = 0; it != ranges.begin() && steps < 64; ++steps) {
        --it;
        if (address < it->hi && (best == nullptr || it->hi - it->lo < best->hi - best->lo)) best = &*it;
    }
    return best;
}

bool isInterestingTag(u64 t) {
    return t == tag::namespace_ || t == tag::class_type || t == tag::structure_type || t == tag::union_type ||
           t == tag::subprogram || t == tag::inlined_subroutine || t == tag::compile_unit ||
           t == tag::partial_unit || t == tag::skeleton_unit;
}

// The unit's abbreviations and the attributes of its unit DIE, read on
// the first lookup that needs them.
Result<void> readUnitDie(const Sections& s, Unit& unit, mem::Allocator allocator) {
    unit.abbrevs = TRY(parseAbbrevTable(s.abbrev, unit.abbrev_offset, unit.context(), allocator));
    ByteReader die_reader(s.info.first(static_cast<usize>(unit.end)), static_cast<usize>(unit.die_offset));
    const Die die = TRY(readDie(unit, die_reader));
    if (die.abbrev == nullptr) return XOV_FAIL(Error::InvalidDebugInfo);
    const u64 t = die.abbrev->tag;
    if (t != tag::compile_unit && t != tag::partial_unit && t != tag::skeleton_unit)
        return XOV_FAIL(Error::InvalidDebugInfo);
    unit.str_offsets_base = die.str_offsets_base.present() ? die.str_offsets_base.u : (unit.version >= 5 ? 8 : 0);
    unit.addr_base = die.addr_base.present() ? die.addr_base.u : (unit.version >= 5 ? 8 : 0);
    unit.rnglists_base = die.rnglists_base.present() ? die.rnglists_base.u : (unit.version >= 5 ? 12 : 0);
    if (die.name.present()) {
        if (auto n = resolveString(s, &unit, die.name)) unit.name = *n;
    }
    if (die.comp_dir.present()) {
        if (auto d = resolveString(s, &unit, die.comp_dir)) unit.comp_dir = *d;
    }
    if (die.stmt_list.present()) unit.stmt_list = die.stmt_list.u;
    if (die.low_pc.present()) {
        if (auto lo = resolveAddress(s, unit, die.low_pc)) unit.base_address = *lo;
    }
    return {};
}

Result<void> ensureUnitDie(const Sections& s, Unit& unit, mem::Allocator allocator) {
    if (unit.die_state == 0) {
        auto read = readUnitDie(s, unit, allocator);
        unit.die_state = read ? 1 : 2;
        if (!read) unit.die_error = read.error();
    }
    if (unit.die_state == 2) return XOV_FAIL(unit.die_error);
    return {};
}

}  // namespace

// ---------------------------------------------------------------------------
// Unit index

Result<DwarfInfo*> DwarfInfo::init(const Sections& sections, mem::Allocator allocator) {
    if (sections.info.empty() || sections.abbrev.empty()) return XOV_FAIL(Error::MissingDebugInfo);
    auto* info = TRY(allocator.create<DwarfInfo>());
    new (info) DwarfInfo();
    info->sections_ = sections;
    info->allocator_ = allocator;
    return info;
}

Result<void> DwarfInfo::buildIndex() {
    const Sections& s = sections_;
    ArenaList<Unit> units;
    ByteReader r(s.info);
    while (!r.atEnd()) {
        Unit unit;
        unit.offset = r.pos;
        const u64 length = TRY(r.readInitialLength(unit.offset_size));
        if (length > r.remaining()) return XOV_FAIL(Error::InvalidDebugInfo);
        unit.end = r.pos + length;
        unit.version = TRY(r.readU16());
        if (unit.version < 2 || unit.version > 5) return XOV_FAIL(Error::InvalidDebugInfo);
        if (unit.version >= 5) {
            unit.unit_type = TRY(r.readU8());
            unit.address_size = TRY(r.readU8());
            unit.abbrev_offset = TRY(r.readUnsigned(unit.offset_size));
            switch (unit.unit_type) {
                case 2:
                case 6: TRY(r.skip(8 + unit.offset_size)); break;  // type signature, type offset
                case 4:
                case 5: TRY(r.skip(8)); break;  // unit id
                default: break;
            }
        } else {
            unit.unit_type = 1;
            unit.abbrev_offset = TRY(r.readUnsigned(unit.offset_size));
            unit.address_size = TRY(r.readU8());
        }
        if (unit.address_size != 8 && unit.address_size != 4) return XOV_FAIL(Error::InvalidDebugInfo);
        unit.die_offset = r.pos;
        if (unit.die_offset > unit.end) return XOV_FAIL(Error::InvalidDebugInfo);
        TRY(r.seek(static_cast<usize>(unit.end)));
        unit.code_unit = unit.unit_type == 1 || unit.unit_type == 3 || unit.unit_type == 4;
        if (!unit.code_unit) continue;

        TRY(units.append(allocator_, unit));
    }
    units_ = units.span();

    // Address ranges of the units: .debug_aranges where it covers a unit,
    // the unit DIE's own ranges for the rest.
    ArenaList<AddressRange> ranges;
    ArenaList<u8> covered_flags;
    for (usize i = 0; i < units_.size(); ++i) TRY(covered_flags.append(allocator_, 0));
    auto unitIndexAt = [&](u64 offset) -> std::optional<u32> {
        auto it = std::lower_bound(units_.begin(), units_.end(), offset,
                                   [](const Unit& u, u64 o) { return u.offset < o; });
        if (it == units_.end() || it->offset != offset) return std::nullopt;
        return static_cast<u32>(it - units_.begin());
    };
    if (!s.aranges.empty()) {
        ByteReader a(s.aranges);
        while (!a.atEnd()) {
            const usize set_start = a.pos;
            u8 offset_size = 4;
            const u64 length = TRY(a.readInitialLength(offset_size));
            if (length > a.remaining()) return XOV_FAIL(Error::InvalidDebugInfo);
            const usize set_end = a.pos + static_cast<usize>(length);
            TRY(a.readU16());  // version
            const u64 info_offset = TRY(a.readUnsigned(offset_size));
            const u8 address_size = TRY(a.readU8());
            TRY(a.readU8());  // segment selector size
            if (address_size != 8 && address_size != 4) return XOV_FAIL(Error::InvalidDebugInfo);
            const usize tuple = 2u * address_size;
            const usize header = a.pos - set_start;
            TRY(a.skip((tuple - header % tuple) % tuple));
            const auto unit_index = unitIndexAt(info_offset);
            ByteReader tuples(s.aranges.first(set_end), a.pos);
            while (tuples.remaining() >= tuple) {
                const u64 lo = TRY(tuples.readUnsigned(address_size));
                const u64 len = TRY(tuples.readUnsigned(address_size));
                if (lo == 0 && len == 0) break;
                u64 hi = 0;
                if (unit_index && !__builtin_add_overflow(lo, len, &hi)) {
                    TRY(addRange(ranges, allocator_, lo, hi, *unit_index));
                    covered_flags.items[*unit_index] = 1;
                }
            }
            TRY(a.seek(set_end));
        }
    }
    for (usize i = 0; i < units_.size(); ++i) {
        // One flag per unit was appended above.
        if (covered_flags.items[i] != 0) continue;  // NOLINT(clang-analyzer-core.NullDereference)
        Unit& unit = units_[i];
        TRY(ensureUnitDie(s, unit, allocator_));
        ByteReader die_reader(s.info.first(static_cast<usize>(unit.end)), static_cast<usize>(unit.die_offset));
        const Die die = TRY(readDie(unit, die_reader));
        TRY(collectRanges(s, unit, die, ranges, allocator_, static_cast<u32>(i)));
    }
    sortRanges(ranges.span());
    unit_ranges_ = ranges.span();
    return {};
}

Result<DwarfInfo::Unit*> DwarfInfo::unitAt(u64 info_offset) {
    auto it = std::upper_bound(units_.begin(), units_.end(), info_offset,
                               [](u64 o, const Unit& u) { return o < u.offset; });
    if (it == units_.begin()) return XOV_FAIL(Error::InvalidDebugInfo);
    --it;
    if (info_offset >= it->end) return XOV_FAIL(Error::InvalidDebugInfo);
    return &*it;
}

// ---------------------------------------------------------------------------
// Functions of one unit

namespace {

constexpr usize max_die_depth = 256;

bool isNamedScope(u64 t) {
    return t == tag::namespace_ || t == tag::class_type || t == tag::structure_type || t == tag::union_type;
}

Result<void> scanUnit(const Sections& s, Unit& unit, mem::Allocator allocator) {
    struct Context {
        i32 scope;
        bool in_function;
        bool in_inline;
        u64 function_origin;  // the abstract instance of the enclosing function
    };
    Context stack[max_die_depth];
    usize depth = 0;
    Context current{-1, false, false, 0};

    ArenaList<AddressRange> functions;
    ArenaList<AddressRange> inlines;
    ArenaList<InlineCall> calls;
    ArenaList<Decl> decls;
    ArenaList<Scope> scopes;
    // Rough shares of a unit's bytes, so the lists rarely have to move.
    const usize unit_bytes = static_cast<usize>(unit.end - unit.die_offset);
    TRY(decls.reserve(allocator, unit_bytes / 256));
    TRY(scopes.reserve(allocator, unit_bytes / 256));
    TRY(functions.reserve(allocator, unit_bytes / 1024));

    ByteReader r(s.info.first(static_cast<usize>(unit.end)), static_cast<usize>(unit.die_offset));
    const FormContext form_context = unit.context();
    while (!r.atEnd()) {
        // Most DIEs (types, parameters, variables, call sites) say nothing
        // about functions: step over them without decoding.
        const usize die_start = r.pos;
        const u64 code = TRY(r.readUleb());
        if (code == 0) {
            if (depth == 0) continue;  // padding after the unit's last DIE
            current = stack[--depth];
            continue;
        }
        const Abbrev* abbrev = unit.abbrevs.find(code);
        if (abbrev == nullptr) return XOV_FAIL(Error::InvalidDebugInfo);
        if (!abbrev->interesting) {
            if (abbrev->fixed_size >= 0) {
                TRY(r.skip(static_cast<u64>(abbrev->fixed_size)));
            } else {
                for (const AbbrevAttr& attr : unit.abbrevs.attrs.subspan(abbrev->first_attr, abbrev->attr_count))
                    TRY(readForm(r, attr.form, form_context, attr.implicit_const));
            }
            if (abbrev->has_children) {
                if (depth == max_die_depth) return XOV_FAIL(Error::InvalidDebugInfo);
                stack[depth++] = current;
            }
            continue;
        }
        r.pos = die_start;
        const Die die = TRY(readDie(unit, r));
        Context child = current;
        const u64 t = die.abbrev->tag;
        if (isNamedScope(t)) {
            std::string_view name;
            if (die.name.present()) name = TRY(resolveString(s, &unit, die.name));
            if (name.empty()) name = t == tag::namespace_ ? "(anonymous namespace)" : "(anonymous)";
            TRY(scopes.append(allocator, Scope{die.offset, current.scope, -1, name}));
            child.scope = static_cast<i32>(scopes.len - 1);
        } else if (t == tag::subprogram) {
            const auto decl_index = static_cast<u32>(decls.len);
            TRY(decls.append(allocator, Decl{die.offset, current.scope}));
            if (!die.declaration) TRY(collectRanges(s, unit, die, functions, allocator, decl_index));
            TRY(scopes.append(allocator, Scope{die.offset, current.scope, static_cast<i32>(decl_index), {}}));
            const u64 origin = die.abstract_origin.present() ? TRY(resolveRef(unit, die.abstract_origin)) : die.offset;
            child = Context{static_cast<i32>(scopes.len - 1), true, false, origin};
        } else if (t == tag::inlined_subroutine) {
            // GCC describes the cold part of a split function as that
            // function inlined into itself, with its declaration as the
            // call site: not a call, so look through it.
            const bool self_inline = current.in_function && die.abstract_origin.present() &&
                                     TRY(resolveRef(unit, die.abstract_origin)) == current.function_origin;
            if (self_inline) {
                // children keep treating their calls as outermost
            } else if (current.in_function && !current.in_inline) {
                const auto call_index = static_cast<u32>(calls.len);
                TRY(calls.append(allocator, InlineCall{die.call_file.u, static_cast<u32>(die.call_line.u),
                                                       static_cast<u32>(die.call_column.u)}));
                TRY(collectRanges(s, unit, die, inlines, allocator, call_index));
                child.in_inline = true;
            } else {
                child.in_inline = true;
            }
        }
        if (die.abbrev->has_children) {
            if (depth == max_die_depth) return XOV_FAIL(Error::InvalidDebugInfo);
            stack[depth++] = current;
            current = child;
        }
    }
    sortRanges(functions.span());
    sortRanges(inlines.span());
    unit.functions = functions.span();
    unit.inlines = inlines.span();
    unit.calls = calls.span();
    unit.decls = decls.span();
    unit.scopes = scopes.span();
    auto names = TRY(allocator.alloc<std::string_view>(decls.len));
    for (auto& n : names) n = std::string_view();
    unit.decl_names = names.data();
    return {};
}

Result<void> ensureScanned(const Sections& s, Unit& unit, mem::Allocator allocator) {
    TRY(ensureUnitDie(s, unit, allocator));
    if (unit.scan_state == 0) {
        auto scanned = scanUnit(s, unit, allocator);
        unit.scan_state = scanned ? 1 : 2;
        if (!scanned) unit.scan_error = scanned.error();
    }
    if (unit.scan_state == 2) return XOV_FAIL(unit.scan_error);
    return {};
}

Result<std::string_view> join(mem::Allocator allocator, std::span<const std::string_view> parts,
                              std::string_view separator) {
    usize total = 0;
    for (usize i = 0; i < parts.size(); ++i) total += parts[i].size() + (i == 0 ? 0 : separator.size());
    auto out = TRY(allocator.alloc<char>(total == 0 ? 1 : total));
    usize at = 0;
    for (usize i = 0; i < parts.size(); ++i) {
        if (i != 0) {
            std::memcpy(out.data() + at, separator.data(), separator.size());
            at += separator.size();
        }
        std::memcpy(out.data() + at, parts[i].data(), parts[i].size());
        at += parts[i].size();
    }
    return std::string_view(out.data(), total);
}

}  // namespace

Result<std::string_view> DwarfInfo::qualifiedName(Unit& unit, u64 die_offset, int depth) {
    if (depth > 8) return XOV_FAIL(Error::InvalidDebugInfo);
    TRY(ensureScanned(sections_, unit, allocator_));
    auto it = std::lower_bound(unit.decls.begin(), unit.decls.end(), die_offset,
                               [](const Decl& d, u64 o) { return d.offset < o; });
    if (it == unit.decls.end() || it->offset != die_offset) return XOV_FAIL(Error::InvalidDebugInfo);
    return functionName(unit, static_cast<u32>(it - unit.decls.begin()), depth);
}

// The name of a subprogram with its enclosing namespaces, classes and
// functions: "w4_input::InputState::cameraMoveDir". A definition without a
// name of its own takes it from its declaration (DW_AT_specification) or
// its abstract instance (DW_AT_abstract_origin), whose place in the tree
// gives the qualification.
Result<std::string_view> DwarfInfo::functionName(Unit& unit, u32 decl_index, int depth) {
    if (depth > 8) return XOV_FAIL(Error::InvalidDebugInfo);
    if (!unit.decl_names[decl_index].empty()) return unit.decl_names[decl_index];
    const Decl decl = unit.decls[decl_index];
    ByteReader r(sections_.info.first(static_cast<usize>(unit.end)), static_cast<usize>(decl.offset));
    const Die die = TRY(readDie(unit, r));
    if (die.abbrev == nullptr) return XOV_FAIL(Error::InvalidDebugInfo);

    std::string_view result;
    if (die.name.present()) {
        std::string_view parts[33];
        usize count = 0;
        parts[count++] = TRY(resolveString(sections_, &unit, die.name));
        std::string_view prefix;
        for (i32 scope = decl.scope; scope >= 0 && count < std::size(parts);) {
            const Scope& sc = unit.scopes[static_cast<usize>(scope)];
            if (sc.function_decl >= 0) {
                prefix = TRY(functionName(unit, static_cast<u32>(sc.function_decl), depth + 1));
                break;
            }
            parts[count++] = sc.name;
            scope = sc.parent;
        }
        if (!prefix.empty() && count < std::size(parts)) parts[count++] = prefix;
        std::reverse(parts, parts + count);
        result = TRY(join(allocator_, std::span<const std::string_view>(parts, count), "::"));
    } else {
        const FormValue& link = die.declaration_link.present() ? die.declaration_link : die.abstract_origin;
        if (!link.present()) return XOV_FAIL(Error::InvalidDebugInfo);
        const u64 target = TRY(resolveRef(unit, link));
        Unit* target_unit = &unit;
        if (target < unit.offset || target >= unit.end) target_unit = TRY(unitAt(target));
        result = TRY(qualifiedName(*target_unit, target, depth + 1));
    }
    unit.decl_names[decl_index] = result;
    return result;
}

Result<Location> DwarfInfo::locate(u64 address) {
    if (index_state_ == 0) {
        auto built = buildIndex();
        index_state_ = built ? 1 : 2;
        if (!built) index_error_ = built.error();
    }
    if (index_state_ == 2) return XOV_FAIL(static_cast<Error>(index_error_));

    const AddressRange* unit_range = findRange(unit_ranges_, address);
    if (unit_range == nullptr) return XOV_FAIL(Error::MissingDebugInfo);
    Unit& unit = units_[unit_range->index];
    TRY(ensureScanned(sections_, unit, allocator_));

    Location location;
    location.function = "???";
    location.unit_name = unit.name;
    if (const AddressRange* function = findRange(unit.functions, address)) {
        if (auto name = functionName(unit, function->index, 0); name && !name->empty()) location.function = *name;
    }

    if (unit.lines_state == 0 && unit.stmt_list) {
        auto lines = parseLineTable(sections_, *unit.stmt_list, unit.address_size, unit.comp_dir, unit.name,
                                    allocator_);
        unit.lines_state = lines ? 1 : 2;
        if (lines) unit.lines = *lines;
    }
    if (unit.lines_state != 1) return location;

    // In inlined code the entry names the function the code was inlined
    // into, so the place shown is that function's own call of the inlined
    // code rather than a line of the inlined callee.
    if (const AddressRange* inlined = findRange(unit.inlines, address)) {
        const InlineCall& call = unit.calls[inlined->index];
        location.row = LineRow{address, static_cast<u32>(call.file), call.line, call.column};
    } else {
        location.row = unit.lines.find(address);
    }
    if (location.row) {
        auto path = unit.lines.filePath(location.row->file, unit.comp_dir, allocator_);
        if (path)
            location.file = *path;
        else
            location.row.reset();
    }
    return location;
}

}  // namespace dwarf
