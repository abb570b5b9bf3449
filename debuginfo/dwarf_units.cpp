// Units of .debug_info: their headers, the attributes of each unit DIE,
// resolution of attribute values through a unit's bases, and the index
// from addresses to units (.debug_aranges, else the units' own ranges).
#include <algorithm>
#include <new>

#include "debuginfo/dwarf_unit.hpp"

namespace dwarf {

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

namespace {

// The unit's abbreviations and the attributes of its unit DIE, read on
// the first lookup that needs them.
Result<void> readUnitDie(const Sections& s, Unit& unit, mem::Allocator allocator, const AbbrevTable* shared) {
    if (shared != nullptr)
        unit.abbrevs = *shared;
    else
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

}  // namespace

Result<void> ensureUnitDie(const Sections& s, Unit& unit, mem::Allocator allocator, const AbbrevTable* shared) {
    TRY(unit.die_read.getOrInit([&] { return readUnitDie(s, unit, allocator, shared); }));
    return {};
}

Result<DwarfInfo*> DwarfInfo::init(const Sections& sections, mem::Allocator allocator) {
    if (sections.info.empty() || sections.abbrev.empty()) return XOV_FAIL(Error::MissingDebugInfo);
    auto* info = TRY(allocator.create<DwarfInfo>());
    new (info) DwarfInfo();
    info->sections_ = sections;
    info->allocator_ = allocator;
    return info;
}

namespace {

// The header of the unit at r's position; r is left at the unit's end.
Result<void> readUnitHeader(ByteReader& r, Unit& unit) {
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
            case ut::type:
            case ut::split_type: TRY(r.skip(8 + unit.offset_size)); break;  // type signature, type offset
            case ut::skeleton:
            case ut::split_compile:
                unit.dwo_id = TRY(r.readU64());
                unit.has_dwo_id = true;
                break;
            default: break;
        }
    } else {
        unit.unit_type = ut::compile;
        unit.abbrev_offset = TRY(r.readUnsigned(unit.offset_size));
        unit.address_size = TRY(r.readU8());
    }
    if (unit.address_size != 8 && unit.address_size != 4) return XOV_FAIL(Error::InvalidDebugInfo);
    unit.die_offset = r.pos;
    if (unit.die_offset > unit.end) return XOV_FAIL(Error::InvalidDebugInfo);
    TRY(r.seek(static_cast<usize>(unit.end)));
    unit.info_offset = unit.offset;
    unit.info_end = unit.end;
    unit.code_unit = unit.unit_type == ut::compile || unit.unit_type == ut::partial || unit.unit_type == ut::skeleton;
    return {};
}

bool sameContext(const FormContext& a, const FormContext& b) {
    return a.version == b.version && a.address_size == b.address_size && a.offset_size == b.offset_size;
}

}  // namespace

Result<DwarfInfo::Unit*> DwarfInfo::unitOf(usize index) {
    UnitSlot& slot = units_[index];
    if (slot.unit != nullptr) return slot.unit;
    auto* unit = TRY(allocator_.create<Unit>());
    new (unit) Unit();
    ByteReader r(sections_.info, static_cast<usize>(slot.offset));
    TRY(readUnitHeader(r, *unit));
    slot.unit = unit;
    return unit;
}

// The index holds a slot per unit that may hold code, and a range per
// address range of each; the units themselves are read when a lookup
// reaches them. A unit costs the index 16 bytes: units appended by the
// million, with nothing in them, must not cost the report its memory.
Result<void> DwarfInfo::buildIndex() {
    const Sections& s = sections_;
    usize count = 0;
    for (ByteReader r(s.info); !r.atEnd();) {
        Unit unit;
        TRY(readUnitHeader(r, unit));
        if (unit.code_unit) ++count;
    }
    auto slots = TRY(allocator_.alloc<UnitSlot>(count));
    usize filled = 0;
    for (ByteReader r(s.info); !r.atEnd() && filled < count;) {
        Unit unit;
        TRY(readUnitHeader(r, unit));
        if (unit.code_unit) slots[filled++] = UnitSlot{unit.offset, nullptr};
    }
    units_ = slots.first(filled);

    // Address ranges of the units: .debug_aranges where it covers a unit,
    // the unit DIE's own ranges for the rest.
    ArenaList<AddressRange> ranges;
    auto covered_flags = TRY(allocator_.alloc<u8>(units_.size()));
    std::fill(covered_flags.begin(), covered_flags.end(), u8{0});
    TRY(readAranges(ranges, covered_flags));
    // Units that share one abbreviation table read it once.
    AbbrevTable shared;
    FormContext shared_context{};
    for (usize i = 0; i < units_.size(); ++i) {
        if (covered_flags[i] != 0) continue;
        Unit unit;
        ByteReader header(s.info, static_cast<usize>(units_[i].offset));
        TRY(readUnitHeader(header, unit));
        const bool same = shared.offset == unit.abbrev_offset && sameContext(shared_context, unit.context());
        TRY(ensureUnitDie(s, unit, allocator_, same ? &shared : nullptr));
        shared = unit.abbrevs;
        shared_context = unit.context();
        ByteReader die_reader(s.info.first(static_cast<usize>(unit.end)), static_cast<usize>(unit.die_offset));
        const Die die = TRY(readDie(unit, die_reader));
        const usize before = ranges.len;
        TRY(collectRanges(s, unit, die, ranges, allocator_, static_cast<u32>(i)));
        if (ranges.len == before) continue;
        // A unit with code keeps what was read of it for its lookups.
        auto* kept = TRY(allocator_.create<Unit>());
        new (kept) Unit(unit);
        units_[i].unit = kept;
    }
    sortRanges(ranges.span());
    unit_ranges_ = ranges.span();
    return {};
}

// The ranges .debug_aranges gives the units, each unit it covers flagged.
Result<void> DwarfInfo::readAranges(ArenaList<AddressRange>& ranges, std::span<u8> covered_flags) {
    const Sections& s = sections_;
    auto unitIndexAt = [&](u64 offset) -> std::optional<u32> {
        auto it = std::lower_bound(units_.begin(), units_.end(), offset,
                                   [](const UnitSlot& u, u64 o) { return u.offset < o; });
        if (it == units_.end() || it->offset != offset) return std::nullopt;
        return static_cast<u32>(it - units_.begin());
    };
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
                covered_flags[*unit_index] = 1;
            }
        }
        TRY(a.seek(set_end));
    }
    return {};
}

Result<DwarfInfo::Unit*> DwarfInfo::unitAt(u64 info_offset) {
    auto it = std::upper_bound(units_.begin(), units_.end(), info_offset,
                               [](u64 o, const UnitSlot& u) { return o < u.offset; });
    if (it == units_.begin()) return XOV_FAIL(Error::InvalidDebugInfo);
    --it;
    Unit* unit = TRY(unitOf(static_cast<usize>(it - units_.begin())));
    // A split unit's DIEs live in another file: no reference from the
    // main .debug_info reaches them.
    if (info_offset >= unit->info_end || unit->split != nullptr) return XOV_FAIL(Error::InvalidDebugInfo);
    return unit;
}

}  // namespace dwarf

