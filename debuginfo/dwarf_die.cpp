// Abbreviation tables and the fixed sizes that let the unit scan step over
// a DIE without decoding it.
#include <algorithm>

#include "debuginfo/arena_list.hpp"
#include "debuginfo/dwarf_die.hpp"

namespace dwarf {

i32 fixedFormSize(u64 form, const FormContext& c) {
    switch (form) {
        case form::addr: return c.address_size;
        case form::data1: case form::ref1: case form::flag: case form::strx1: case form::addrx1: return 1;
        case form::data2: case form::ref2: case form::strx2: case form::addrx2: return 2;
        case form::strx3: case form::addrx3: return 3;
        case form::data4: case form::ref4: case form::strx4: case form::addrx4: case form::ref_sup4: return 4;
        case form::data8: case form::ref8: case form::ref_sig8: case form::ref_sup8: return 8;
        case form::data16: return 16;
        case form::strp: case form::line_strp: case form::sec_offset: case form::strp_sup: case form::gnu_ref_alt:
        case form::gnu_strp_alt: return c.offset_size;
        case form::ref_addr: return c.version <= 2 ? c.address_size : c.offset_size;
        case form::flag_present: case form::implicit_const: return 0;
        default: return -1;
    }
}

Result<AbbrevTable> parseAbbrevTable(std::span<const u8> section, u64 offset, const FormContext& context,
                                     mem::Allocator allocator) {
    ByteReader r(section);
    TRY(r.seek(static_cast<usize>(offset < section.size() ? offset : section.size() + 1)));
    // Counted first, so the lists are allocated once at their size.
    usize abbrev_count = 0;
    usize attr_count = 0;
    usize implicit_count = 0;
    {
        ByteReader counter = r;
        for (;;) {
            if (TRY(counter.readUleb()) == 0) break;
            TRY(counter.readUleb());
            TRY(counter.readU8());
            ++abbrev_count;
            for (;;) {
                const u64 name = TRY(counter.readUleb());
                const u64 form = TRY(counter.readUleb());
                if (name == 0 && form == 0) break;
                if (form == form::implicit_const) {
                    TRY(counter.readSleb());
                    ++implicit_count;
                }
                ++attr_count;
            }
        }
    }
    if (attr_count > ~u32{0}) return XOV_FAIL(Error::InvalidDebugInfo);
    auto narrow = [](u64 v) { return static_cast<u16>(v > 0xffff ? 0xffff : v); };
    ArenaList<Abbrev> abbrevs;
    ArenaList<AbbrevAttr> attrs;
    ArenaList<i64> implicit_consts;
    TRY(abbrevs.reserve(allocator, abbrev_count));
    TRY(attrs.reserve(allocator, attr_count));
    TRY(implicit_consts.reserve(allocator, implicit_count));
    bool sorted = true;
    for (;;) {
        const u64 code = TRY(r.readUleb());
        if (code == 0) break;
        Abbrev abbrev{code, narrow(TRY(r.readUleb())), false, false, false, 0, static_cast<u32>(attrs.len), 0, -1, 0};
        abbrev.has_children = TRY(r.readU8()) != 0;
        for (;;) {
            const u64 name = TRY(r.readUleb());
            const u64 form = TRY(r.readUleb());
            if (name == 0 && form == 0) break;
            const i32 size = fixedFormSize(form, context);
            i32 value = size;
            if (form == form::implicit_const) {
                value = static_cast<i32>(implicit_consts.len);
                TRY(implicit_consts.append(allocator, TRY(r.readSleb())));
            }
            const bool unit_ref = form >= form::ref1 && form <= form::ref8;
            if (name == at::sibling && abbrev.fixed_size >= 0 && abbrev.sibling_at < 0 && unit_ref) {
                abbrev.sibling_at = abbrev.fixed_size;  // the attributes before it
                abbrev.sibling_size = static_cast<u8>(size);
            }
            TRY(attrs.append(allocator, AbbrevAttr{narrow(name), narrow(form), value}));
            if (name == at::low_pc || name == at::ranges) abbrev.may_have_code = true;
            if (name == at::declaration && form == form::flag_present) abbrev.is_declaration = true;
            abbrev.attr_count += 1;
            abbrev.fixed_size = size < 0 || abbrev.fixed_size < 0 ? -1 : abbrev.fixed_size + size;
        }
        if (abbrevs.len != 0 && abbrevs.items[abbrevs.len - 1].code >= code) sorted = false;
        TRY(abbrevs.append(allocator, abbrev));
    }
    auto list = abbrevs.span();
    if (!sorted) std::sort(list.begin(), list.end(), [](const Abbrev& a, const Abbrev& b) { return a.code < b.code; });
    return AbbrevTable{offset, list, attrs.span(), implicit_consts.span()};
}

}  // namespace dwarf
