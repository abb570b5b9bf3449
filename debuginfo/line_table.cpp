// Line programs: the header with its directory and file tables (version 5
// entry formats, or the older string lists), the opcode interpreter, and
// address lookup in the resulting rows.
#include <algorithm>
#include <cstring>

#include "debuginfo/dwarf_die.hpp"
#include "debuginfo/dwarf_info.hpp"

namespace dwarf {

namespace {

struct EntryFormat {
    u64 content;
    u64 form;
};

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
                case lns::extended: {
                    const u64 len = leb();
                    if (!ok || len == 0 || len > bytes.size() - pos) return Event::invalid;
                    const usize next = pos + static_cast<usize>(len);
                    const u8 sub = bytes[pos];
                    if (sub == lne::end_sequence) {
                        pos = next;
                        ended_ = true;
                        return Event::end_sequence;
                    }
                    if (sub == lne::set_address && len >= 2 && len <= 9) {
                        u64 value = 0;
                        for (usize i = 0; i + 1 < len; ++i) value |= static_cast<u64>(bytes[pos + 1 + i]) << (8 * i);
                        address = value;
                    }
                    // DW_LNE_define_file, DW_LNE_set_discriminator and vendor
                    // opcodes change nothing this reader reports.
                    pos = next;
                    break;
                }
                case lns::copy: return Event::row;
                case lns::advance_pc: address += leb() * program_.min_inst_length; break;
                case lns::advance_line: {
                    // Wrapping arithmetic: a damaged advance must not overflow.
                    const u64 advance = leb(true);
                    line = static_cast<u32>(static_cast<u64>(line) + advance);
                    break;
                }
                case lns::set_file: file = static_cast<u32>(leb()); break;
                case lns::set_column: column = static_cast<u32>(leb()); break;
                case lns::negate_stmt:
                case lns::set_basic_block:
                case lns::set_prologue_end:
                case lns::set_epilogue_begin: break;  // flags no lookup reports
                case lns::const_add_pc:
                    address += static_cast<u64>((lns::last_special - program_.opcode_base) / program_.line_range) *
                               program_.min_inst_length;
                    break;
                case lns::fixed_advance_pc:
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

// The header fields before the directory and file tables: what the
// program runs with, and where it and the unit's line data end.
struct LineHeader {
    u16 version = 0;
    FormContext context{};
    usize end = 0;
    usize program_start = 0;
    LineProgram program;
};

Result<LineHeader> readHeaderFields(ByteReader& r, std::span<const u8> section, u8 address_size) {
    LineHeader h;
    h.program.start = r.pos;
    u8 offset_size = 4;
    const u64 length = TRY(r.readInitialLength(offset_size));
    if (length > r.remaining()) return XOV_FAIL(Error::InvalidDebugInfo);
    h.end = r.pos + static_cast<usize>(length);
    h.program.bytes = section.first(h.end);
    r = ByteReader(h.program.bytes, r.pos);
    h.version = TRY(r.readU16());
    if (h.version < 2 || h.version > 5) return XOV_FAIL(Error::InvalidDebugInfo);
    if (h.version >= 5) {
        address_size = TRY(r.readU8());
        TRY(r.readU8());  // segment selector size
        if (address_size == 0 || address_size > 8) return XOV_FAIL(Error::InvalidDebugInfo);
    }
    h.context = FormContext{h.version, address_size, offset_size};
    const u64 header_length = TRY(r.readUnsigned(offset_size));
    if (header_length > r.remaining()) return XOV_FAIL(Error::InvalidDebugInfo);
    h.program_start = r.pos + static_cast<usize>(header_length);
    LineProgram& p = h.program;
    p.min_inst_length = TRY(r.readU8());
    if (h.version >= 4) TRY(r.readU8());  // maximum operations per instruction: 1 on this machine
    TRY(r.readU8());                      // default_is_stmt: rows count whatever their statement flag
    p.line_base = TRY(r.readI8());
    p.line_range = TRY(r.readU8());
    p.opcode_base = TRY(r.readU8());
    if (p.line_range == 0 || p.opcode_base == 0) return XOV_FAIL(Error::InvalidDebugInfo);
    p.opcode_lengths = TRY(r.take(p.opcode_base - 1u));
    return h;
}

// One directory or file entry of a version 5 table: its path and its
// directory's index. What else an entry holds (times, sizes, MD5
// digests) is stepped over; a value no string or number can be made of
// here is InvalidDebugInfo.
Result<FileEntry> readPathEntry(ByteReader& r, const Sections& s, const FormContext& c,
                                std::span<const EntryFormat> formats) {
    FileEntry entry{{}, 0};
    for (const EntryFormat& f : formats) {
        const FormValue value = TRY(readForm(r, f.form, c, 0));
        std::string_view string;
        u64 number = 0;
        switch (value.kind) {
            case Kind::string: string = value.s; break;
            case Kind::strp: string = TRY(stringAt(s.str, value.u)); break;
            case Kind::line_strp: string = TRY(stringAt(s.line_str, value.u)); break;
            case Kind::constant: number = value.u; break;
            case Kind::block: break;
            default: return XOV_FAIL(Error::InvalidDebugInfo);
        }
        if (f.content == lnct::path) entry.name = string;
        if (f.content == lnct::directory_index) entry.dir_index = number;
    }
    return entry;
}

// A version 5 directory or file table: the entry formats, the count, then
// the entries, each handed to add.
template <class Add>
Result<void> readEntryTable(ByteReader& r, const Sections& s, const FormContext& c, Add&& add) {
    EntryFormat storage[16];
    const auto formats = TRY(readFormats(r, storage));
    const u64 count = TRY(r.readUleb());
    if (count > r.remaining() || (count != 0 && formats.empty())) return XOV_FAIL(Error::InvalidDebugInfo);
    for (u64 i = 0; i < count; ++i) TRY(add(TRY(readPathEntry(r, s, c, formats))));
    return {};
}

struct PathTables {
    ArenaList<std::string_view> directories;
    ArenaList<FileEntry> files;
};

// Before version 5: lists of strings, each ended by an empty one, where
// index 0 of both tables is the unit itself.
Result<void> readPathLists(ByteReader& r, std::string_view comp_dir, std::string_view unit_name,
                           mem::Allocator allocator, PathTables& out) {
    TRY(out.directories.append(allocator, comp_dir));
    for (;;) {
        const std::string_view dir = TRY(r.readCString());
        if (dir.empty()) break;
        TRY(out.directories.append(allocator, dir));
    }
    TRY(out.files.append(allocator, FileEntry{unit_name, 0}));
    for (;;) {
        const std::string_view name = TRY(r.readCString());
        if (name.empty()) break;
        const u64 dir = TRY(r.readUleb());
        TRY(r.readUleb());  // modification time
        TRY(r.readUleb());  // length
        TRY(out.files.append(allocator, FileEntry{name, dir}));
    }
    return {};
}

Result<void> readPathTables(ByteReader& r, const Sections& s, const LineHeader& header, std::string_view comp_dir,
                            std::string_view unit_name, mem::Allocator allocator, PathTables& out) {
    if (header.version < 5) return readPathLists(r, comp_dir, unit_name, allocator, out);
    TRY(readEntryTable(r, s, header.context,
                       [&](const FileEntry& dir) { return out.directories.append(allocator, dir.name); }));
    return readEntryTable(r, s, header.context,
                          [&](const FileEntry& file) { return out.files.append(allocator, file); });
}

// Runs the program to its end, keeping each sequence's range and a
// checkpoint every checkpoint_interval rows of it.
Result<void> runProgram(LineTable& table, usize program_start, mem::Allocator allocator) {
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
    table.checkpoints = checkpoints.span();
    table.sequences = seqs;
    return {};
}

}  // namespace

Result<LineTable> parseLineTable(const Sections& s, u64 offset, u8 address_size, std::string_view comp_dir,
                                 std::string_view unit_name, mem::Allocator allocator) {
    if (offset >= s.line.size()) return XOV_FAIL(Error::InvalidDebugInfo);
    ByteReader r(s.line, static_cast<usize>(offset));
    const LineHeader header = TRY(readHeaderFields(r, s.line, address_size));
    PathTables paths;
    TRY(readPathTables(r, s, header, comp_dir, unit_name, allocator, paths));
    if (header.program_start > header.end) return XOV_FAIL(Error::InvalidDebugInfo);
    if (header.end - static_cast<usize>(offset) > ~u32{0}) return XOV_FAIL(Error::InvalidDebugInfo);
    LineTable table;
    table.version = header.version;
    table.program = header.program;
    TRY(runProgram(table, header.program_start, allocator));
    table.directories = paths.directories.span();
    table.files = paths.files.span();
    auto joined = TRY(allocator.alloc<std::string_view>(paths.files.len == 0 ? 1 : paths.files.len));
    for (auto& p : joined) p = std::string_view();
    table.paths = joined.data();
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
