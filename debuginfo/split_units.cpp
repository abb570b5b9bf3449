// Split DWARF (-gsplit-dwarf): the executable keeps a skeleton unit per
// compile unit (its address ranges, line table and addresses), and the
// DIEs live in a .dwo file named by the skeleton (DW_AT_dwo_name), or in a
// .dwp package beside the executable that gathers them, indexed by the
// unit's id. DWARF 5 skeleton units and the DWARF 4 GNU extension alike.
#include <cstring>
#include <new>

#include "debuginfo/dwarf_unit.hpp"
#include "debuginfo/elf_image.hpp"
#include "debuginfo/path_buffer.hpp"

namespace dwarf {

namespace {

// The skeleton's file name and (DWARF 4) id, which the DIE reader does not
// keep for other units.
Result<void> readSkeletonAttributes(const Sections& s, Unit& unit) {
    ByteReader r(s.info.first(static_cast<usize>(unit.end)), static_cast<usize>(unit.die_offset));
    const Abbrev* abbrev = unit.abbrevs.find(TRY(r.readUleb()));
    if (abbrev == nullptr) return XOV_FAIL(Error::InvalidDebugInfo);
    for (const AbbrevAttr& attr : unit.abbrevs.attrs.subspan(abbrev->first_attr, abbrev->attr_count)) {
        const FormValue value = TRY(readForm(r, attr.form, unit.context(), unit.abbrevs.implicitConst(attr)));
        if (attr.name == at::dwo_name || attr.name == at::gnu_dwo_name) {
            unit.dwo_name = TRY(resolveString(s, &unit, value));
        } else if (attr.name == at::gnu_dwo_id && value.kind == Kind::constant) {
            unit.dwo_id = value.u;
            unit.has_dwo_id = true;
        }
    }
    return {};
}


// The slice of a package section a unit's contribution occupies.
Result<std::span<const u8>> slice(std::span<const u8> section, u32 offset, u32 size) {
    if (offset > section.size() || size > section.size() - offset) return XOV_FAIL(Error::InvalidDebugInfo);
    return section.subspan(offset, size);
}

// Narrows a package's sections to the contributions of the unit with this
// id, through .debug_cu_index. MissingDebugInfo when the index has no such
// unit.
Result<void> findInPackage(ElfImage& package, u64 dwo_id, Sections& out) {
    const auto index = TRY(package.section(".debug_cu_index"));
    if (index.empty()) return XOV_FAIL(Error::MissingDebugInfo);
    ByteReader r(index);
    const u32 version_word = TRY(r.readU32());
    const u32 version = version_word == 2 ? 2 : (version_word & 0xffff);
    if (version != 2 && version != 5) return XOV_FAIL(Error::InvalidDebugInfo);
    const u32 columns = TRY(r.readU32());
    const u32 units = TRY(r.readU32());
    const u32 slots = TRY(r.readU32());
    if (columns == 0 || columns > 16 || slots == 0 || (slots & (slots - 1)) != 0 || units > slots)
        return XOV_FAIL(Error::InvalidDebugInfo);
    const usize hashes_at = r.pos;
    const usize rows_at = hashes_at + usize{slots} * 8;
    const usize ids_at = rows_at + usize{slots} * 4;
    const usize offsets_at = ids_at + usize{columns} * 4;
    const usize sizes_at = offsets_at + usize{units} * columns * 4;
    if (sizes_at + usize{units} * columns * 4 > index.size()) return XOV_FAIL(Error::InvalidDebugInfo);
    auto u32At = [&](usize at) {
        u32 v;
        std::memcpy(&v, index.data() + at, 4);
        return v;
    };
    auto u64At = [&](usize at) {
        u64 v;
        std::memcpy(&v, index.data() + at, 8);
        return v;
    };
    const u64 mask = slots - 1;
    u64 slot = dwo_id & mask;
    const u64 step = ((dwo_id >> 32) & mask) | 1;
    u32 row = 0;
    for (u32 probes = 0; probes < slots; ++probes, slot = (slot + step) & mask) {
        const u64 hash = u64At(hashes_at + static_cast<usize>(slot) * 8);
        const u32 found = u32At(rows_at + static_cast<usize>(slot) * 4);
        if (found == 0 && hash == 0) break;
        if (hash == dwo_id && found != 0) {
            row = found;
            break;
        }
    }
    if (row == 0) return XOV_FAIL(Error::MissingDebugInfo);
    if (row > units) return XOV_FAIL(Error::InvalidDebugInfo);
    const usize at = usize{row - 1} * columns * 4;
    bool has_info = false;
    for (u32 c = 0; c < columns; ++c) {
        const u32 id = u32At(ids_at + usize{c} * 4);
        const u32 offset = u32At(offsets_at + at + usize{c} * 4);
        const u32 size = u32At(sizes_at + at + usize{c} * 4);
        if (id == sect::info) {
            out.info = TRY(slice(out.info, offset, size));
            has_info = true;
        } else if (id == sect::abbrev) {
            out.abbrev = TRY(slice(out.abbrev, offset, size));
        } else if (id == sect::str_offsets) {
            out.str_offsets = TRY(slice(out.str_offsets, offset, size));
        } else if (id == sect::rnglists && version == 5) {
            out.rnglists = TRY(slice(out.rnglists, offset, size));
        }
    }
    if (!has_info) return XOV_FAIL(Error::InvalidDebugInfo);
    return {};
}

// The sections of a .dwo file or package, over the executable's for what
// the split unit leaves to its skeleton (addresses, line table, DWARF 4
// range lists).
Result<Sections> splitSections(ElfImage& file, const Sections& main, u16 version) {
    Sections s = main;
    s.info = TRY(file.section(".debug_info.dwo"));
    s.abbrev = TRY(file.section(".debug_abbrev.dwo"));
    s.str = TRY(file.section(".debug_str.dwo"));
    s.str_offsets = TRY(file.section(".debug_str_offsets.dwo"));
    if (version >= 5) s.rnglists = TRY(file.section(".debug_rnglists.dwo"));
    if (s.info.empty() || s.abbrev.empty()) return XOV_FAIL(Error::MissingDebugInfo);
    return s;
}

struct SplitHeader {
    u64 offset, end, die_offset, abbrev_offset;
    u16 version;
    u8 unit_type, address_size, offset_size;
};

// Points a unit record at the split unit's header; the rest of the record
// is the caller's.
void placeAtHeader(Unit& unit, const SplitHeader& header) {
    unit.offset = header.offset;
    unit.end = header.end;
    unit.die_offset = header.die_offset;
    unit.abbrev_offset = header.abbrev_offset;
    unit.version = header.version;
    unit.unit_type = header.unit_type;
    unit.address_size = header.address_size;
    unit.offset_size = header.offset_size;
}

// The split compile unit with this id in a .dwo's (or a package slice's)
// .debug_info: DWARF 5 names the id in the unit header; a DWARF 4 .dwo
// holds one compile unit, whose id the caller checks.
Result<SplitHeader> findSplitUnit(std::span<const u8> info, u64 dwo_id) {
    ByteReader r(info);
    while (!r.atEnd()) {
        SplitHeader h{};
        h.offset = r.pos;
        const u64 length = TRY(r.readInitialLength(h.offset_size));
        if (length > r.remaining()) return XOV_FAIL(Error::InvalidDebugInfo);
        h.end = r.pos + length;
        h.version = TRY(r.readU16());
        u64 id = 0;
        bool has_id = false;
        if (h.version >= 5) {
            h.unit_type = TRY(r.readU8());
            h.address_size = TRY(r.readU8());
            h.abbrev_offset = TRY(r.readUnsigned(h.offset_size));
            if (h.unit_type == ut::split_compile) {
                id = TRY(r.readU64());
                has_id = true;
            }
        } else if (h.version >= 2) {
            h.unit_type = ut::compile;
            h.abbrev_offset = TRY(r.readUnsigned(h.offset_size));
            h.address_size = TRY(r.readU8());
        } else {
            return XOV_FAIL(Error::InvalidDebugInfo);
        }
        h.die_offset = r.pos;
        if (h.die_offset > h.end || (h.address_size != 8 && h.address_size != 4))
            return XOV_FAIL(Error::InvalidDebugInfo);
        if ((h.version >= 5 && has_id && id == dwo_id) || (h.version < 5 && h.unit_type == ut::compile)) return h;
        TRY(r.seek(static_cast<usize>(h.end)));
    }
    return XOV_FAIL(Error::MissingDebugInfo);
}

// The split unit with the skeleton's id in a .dwo or package: its
// sections (narrowed to the unit's contributions in a package) and its
// header. MissingDebugInfo when the file holds no such unit; a DWARF 4
// .dwo whose unit DIE names another id counts as none, as a stale .dwo
// describes other code.
Result<SplitHeader> findInFile(ElfImage& file, const Sections& main, const Unit& skeleton,
                               mem::Allocator allocator, Sections& found) {
    found = TRY(splitSections(file, main, skeleton.version));
    if (TRY(file.section(".debug_cu_index")).size() != 0) TRY(findInPackage(file, skeleton.dwo_id, found));
    const SplitHeader header = TRY(findSplitUnit(found.info, skeleton.dwo_id));
    if (header.version >= 5) return header;  // the header named the id
    Unit probe;
    placeAtHeader(probe, header);
    TRY(ensureUnitDie(found, probe, allocator));
    TRY(readSkeletonAttributes(found, probe));
    if (probe.has_dwo_id && probe.dwo_id != skeleton.dwo_id) return XOV_FAIL(Error::MissingDebugInfo);
    return header;
}

}  // namespace

Result<u64> readSplitFile(ElfImage& file, const Sections& main, u64 dwo_id, u16 version) {
    Sections found = TRY(splitSections(file, main, version));
    if (TRY(file.section(".debug_cu_index")).size() != 0) TRY(findInPackage(file, dwo_id, found));
    const SplitHeader header = TRY(findSplitUnit(found.info, dwo_id));
    return header.die_offset;
}

const Sections& DwarfInfo::sectionsOf(const Unit& unit) const { return unit.split != nullptr ? *unit.split : sections_; }

Result<void> DwarfInfo::prepare(Unit& unit) {
    TRY(ensureUnitDie(sections_, unit, allocator_));
    const Result<void> split = unit.split_loaded.getOrInit([&] { return loadSplit(unit); });
    // A skeleton whose split unit is nowhere to be found still has its line
    // table in the executable: lookups get its rows, with no functions.
    if (!split && split.error() == Error::MissingDebugInfo && unit.split == nullptr) return {};
    TRY(split);
    return ensureScanned(sectionsOf(unit), unit, allocator_);
}

Result<void> DwarfInfo::loadSplit(Unit& unit) {
    TRY(readSkeletonAttributes(sections_, unit));
    if (unit.dwo_name.empty() && !unit.has_dwo_id) return {};  // an ordinary unit
    if (!unit.has_dwo_id) return XOV_FAIL(Error::InvalidDebugInfo);

    // Where the split unit is looked for, first found first taken:
    //  1. the skeleton's DW_AT_comp_dir + DW_AT_dwo_name (an absolute name
    //     as it is), where a compiler writes one .dwo per object;
    //  2. the executable's directory + a relative DW_AT_dwo_name: a link
    //     that writes one .dwo for all its units (clang's LTO with lld,
    //     "<output>_dwo/0.dwo") names it relative to the directory of the
    //     link while each skeleton keeps its compile directory;
    //  3. the package "<executable>.dwp";
    //  4. none of these holds a unit with the skeleton's id: prepare()
    //     answers from the skeleton's own line table.
    // A file that is not there, cannot be read or holds no unit with the
    // skeleton's id is passed over.
    Sections found;
    SplitHeader header{};
    bool have = false;
    auto tryDwo = [&](DwoLookup& last, std::string_view dir) {
        if (!last.tried || last.dir != dir || last.name != unit.dwo_name) {
            last = {.dir = dir, .name = unit.dwo_name, .image = nullptr, .tried = true};
            PathBuffer path;
            if (!dir.empty()) path.add(dir).add("/");
            path.add(unit.dwo_name);
            if (path.overflow) return;
            if (auto dwo = ElfImage::open(path.bytes, allocator_)) last.image = *dwo;
        }
        if (last.image == nullptr) return;
        if (auto h = findInFile(*last.image, sections_, unit, allocator_, found)) {
            header = *h;
            have = true;
        }
    };
    if (!unit.dwo_name.empty()) {
        const bool absolute = unit.dwo_name.starts_with('/');
        tryDwo(last_dwo_[0], absolute ? std::string_view{} : unit.comp_dir);
        const usize slash = package_path_.rfind('/');
        const std::string_view exe_dir =
            slash == std::string_view::npos ? std::string_view{} : package_path_.substr(0, slash == 0 ? 1 : slash);
        if (!have && !absolute && !package_path_.empty() && exe_dir != unit.comp_dir) tryDwo(last_dwo_[1], exe_dir);
    }
    if (!have) {
        const Result<ElfImage*> package = package_.getOrInit([&]() -> Result<ElfImage*> {
            PathBuffer path;
            path.add(package_path_);
            if (package_path_.empty() || path.overflow) return XOV_FAIL(Error::MissingDebugInfo);
            return ElfImage::open(path.bytes, allocator_);
        });
        if (package) {
            if (auto h = findInFile(**package, sections_, unit, allocator_, found)) {
                header = *h;
                have = true;
            }
        }
    }
    if (!have) return XOV_FAIL(Error::MissingDebugInfo);

    auto* sections = TRY(allocator_.create<Sections>());
    new (sections) Sections(found);

    // The split unit's DIEs, read in its own sections; what it leaves out
    // comes from the skeleton.
    const Unit skeleton = unit;
    placeAtHeader(unit, header);
    unit.split = sections;
    unit.die_read.reset();
    unit.name = "???";
    unit.comp_dir = {};
    unit.stmt_list.reset();
    TRY(ensureUnitDie(*sections, unit, allocator_));
    if (unit.version < 5) {
        unit.ranges_base = skeleton.rnglists_base;  // DW_AT_GNU_ranges_base
        unit.rnglists_base = 0;
    }
    unit.addr_base = skeleton.addr_base;
    unit.stmt_list = skeleton.stmt_list;
    if (unit.comp_dir.empty()) unit.comp_dir = skeleton.comp_dir;
    if (unit.name == "???") unit.name = skeleton.name;
    return {};
}

}  // namespace dwarf
