// Line programs: the header with its directory and file tables (version 5
// entry formats, or the older string lists), the opcode interpreter, and
// address lookup in the resulting rows.
#include <algorithm>
#include <cstring>

#include "debuginfo/dwarf_info.hpp"

namespace dwarf {

namespace {

// DW_LNCT content types.
constexpr u64 lnct_path = 1, lnct_directory_index = 2;

struct EntryFormat {
    u64 content;
    u64 form;
};

// A value of a directory or file entry: a string or an index.
Result<void> readEntryField(ByteReader& r, const Sections& s, u64 form, u8 offset_size, std::string_view& string,
                            u64& number) {
    switch (form) {
        case 0x08: string = TRY(r.readCString()); return {};                                   // string
        case 0x0e: string = TRY(stringAt(s.str, TRY(r.readUnsigned(offset_size)))); return {};  // strp
        case 0x1f: string = TRY(stringAt(s.line_str, TRY(r.readUnsigned(offset_size)))); return {};
        case 0x0b: number = TRY(r.readU8()); return {};
        case 0x05: number = TRY(r.readU16()); return {};
        case 0x06: number = TRY(r.readU32()); return {};
        case 0x07: number = TRY(r.readU64()); return {};
        case 0x0f: number = TRY(r.readUleb()); return {};
        case 0x1e: TRY(r.skip(16)); return {};  // data16: the MD5 digest
        case 0x09: TRY(r.skip(TRY(r.readUleb()))); return {};
        default: return XOV_FAIL(Error::InvalidDebugInfo);
    }
}

Result<std::span<const EntryFormat>> readFormats(ByteReader& r, std::span<EntryFormat> storage) {
    const u8 count = TRY(r.readU8());
    if (count > storage.size()) return XOV_FAIL(Error::InvalidDebugInfo);
    for (u8 i = 0; i < count; ++i) storage[i] = EntryFormat{TRY(r.readUleb()), TRY(r.readUleb())};
    return std::span<const EntryFormat>(storage.data(), count);
}

}  // namespace

Result<LineTable> parseLineTable(const Sections& s, u64 offset, u8 address_size, std::string_view comp_dir,
                                 std::string_view unit_name, mem::Allocator allocator) {
    if (offset >= s.line.size()) return XOV_FAIL(Error::InvalidDebugInfo);
    ByteReader r(s.line, static_cast<usize>(offset));
    u8 offset_size = 4;
    const u64 length = TRY(r.readInitialLength(offset_size));
    if (length > r.remaining()) return XOV_FAIL(Error::InvalidDebugInfo);
    const usize end = r.pos + static_cast<usize>(length);
    r = ByteReader(s.line.first(end), r.pos);

    LineTable table;
    table.version = TRY(r.readU16());
    if (table.version < 2 || table.version > 5) return XOV_FAIL(Error::InvalidDebugInfo);
    if (table.version >= 5) {
        address_size = TRY(r.readU8());
        TRY(r.readU8());  // segment selector size
        if (address_size == 0 || address_size > 8) return XOV_FAIL(Error::InvalidDebugInfo);
    }
    const u64 header_length = TRY(r.readUnsigned(offset_size));
    if (header_length > r.remaining()) return XOV_FAIL(Error::InvalidDebugInfo);
    const usize program_start = r.pos + static_cast<usize>(header_length);
    const u8 min_inst_length = TRY(r.readU8());
    if (table.version >= 4) TRY(r.readU8());  // maximum operations per instruction: 1 on this machine
    const bool default_is_stmt = TRY(r.readU8()) != 0;
    (void)default_is_stmt;
    const i8 line_base = TRY(r.readI8());
    const u8 line_range = TRY(r.readU8());
    const u8 opcode_base = TRY(r.readU8());
    if (line_range == 0 || opcode_base == 0) return XOV_FAIL(Error::InvalidDebugInfo);
    const auto opcode_lengths = TRY(r.take(opcode_base - 1u));

    ArenaList<std::string_view> directories;
    ArenaList<FileEntry> files;
    if (table.version >= 5) {
        EntryFormat storage[16];
        const auto dir_formats = TRY(readFormats(r, storage));
        const u64 dir_count = TRY(r.readUleb());
        if (dir_count > r.remaining() || (dir_count != 0 && dir_formats.empty()))
            return XOV_FAIL(Error::InvalidDebugInfo);
        for (u64 i = 0; i < dir_count; ++i) {
            std::string_view path;
            u64 unused = 0;
            for (const EntryFormat& f : dir_formats) {
                std::string_view string;
                TRY(readEntryField(r, s, f.form, offset_size, string, unused));
                if (f.content == lnct_path) path = string;
            }
            TRY(directories.append(allocator, path));
        }
        EntryFormat file_storage[16];
        const auto file_formats = TRY(readFormats(r, file_storage));
        const u64 file_count = TRY(r.readUleb());
        if (file_count > r.remaining() || (file_count != 0 && file_formats.empty()))
            return XOV_FAIL(Error::InvalidDebugInfo);
        for (u64 i = 0; i < file_count; ++i) {
            FileEntry entry{{}, 0};
            for (const EntryFormat& f : file_formats) {
                std::string_view string;
                u64 number = 0;
                TRY(readEntryField(r, s, f.form, offset_size, string, number));
                if (f.content == lnct_path) entry.name = string;
                if (f.content == lnct_directory_index) entry.dir_index = number;
            }
            TRY(files.append(allocator, entry));
        }
    } else {
        // Index 0 of both tables is the unit itself in these versions.
        TRY(directories.append(allocator, comp_dir));
        for (;;) {
            const std::string_view dir = TRY(r.readCString());
            if (dir.empty()) break;
            TRY(directories.append(allocator, dir));
        }
        TRY(files.append(allocator, FileEntry{unit_name, 0}));
        for (;;) {
            const std::string_view name = TRY(r.readCString());
            if (name.empty()) break;
            const u64 dir = TRY(r.readUleb());
            TRY(r.readUleb());  // modification time
            TRY(r.readUleb());  // length
            TRY(files.append(allocator, FileEntry{name, dir}));
        }
    }

    // The program itself.
    TRY(r.seek(program_start));
    ArenaList<LineRow> rows;
    ArenaList<LineSequence> sequences;
    // Most opcodes of a program emit a row.
    TRY(rows.reserve(allocator, (end - program_start) / 2));
    struct State {
        u64 address = 0;
        u32 file = 1;
        u32 line = 1;
        u32 column = 0;
    } state;
    usize sequence_first = 0;
    auto emit = [&]() { return rows.append(allocator, LineRow{state.address, state.file, state.line, state.column}); };
    auto endSequence = [&]() -> Result<void> {
        const usize count = rows.len - sequence_first;
        if (count != 0) {
            const u64 lo = rows.items[sequence_first].address;
            // Discarded code keeps its rows at address 0: drop them.
            if (lo != 0 && lo < state.address)
                TRY(sequences.append(allocator, LineSequence{lo, state.address, static_cast<u32>(sequence_first),
                                                             static_cast<u32>(count)}));
            else
                rows.len = sequence_first;
        }
        sequence_first = rows.len;
        state = State{};
        return {};
    };

    while (!r.atEnd()) {
        const u8 opcode = TRY(r.readU8());
        if (opcode >= opcode_base) {
            const u8 adjusted = static_cast<u8>(opcode - opcode_base);
            state.address += static_cast<u64>(adjusted / line_range) * min_inst_length;
            state.line = static_cast<u32>(static_cast<i64>(state.line) + line_base + adjusted % line_range);
            TRY(emit());
            continue;
        }
        switch (opcode) {
            case 0: {  // extended
                const u64 len = TRY(r.readUleb());
                if (len == 0 || len > r.remaining()) return XOV_FAIL(Error::InvalidDebugInfo);
                const usize next = r.pos + static_cast<usize>(len);
                const u8 sub = TRY(r.readU8());
                if (sub == 1) {
                    TRY(endSequence());
                } else if (sub == 2) {
                    const u64 size = len - 1;
                    if (size >= 1 && size <= 8) state.address = TRY(r.readUnsigned(static_cast<usize>(size)));
                }
                // DW_LNE_define_file, DW_LNE_set_discriminator and vendor
                // opcodes change nothing this reader reports.
                TRY(r.seek(next));
                break;
            }
            case 1: TRY(emit()); break;  // copy
            case 2: state.address += TRY(r.readUleb()) * min_inst_length; break;
            case 3: {
                // Wrapping arithmetic: a damaged advance must not overflow.
                const u64 advance = static_cast<u64>(TRY(r.readSleb()));
                state.line = static_cast<u32>(static_cast<u64>(state.line) + advance);
                break;
            }
            case 4: state.file = static_cast<u32>(TRY(r.readUleb())); break;
            case 5: state.column = static_cast<u32>(TRY(r.readUleb())); break;
            case 6:
            case 7:
            case 10:
            case 11: break;  // statement, block, prologue and epilogue flags
            case 8: state.address += static_cast<u64>((255 - opcode_base) / line_range) * min_inst_length; break;
            case 9: state.address += TRY(r.readU16()); break;
            default: {
                // Unknown standard opcode: skip its operands, whose count
                // the header gives.
                const u8 operands = opcode_lengths[opcode - 1u];
                for (u8 i = 0; i < operands; ++i) TRY(r.readUleb());
                break;
            }
        }
    }

    auto seqs = sequences.span();
    std::sort(seqs.begin(), seqs.end(), [](const LineSequence& a, const LineSequence& b) { return a.lo < b.lo; });
    table.directories = directories.span();
    table.files = files.span();
    table.rows = rows.span();
    table.sequences = seqs;
    auto paths = TRY(allocator.alloc<std::string_view>(files.len == 0 ? 1 : files.len));
    for (auto& p : paths) p = std::string_view();
    table.paths = paths.data();
    return table;
}

std::optional<LineRow> LineTable::find(u64 address) const {
    auto it = std::upper_bound(sequences.begin(), sequences.end(), address,
                               [](u64 a, const LineSequence& s) { return a < s.lo; });
    for (int steps = 0; it != sequences.begin() && steps < 16; ++steps) {
        --it;
        if (address >= it->hi) continue;
        const auto seq_rows = rows.subspan(it->first_row, it->row_count);
        auto row = std::upper_bound(seq_rows.begin(), seq_rows.end(), address,
                                    [](u64 a, const LineRow& r) { return a < r.address; });
        if (row == seq_rows.begin()) continue;
        return *(row - 1);
    }
    return std::nullopt;
}

Result<std::string_view> LineTable::filePath(u64 file_index, std::string_view comp_dir, mem::Allocator allocator) {
    if (file_index >= files.size()) return XOV_FAIL(Error::InvalidDebugInfo);
    std::string_view& cached = paths[file_index];
    if (!cached.empty()) return cached;
    const FileEntry& file = files[file_index];
    std::string_view parts[3];
    usize count = 0;
    if (!file.name.starts_with('/')) {
        if (file.dir_index >= directories.size()) return XOV_FAIL(Error::InvalidDebugInfo);
        const std::string_view dir = directories[file.dir_index];
        if (!dir.starts_with('/') && !comp_dir.empty() && dir != comp_dir) parts[count++] = comp_dir;
        if (!dir.empty()) parts[count++] = dir;
    }
    parts[count++] = file.name;
    usize total = count - 1;
    for (usize i = 0; i < count; ++i) total += parts[i].size();
    auto out = TRY(allocator.alloc<char>(total == 0 ? 1 : total));
    usize at = 0;
    for (usize i = 0; i < count; ++i) {
        if (i != 0) out[at++] = '/';
        // An empty name from damaged data may have no storage at all.
        if (!parts[i].empty()) std::memcpy(out.data() + at, parts[i].data(), parts[i].size());
        at += parts[i].size();
    }
    cached = std::string_view(out.data(), total);
    return cached;
}

}  // namespace dwarf
