// Abbreviation tables and the fixed sizes that let the unit scan step over
// a DIE without decoding it.
#include <algorithm>

#include "debuginfo/arena_list.hpp"
#include "debuginfo/dwarf_die.hpp"

namespace dwarf {

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
                if (form == AbbrevAttr::implicit_const_form) {
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
            if (form == AbbrevAttr::implicit_const_form) {
                value = static_cast<i32>(implicit_consts.len);
                TRY(implicit_consts.append(allocator, TRY(r.readSleb())));
            }
            if (name == at::sibling && abbrev.fixed_size >= 0 && abbrev.sibling_at < 0 && form >= 0x11 && form <= 0x14) {
                abbrev.sibling_at = abbrev.fixed_size;  // the attributes before it
                abbrev.sibling_size = static_cast<u8>(size);
            }
            TRY(attrs.append(allocator, AbbrevAttr{narrow(name), narrow(form), value}));
            if (name == at::low_pc || name == at::ranges) abbrev.may_have_code = true;
            if (name == at::declaration && form == 0x19) abbrev.is_declaration = true;
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
