// Address ranges of DIEs (low_pc/high_pc, .debug_ranges, .debug_rnglists)
// and the smallest-range lookup over them.
#include <algorithm>

#include "debuginfo/dwarf_unit.hpp"

namespace dwarf {

namespace {

// A range the linker kept: discarded code is marked with address 0 (or
// all ones), and empty or inverted ranges carry nothing.
bool liveRange(u64 lo, u64 hi) { return lo != 0 && lo < hi && lo < ~u64{1}; }

}  // namespace

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
        u64 offset = 0;
        if (__builtin_add_overflow(die.ranges.u, unit.ranges_base, &offset)) return XOV_FAIL(Error::InvalidDebugInfo);
        ByteReader r(s.ranges);
        TRY(r.seek(static_cast<usize>(offset <= s.ranges.size() ? offset : s.ranges.size() + 1)));
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
            case rle::end_of_list: return {};
            case rle::base_addressx: base = TRY(indexed(TRY(r.readUleb()))); break;
            case rle::startx_endx: {
                const u64 start = TRY(indexed(TRY(r.readUleb())));
                const u64 end = TRY(indexed(TRY(r.readUleb())));
                TRY(addRange(out, allocator, start, end, index));
                break;
            }
            case rle::startx_length: {
                const u64 start = TRY(indexed(TRY(r.readUleb())));
                const u64 len = TRY(r.readUleb());
                TRY(addRange(out, allocator, start, start + len, index));
                break;
            }
            case rle::offset_pair: {
                const u64 start = TRY(r.readUleb());
                const u64 end = TRY(r.readUleb());
                TRY(addRange(out, allocator, base + start, base + end, index));
                break;
            }
            case rle::base_address: base = TRY(r.readUnsigned(unit.address_size)); break;
            case rle::start_end: {
                const u64 start = TRY(r.readUnsigned(unit.address_size));
                const u64 end = TRY(r.readUnsigned(unit.address_size));
                TRY(addRange(out, allocator, start, end, index));
                break;
            }
            case rle::start_length: {
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

}  // namespace dwarf
