// The building blocks of .debug_info: attribute forms and their values,
// abbreviation tables, and the attributes of one DIE this reader uses.
// The form decoder is inline because the unit scan calls it for nearly
// every attribute of every DIE it cannot skip whole.
#pragma once
#include <algorithm>
#include <span>
#include <string_view>

#include "debuginfo/byte_reader.hpp"
#include "debuginfo/dwarf_constants.hpp"
#include "memory/allocator.hpp"
#include "support/error.hpp"

namespace dwarf {

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


inline Result<FormValue> readForm(ByteReader& r, u64 form, const FormContext& c, i64 implicit_const, int depth = 0) {
    auto constant = [](u64 v) { return FormValue{Kind::constant, v, {}}; };
    auto with = [](Kind k, u64 v) { return FormValue{k, v, {}}; };
    switch (form) {
        case form::addr: return with(Kind::address, TRY(r.readUnsigned(c.address_size)));
        case form::block2: TRY(r.skip(TRY(r.readU16()))); return with(Kind::block, 0);
        case form::block4: TRY(r.skip(TRY(r.readU32()))); return with(Kind::block, 0);
        case form::data2: return constant(TRY(r.readU16()));
        case form::data4: return constant(TRY(r.readU32()));
        case form::data8: return constant(TRY(r.readU64()));
        case form::string: {
            FormValue v{Kind::string, 0, TRY(r.readCString())};
            return v;
        }
        case form::block:
        case form::exprloc: TRY(r.skip(TRY(r.readUleb()))); return with(Kind::block, 0);
        case form::block1: TRY(r.skip(TRY(r.readU8()))); return with(Kind::block, 0);
        case form::data1: return constant(TRY(r.readU8()));
        case form::flag: return with(Kind::flag, TRY(r.readU8()));
        case form::sdata: return constant(static_cast<u64>(TRY(r.readSleb())));
        case form::strp: return with(Kind::strp, TRY(r.readUnsigned(c.offset_size)));
        case form::udata: return constant(TRY(r.readUleb()));
        case form::ref_addr:
            return with(Kind::ref_info, TRY(r.readUnsigned(c.version <= 2 ? c.address_size : c.offset_size)));
        case form::ref1: return with(Kind::ref_unit, TRY(r.readU8()));
        case form::ref2: return with(Kind::ref_unit, TRY(r.readU16()));
        case form::ref4: return with(Kind::ref_unit, TRY(r.readU32()));
        case form::ref8: return with(Kind::ref_unit, TRY(r.readU64()));
        case form::ref_udata: return with(Kind::ref_unit, TRY(r.readUleb()));
        case form::indirect: {
            if (depth > 2) return XOV_FAIL(Error::InvalidDebugInfo);
            const u64 actual = TRY(r.readUleb());
            return readForm(r, actual, c, implicit_const, depth + 1);
        }
        case form::sec_offset: return with(Kind::sec_offset, TRY(r.readUnsigned(c.offset_size)));
        case form::flag_present: return with(Kind::flag, 1);
        case form::strx:
        case form::gnu_str_index: return with(Kind::strx, TRY(r.readUleb()));
        case form::addrx:
        case form::gnu_addr_index: return with(Kind::addrx, TRY(r.readUleb()));
        case form::ref_sup4: TRY(r.skip(4)); return with(Kind::other, 0);
        case form::strp_sup:
        case form::gnu_ref_alt:
        case form::gnu_strp_alt: TRY(r.skip(c.offset_size)); return with(Kind::other, 0);
        case form::data16: TRY(r.skip(16)); return with(Kind::block, 0);
        case form::line_strp: return with(Kind::line_strp, TRY(r.readUnsigned(c.offset_size)));
        case form::ref_sig8: TRY(r.skip(8)); return with(Kind::other, 0);
        case form::implicit_const: return constant(static_cast<u64>(implicit_const));
        case form::loclistx: TRY(r.readUleb()); return with(Kind::other, 0);
        case form::rnglistx: return with(Kind::rnglistx, TRY(r.readUleb()));
        case form::ref_sup8: TRY(r.skip(8)); return with(Kind::other, 0);
        case form::strx1: return with(Kind::strx, TRY(r.readUnsigned(1)));
        case form::strx2: return with(Kind::strx, TRY(r.readUnsigned(2)));
        case form::strx3: return with(Kind::strx, TRY(r.readUnsigned(3)));
        case form::strx4: return with(Kind::strx, TRY(r.readUnsigned(4)));
        case form::addrx1: return with(Kind::addrx, TRY(r.readUnsigned(1)));
        case form::addrx2: return with(Kind::addrx, TRY(r.readUnsigned(2)));
        case form::addrx3: return with(Kind::addrx, TRY(r.readUnsigned(3)));
        case form::addrx4: return with(Kind::addrx, TRY(r.readUnsigned(4)));
        default: return XOV_FAIL(Error::InvalidDebugInfo);
    }
}

// Kept small: a unit's abbreviations are read whole, a few thousand
// attributes each. Attribute names and forms end below 0x4000 and 0x2000;
// a larger one read from damaged data is kept as 0xffff, which no form
// reader knows and no lookup asks for.
struct AbbrevAttr {
    u16 name;
    u16 form;
    // The size of the form's value when the form fixes it, else -1; for
    // DW_FORM_implicit_const, the index of its value in the table's
    // constants (the value takes no bytes in a DIE).
    i32 value;
    [[nodiscard]] i32 size() const { return form == form::implicit_const ? 0 : value; }
};

// Steps over one attribute value without decoding it.
inline Result<void> skipForm(ByteReader& r, const AbbrevAttr& attr, const FormContext& c) {
    if (attr.size() >= 0) return r.skip(static_cast<u64>(attr.size()));
    switch (attr.form) {
        case form::string: TRY(r.readCString()); return {};
        case form::sdata: TRY(r.readSleb()); return {};
        case form::udata: case form::ref_udata: case form::strx: case form::addrx: case form::loclistx:
        case form::rnglistx: case form::gnu_addr_index: case form::gnu_str_index:
            TRY(r.readUleb());
            return {};
        case form::block: case form::exprloc: return r.skip(TRY(r.readUleb()));
        case form::block1: return r.skip(TRY(r.readU8()));
        default: TRY(readForm(r, attr.form, c, 0)); return {};
    }
}

struct Abbrev {
    u64 code;
    u16 tag;  // tags end at 0xffff
    bool has_children;
    bool may_have_code;  // has an address range attribute (low_pc or ranges)
    bool is_declaration;  // DW_AT_declaration as a present flag
    i32 fixed_size;    // bytes of all attributes when every form has a fixed size, else -1
    u32 first_attr;
    u32 attr_count;
    // Where DW_AT_sibling's value lies after the abbreviation code, when
    // every attribute before it has a fixed size; sibling_size is its
    // form's size (1, 2, 4 or 8). -1 and 0 when the subtree's end cannot
    // be read directly.
    i32 sibling_at;
    u8 sibling_size;
};

// Size of a form's value when it does not depend on the bytes, else -1.
[[nodiscard]] i32 fixedFormSize(u64 form, const FormContext& c);

struct AbbrevTable {
    u64 offset = ~u64{0};
    std::span<const Abbrev> abbrevs;  // sorted by code
    std::span<const AbbrevAttr> attrs;
    std::span<const i64> implicit_consts;

    [[nodiscard]] i64 implicitConst(const AbbrevAttr& attr) const {
        if (attr.form != form::implicit_const || attr.value < 0 ||
            static_cast<usize>(attr.value) >= implicit_consts.size())
            return 0;
        return implicit_consts[static_cast<usize>(attr.value)];
    }

    [[nodiscard]] const Abbrev* find(u64 code) const {
        // GCC numbers abbreviations 1, 2, 3...: try the direct slot first.
        if (code >= 1 && code <= abbrevs.size() && abbrevs[code - 1].code == code) return &abbrevs[code - 1];
        auto it = std::lower_bound(abbrevs.begin(), abbrevs.end(), code,
                                   [](const Abbrev& a, u64 c) { return a.code < c; });
        if (it == abbrevs.end() || it->code != code) return nullptr;
        return &*it;
    }
};

[[nodiscard]] Result<AbbrevTable> parseAbbrevTable(std::span<const u8> section, u64 offset, const FormContext& context,
                                                   mem::Allocator allocator);

// The attributes of one DIE that this reader uses.
struct Die {
    u64 offset = 0;
    const Abbrev* abbrev = nullptr;  // null for the entry that ends a child list
    FormValue sibling, name, low_pc, high_pc, ranges, declaration_link, abstract_origin, call_file, call_line, call_column,
        stmt_list, comp_dir, str_offsets_base, addr_base, rnglists_base;
    bool declaration = false;
};

}  // namespace dwarf
