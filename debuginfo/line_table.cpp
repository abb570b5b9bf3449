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

// The line-number state machine over raw bytes. Every read is bounds
// checked, but failure is one flag rather than an error value per byte:
// this loop runs over every opcode of a unit.
class Machine {
  public:
    enum class Event { row, end_sequence, done, invalid };

    u64 address = 0;
    u32 file = 1;
    u32 line = 1;
    u32 column = 0;
    usize pos;  // offset of the next opcode in .debug_line

    Machine(const LineProgram& program, usize start) : pos(start), program_(program) {}
    [[nodiscard]] usize start() const { return program_.start; }

    // Precomputed advances of the special opcodes: a division per row is
    // a noticeable share of running a whole program.
    struct Specials {
        u16 address[256];
        i16 line[256];
    };
    void useSpecials(Specials& table) {
        for (unsigned opcode = program_.opcode_base; opcode < 256; ++opcode) {
            const unsigned adjusted = opcode - program_.opcode_base;
            table.address[opcode] = static_cast<u16>(adjusted / program_.line_range * program_.min_inst_length);
            table.line[opcode] = static_cast<i16>(program_.line_base + static_cast<int>(adjusted % program_.line_range));
        }
        specials_ = &table;
    }

    // Runs opcodes up to the next row or end of sequence.
    Event step() {
        if (ended_) {
            // The end address has been seen: the next sequence starts from
            // the initial state.
            address = 0;
            file = 1;
            line = 1;
            column = 0;
            ended_ = false;
        }
        const std::span<const u8> bytes = program_.bytes;
        while (pos < bytes.size()) {
            const u8 opcode = bytes[pos++];
            if (opcode >= program_.opcode_base && specials_ != nullptr) {
                address += specials_->address[opcode];
                line = static_cast<u32>(static_cast<i64>(line) + specials_->line[opcode]);
                return Event::row;
            }
            if (opcode >= program_.opcode_base) {
                const u8 adjusted = static_cast<u8>(opcode - program_.opcode_base);
                address += static_cast<u64>(adjusted / program_.line_range) * program_.min_inst_length;
                line = static_cast<u32>(static_cast<i64>(line) + program_.line_base + adjusted % program_.line_range);
                return Event::row;
            }
            bool ok = true;
            auto leb = [&](bool is_signed = false) { return decodeLeb128(bytes, pos, is_signed, ok); };
            switch (opcode) {
                case 0: {  // extended
                    const u64 len = leb();
                    if (!ok || len == 0 || len > bytes.size() - pos) return Event::invalid;
                    const usize next = pos + static_cast<usize>(len);
                    const u8 sub = bytes[pos];
                    if (sub == 1) {
                        pos = next;
                        ended_ = true;
                        return Event::end_sequence;
                    }
                    if (sub == 2 && len >= 2 && len <= 9) {
                        u64 value = 0;
                        for (usize i = 0; i + 1 < len; ++i) value |= static_cast<u64>(bytes[pos + 1 + i]) << (8 * i);
                        address = value;
                    }
                    // DW_LNE_define_file, DW_LNE_set_discriminator and vendor
                    // opcodes change nothing this reader reports.
                    pos = next;
                    break;
                }
                case 1: return Event::row;  // copy
                case 2: address += leb() * program_.min_inst_length; break;
                case 3: {
                    // Wrapping arithmetic: a damaged advance must not overflow.
                    const u64 advance = leb(true);
                    line = static_cast<u32>(static_cast<u64>(line) + advance);
                    break;
                }
                case 4: file = static_cast<u32>(leb()); break;
                case 5: column = static_cast<u32>(leb()); break;
                case 6:
                case 7:
                case 10:
                case 11: break;  // statement, block, prologue and epilogue flags
                case 8:
                    address += static_cast<u64>((255 - program_.opcode_base) / program_.line_range) *
                               program_.min_inst_length;
                    break;
                case 9:
                    if (bytes.size() - pos < 2) return Event::invalid;
                    address += static_cast<u64>(bytes[pos]) | static_cast<u64>(bytes[pos + 1]) << 8;
                    pos += 2;
                    break;
                default: {
                    // Unknown standard opcode: skip its operands, whose count
                    // the header gives.
                    const u8 operands = program_.opcode_lengths[opcode - 1u];
                    for (u8 i = 0; i < operands && ok; ++i) leb();
                    break;
                }
            }
            if (!ok) return Event::invalid;
        }
        return Event::done;
    }

  private:
    const LineProgram& program_;
    const Specials* specials_ = nullptr;

    bool ended_ = false;
};

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
    if (program_start > end) return XOV_FAIL(Error::InvalidDebugInfo);
    if (end - static_cast<usize>(offset) > ~u32{0}) return XOV_FAIL(Error::InvalidDebugInfo);
    table.program = LineProgram{s.line.first(end), static_cast<usize>(offset), opcode_lengths, min_inst_length, line_base,
                                line_range, opcode_base};
    ArenaList<LineCheckpoint> checkpoints;
    ArenaList<LineSequence> sequences;
    u32 rows_in_sequence = 0;
    u64 sequence_lo = 0;
    u32 sequence_first = 0;
    auto onRow = [&](const Machine& m) -> Result<void> {
        if (rows_in_sequence == 0) sequence_lo = m.address;
        if (rows_in_sequence % LineTable::checkpoint_interval == 0)
            TRY(checkpoints.append(allocator, LineCheckpoint{m.address, static_cast<u32>(m.pos - m.start()), m.file,
                                                             m.line, m.column}));
        ++rows_in_sequence;
        return {};
    };
    auto onEnd = [&](const Machine& m) -> Result<void> {
        // Discarded code keeps its rows at address 0: drop them.
        if (rows_in_sequence != 0 && sequence_lo != 0 && sequence_lo < m.address)
            TRY(sequences.append(allocator, LineSequence{sequence_lo, m.address, sequence_first,
                                                         static_cast<u32>(checkpoints.len - sequence_first)}));
        else
            checkpoints.len = sequence_first;
        if (checkpoints.len > ~u32{0}) return XOV_FAIL(Error::InvalidDebugInfo);
        sequence_first = static_cast<u32>(checkpoints.len);
        rows_in_sequence = 0;
        return {};
    };
    Machine machine(table.program, program_start);
    Machine::Specials specials;
    machine.useSpecials(specials);
    for (;;) {
        const Machine::Event event = machine.step();
        if (event == Machine::Event::done) break;
        if (event == Machine::Event::invalid) return XOV_FAIL(Error::InvalidDebugInfo);
        if (event == Machine::Event::row)
            TRY(onRow(machine));
        else
            TRY(onEnd(machine));
    }

    auto seqs = sequences.span();
    std::sort(seqs.begin(), seqs.end(), [](const LineSequence& a, const LineSequence& b) { return a.lo < b.lo; });
    table.directories = directories.span();
    table.files = files.span();
    table.checkpoints = checkpoints.span();
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
        const auto marks = checkpoints.subspan(it->first_checkpoint, it->checkpoint_count);
        auto mark = std::upper_bound(marks.begin(), marks.end(), address,
                                     [](u64 a, const LineCheckpoint& c) { return a < c.address; });
        if (mark == marks.begin()) continue;
        --mark;
        // The last row at or below address lies between this checkpoint
        // and the next one (or the sequence's end).
        LineRow best{mark->address, mark->file, mark->line, mark->column};
        Machine machine(program, program.start + mark->offset);
        machine.address = mark->address;
        machine.file = mark->file;
        machine.line = mark->line;
        machine.column = mark->column;
        for (;;) {
            const Machine::Event event = machine.step();
            if (event != Machine::Event::row || machine.address > address) break;
            best = LineRow{machine.address, machine.file, machine.line, machine.column};
        }
        return best;
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
