// Parsing of CIE/FDE records, the call-frame program and the expression
// machine. Every offset is checked against its record before it is used.
#include "debuginfo/cfi.hpp"

#include <cstring>

#include "debuginfo/byte_reader.hpp"

namespace dwarf::cfi {

namespace {

constexpr u64 debug_frame_cie_id32 = 0xffffffffu;
constexpr u64 debug_frame_cie_id64 = ~u64{0};
constexpr u16 ra_column = 16;

template <class T>
Result<T> readLe(Cursor& r) {
    if (r.bytes.size() - r.pos < sizeof(T) || r.pos > r.bytes.size()) return XOV_FAIL(Error::InvalidDebugInfo);
    T value;
    std::memcpy(&value, r.bytes.data() + r.pos, sizeof(T));
    r.pos += sizeof(T);
    return value;
}

}  // namespace

Result<u8> Cursor::readU8() { return readLe<u8>(*this); }
Result<u16> Cursor::readU16() { return readLe<u16>(*this); }
Result<u32> Cursor::readU32() { return readLe<u32>(*this); }
Result<u64> Cursor::readU64() { return readLe<u64>(*this); }

Result<u64> Cursor::readUleb() { return readLeb128(bytes, pos, false); }
Result<i64> Cursor::readSleb() { return static_cast<i64>(TRY(readLeb128(bytes, pos, true))); }

Result<std::span<const u8>> Cursor::readBlock(usize len) {
    if (pos > bytes.size() || bytes.size() - pos < len) return XOV_FAIL(Error::InvalidDebugInfo);
    const auto block = bytes.subspan(pos, len);
    pos += len;
    return block;
}

Result<void> Cursor::skip(usize len) {
    TRY(readBlock(len));
    return {};
}

Result<u64> readEncodedPointer(Cursor& r, u8 encoding, const Section& section, usize func_base,
                               bool (*memory_ok)(usize)) {
    if (encoding == pe::omit) return XOV_FAIL(Error::InvalidDebugInfo);
    const usize field_address = section.address + r.pos;
    if ((encoding & 0x70) == pe::aligned) {
        const usize aligned = (field_address + 7) & ~usize{7};
        TRY(r.skip(aligned - field_address));
    }
    u64 value = 0;
    switch (encoding & 0x0f) {
        case pe::absptr: value = TRY(r.readU64()); break;
        case pe::uleb128: value = TRY(r.readUleb()); break;
        case pe::udata2: value = TRY(r.readU16()); break;
        case pe::udata4: value = TRY(r.readU32()); break;
        case pe::udata8: value = TRY(r.readU64()); break;
        case pe::sleb128: value = static_cast<u64>(TRY(r.readSleb())); break;
        case pe::sdata2: value = static_cast<u64>(static_cast<i64>(static_cast<i16>(TRY(r.readU16())))); break;
        case pe::sdata4: value = static_cast<u64>(static_cast<i64>(static_cast<i32>(TRY(r.readU32())))); break;
        case pe::sdata8: value = TRY(r.readU64()); break;
        default: return XOV_FAIL(Error::InvalidDebugInfo);
    }
    u64 base = 0;
    switch (encoding & 0x70) {
        case pe::absptr:
        case pe::aligned: break;
        case pe::pcrel: base = field_address; break;
        case pe::datarel: base = section.data_base; break;
        case pe::funcrel: base = func_base; break;
        case pe::textrel:  // no text base is known for these tables
        default: return XOV_FAIL(Error::InvalidDebugInfo);
    }
    value += base;
    if (encoding & pe::indirect) {
        if (memory_ok == nullptr || !memory_ok(value) || !memory_ok(value + 7)) return XOV_FAIL(Error::InvalidDebugInfo);
        u64 target;
        std::memcpy(&target, reinterpret_cast<const void*>(value), sizeof target);
        value = target;
    }
    return value;
}

namespace {

// The header shared by CIEs and FDEs: the record's extent and its id field.
struct RecordHeader {
    bool end = false;
    bool is_64 = false;
    usize body_start = 0;  // just after the length field
    usize end_offset = 0;  // first byte after the record
    usize id_offset = 0;   // of the CIE id / CIE pointer field
    u64 id = 0;
};

Result<RecordHeader> readRecordHeader(const Section& section, usize offset) {
    Cursor r{section.bytes, offset};
    RecordHeader h;
    u64 length = TRY(r.readU32());
    if (length == 0xffffffffu) {
        h.is_64 = true;
        length = TRY(r.readU64());
    }
    h.body_start = r.pos;
    if (length == 0) {
        h.end = true;
        h.end_offset = r.pos;
        return h;
    }
    if (length > section.bytes.size() - r.pos) return XOV_FAIL(Error::InvalidDebugInfo);
    h.end_offset = r.pos + static_cast<usize>(length);
    h.id_offset = r.pos;
    h.id = h.is_64 ? TRY(r.readU64()) : TRY(r.readU32());
    return h;
}

bool isCieId(const Section& section, const RecordHeader& h) {
    if (section.kind == SectionKind::eh_frame) return h.id == 0;
    return h.id == (h.is_64 ? debug_frame_cie_id64 : debug_frame_cie_id32);
}

Result<Cie> parseCieBody(const Section& section, usize offset, const RecordHeader& h) {
    Cie cie;
    cie.offset = offset;
    Cursor r{section.bytes.first(h.end_offset), h.id_offset + (h.is_64 ? 8u : 4u)};
    cie.version = TRY(r.readU8());
    if (cie.version != 1 && cie.version != 3 && cie.version != 4) return XOV_FAIL(Error::IncompatibleVersion);
    const usize aug_start = r.pos;
    while (TRY(r.readU8()) != 0) {
    }
    const auto augmentation = section.bytes.subspan(aug_start, r.pos - 1 - aug_start);
    if (cie.version == 4) {
        cie.address_size = TRY(r.readU8());
        const u8 segment_size = TRY(r.readU8());
        if (segment_size != 0) return XOV_FAIL(Error::UnsupportedAddrSize);
    }
    if (cie.address_size != 8 && cie.address_size != 4) return XOV_FAIL(Error::UnsupportedAddrSize);
    cie.code_alignment = TRY(r.readUleb());
    cie.data_alignment = TRY(r.readSleb());
    cie.return_address_register = cie.version == 1 ? TRY(r.readU8()) : TRY(r.readUleb());

    usize aug_data_end = 0;
    for (usize i = 0; i < augmentation.size(); ++i) {
        const char c = static_cast<char>(augmentation[i]);
        if (i == 0 && c == 'z') {
            cie.has_augmentation_data = true;
            const u64 len = TRY(r.readUleb());
            if (len > r.bytes.size() - r.pos) return XOV_FAIL(Error::InvalidDebugInfo);
            aug_data_end = r.pos + static_cast<usize>(len);
            continue;
        }
        switch (c) {
            case 'L': cie.lsda_encoding = TRY(r.readU8()); break;
            case 'R': cie.fde_pointer_encoding = TRY(r.readU8()); break;
            case 'P': {
                const u8 enc = TRY(r.readU8());
                // The personality routine is of no use to a stack walk; only
                // its extent matters, and indirect pointers are not followed.
                (void)TRY(readEncodedPointer(r, static_cast<u8>(enc & ~pe::indirect), section));
                break;
            }
            case 'S': cie.is_signal_frame = true; break;
            case 'B': break;
            default:
                // An unknown letter: with a 'z' length the rest can be
                // skipped, without one the record cannot be read.
                if (!cie.has_augmentation_data) return XOV_FAIL(Error::InvalidDebugInfo);
                r.pos = aug_data_end;
                i = augmentation.size();
                break;
        }
    }
    if (cie.has_augmentation_data) {
        if (r.pos > aug_data_end) return XOV_FAIL(Error::InvalidDebugInfo);
        r.pos = aug_data_end;
    }
    cie.initial_instructions = section.bytes.subspan(r.pos, h.end_offset - r.pos);
    return cie;
}

}  // namespace

Result<Cie> parseCie(const Section& section, usize offset) {
    const RecordHeader h = TRY(readRecordHeader(section, offset));
    if (h.end || !isCieId(section, h)) return XOV_FAIL(Error::InvalidDebugInfo);
    return parseCieBody(section, offset, h);
}

Result<Entry> parseEntry(const Section& section, usize offset, Cie* cie_out) {
    const RecordHeader h = TRY(readRecordHeader(section, offset));
    Entry e;
    e.next = h.end_offset;
    if (h.end) {
        e.end = true;
        return e;
    }
    if (isCieId(section, h)) {
        e.is_cie = true;
        e.cie = TRY(parseCieBody(section, offset, h));
        return e;
    }
    // .eh_frame counts the CIE pointer back from the field itself;
    // .debug_frame gives an offset from the section start.
    usize cie_offset = 0;
    if (section.kind == SectionKind::eh_frame) {
        if (h.id == 0 || h.id > h.id_offset) return XOV_FAIL(Error::InvalidDebugInfo);
        cie_offset = h.id_offset - static_cast<usize>(h.id);
    } else {
        if (h.id >= section.bytes.size()) return XOV_FAIL(Error::InvalidDebugInfo);
        cie_offset = static_cast<usize>(h.id);
    }
    const Cie cie = TRY(parseCie(section, cie_offset));
    Cursor r{section.bytes.first(h.end_offset), h.id_offset + (h.is_64 ? 8u : 4u)};
    Fde& fde = e.fde;
    fde.offset = offset;
    fde.cie_offset = cie_offset;
    if (section.kind == SectionKind::eh_frame) {
        fde.pc_begin = TRY(readEncodedPointer(r, cie.fde_pointer_encoding, section));
        // The range has the pointer's size and format but no base.
        fde.pc_range = TRY(readEncodedPointer(r, static_cast<u8>(cie.fde_pointer_encoding & 0x0f), section));
    } else {
        const u8 enc = cie.address_size == 8 ? pe::udata8 : pe::udata4;
        fde.pc_begin = TRY(readEncodedPointer(r, enc, section)) + section.load_bias;
        fde.pc_range = TRY(readEncodedPointer(r, enc, section));
    }
    if (cie.has_augmentation_data) {
        const u64 len = TRY(r.readUleb());
        if (len > r.bytes.size() - r.pos) return XOV_FAIL(Error::InvalidDebugInfo);
        r.pos += static_cast<usize>(len);
    }
    fde.instructions = section.bytes.subspan(r.pos, h.end_offset - r.pos);
    if (cie_out != nullptr) *cie_out = cie;
    return e;
}

Result<Fde> findFdeLinear(const Section& section, u64 pc, Cie* cie_out) {
    usize offset = 0;
    while (offset < section.bytes.size()) {
        // A record shorter than its length field is the section's padding.
        if (section.bytes.size() - offset < 4) break;
        Cie cie;
        const Entry e = TRY(parseEntry(section, offset, &cie));
        if (e.end) {
            // .eh_frame ends at its terminator; .debug_frame has none.
            if (section.kind == SectionKind::eh_frame) break;
        } else if (!e.is_cie && e.fde.covers(pc)) {
            if (cie_out != nullptr) *cie_out = cie;
            return e.fde;
        }
        if (e.next <= offset) return XOV_FAIL(Error::InvalidDebugInfo);
        offset = e.next;
    }
    return XOV_FAIL(Error::MissingDebugInfo);
}

Result<EhFrameHeader> parseEhFrameHeader(std::span<const u8> bytes, usize address) {
    const Section as_section{bytes, address, SectionKind::eh_frame, address};
    Cursor r{bytes, 0};
    const u8 version = TRY(r.readU8());
    if (version != 1) return XOV_FAIL(Error::IncompatibleVersion);
    const u8 eh_frame_ptr_enc = TRY(r.readU8());
    const u8 fde_count_enc = TRY(r.readU8());
    EhFrameHeader hdr;
    hdr.hdr_address = address;
    hdr.table_encoding = TRY(r.readU8());
    hdr.eh_frame_address = static_cast<usize>(TRY(readEncodedPointer(r, eh_frame_ptr_enc, as_section)));
    if (fde_count_enc != pe::omit && hdr.table_encoding != pe::omit) {
        hdr.fde_count = TRY(readEncodedPointer(r, fde_count_enc, as_section));
        // Only the fixed-size entry formats can be searched in place.
        const u8 format = hdr.table_encoding & 0x0f;
        const usize entry_size = format == pe::udata4 || format == pe::sdata4 ? 8
                                 : format == pe::udata8 || format == pe::sdata8 ? 16
                                                                                 : 0;
        if (entry_size == 0) return XOV_FAIL(Error::InvalidDebugInfo);
        if (hdr.fde_count > (bytes.size() - r.pos) / entry_size) return XOV_FAIL(Error::InvalidDebugInfo);
        hdr.table_address = address + r.pos;
        hdr.table = bytes.subspan(r.pos, static_cast<usize>(hdr.fde_count) * entry_size);
    } else {
        hdr.fde_count = 0;
    }
    return hdr;
}

Result<usize> searchTable(const EhFrameHeader& hdr, u64 pc) {
    if (hdr.fde_count == 0) return XOV_FAIL(Error::MissingDebugInfo);
    const usize entry_size = hdr.table.size() / hdr.fde_count;
    const Section table{hdr.table, hdr.table_address, SectionKind::eh_frame, hdr.hdr_address};
    auto entryAt = [&](usize i, u64* start, u64* fde) -> Result<void> {
        Cursor r{hdr.table, i * entry_size};
        *start = TRY(readEncodedPointer(r, hdr.table_encoding, table));
        *fde = TRY(readEncodedPointer(r, hdr.table_encoding, table));
        return {};
    };
    usize lo = 0;
    usize hi = static_cast<usize>(hdr.fde_count);
    while (hi - lo > 1) {
        const usize mid = lo + (hi - lo) / 2;
        u64 start = 0, fde = 0;
        TRY(entryAt(mid, &start, &fde));
        if (pc < start) hi = mid;
        else lo = mid;
    }
    u64 start = 0, fde = 0;
    TRY(entryAt(lo, &start, &fde));
    if (pc < start) return XOV_FAIL(Error::MissingDebugInfo);
    if (fde < hdr.eh_frame_address) return XOV_FAIL(Error::InvalidDebugInfo);
    return static_cast<usize>(fde - hdr.eh_frame_address);
}

// ---------------------------------------------------------------------------
// The call-frame program.

namespace {

namespace op {
inline constexpr u8 advance_loc = 0x40, offset = 0x80, restore = 0xc0;
inline constexpr u8 nop = 0x00, set_loc = 0x01, advance_loc1 = 0x02, advance_loc2 = 0x03, advance_loc4 = 0x04,
                    offset_extended = 0x05, restore_extended = 0x06, undefined = 0x07, same_value = 0x08,
                    register_ = 0x09, remember_state = 0x0a, restore_state = 0x0b, def_cfa = 0x0c,
                    def_cfa_register = 0x0d, def_cfa_offset = 0x0e, def_cfa_expression = 0x0f, expression = 0x10,
                    offset_extended_sf = 0x11, def_cfa_sf = 0x12, def_cfa_offset_sf = 0x13, val_offset = 0x14,
                    val_offset_sf = 0x15, val_expression = 0x16, gnu_args_size = 0x2e,
                    gnu_negative_offset_extended = 0x2f;
}  // namespace op

struct Machine {
    const Cie& cie;
    const Section& section;
    Row row;
    // The rules after the CIE's initial instructions, for DW_CFA_restore.
    RegisterRule initial[UnwindContext::register_count];
    bool have_initial = false;
    struct Saved {
        CfaRule cfa;
        RegisterRule regs[UnwindContext::register_count];
    };
    Saved stack[max_remembered_rows];
    usize depth = 0;

    // Registers beyond the tracked ones get a scratch slot: their rules are
    // parsed and checked but never applied.
    RegisterRule scratch;
    Result<RegisterRule*> rule(u64 reg) {
        if (reg < UnwindContext::register_count) return &row.regs[reg];
        if (reg > 128) return XOV_FAIL(Error::InvalidRegister);
        return &scratch;
    }

    Result<i64> factoredOffset(i64 factored) {
        i64 out = 0;
        if (__builtin_mul_overflow(factored, cie.data_alignment, &out)) return XOV_FAIL(Error::Overflow);
        return out;
    }

    Result<void> restoreReg(u64 reg) {
        RegisterRule* r = TRY(rule(reg));
        if (!have_initial) return XOV_FAIL(Error::InvalidDebugInfo);  // restore inside the CIE itself
        *r = reg < UnwindContext::register_count ? initial[reg] : RegisterRule{};
        return {};
    }

    Result<void> advance(u64 delta, u64 pc, bool* done) {
        u64 bytes = 0;
        if (__builtin_mul_overflow(delta, cie.code_alignment, &bytes)) return XOV_FAIL(Error::Overflow);
        const u64 next = row.location + bytes;
        if (next > pc) {
            *done = true;
            return {};
        }
        row.location = next;
        return {};
    }

    Result<void> run(std::span<const u8> program, u64 pc) {
        Cursor r{program, 0};
        while (!r.atEnd()) {
            const u8 opcode = TRY(r.readU8());
            const u8 high = opcode & 0xc0;
            const u8 low = opcode & 0x3f;
            bool done = false;
            if (high == op::advance_loc) {
                TRY(advance(low, pc, &done));
            } else if (high == op::offset) {
                RegisterRule* rr = TRY(rule(low));
                *rr = {RuleKind::offset, TRY(factoredOffset(static_cast<i64>(TRY(r.readUleb())))), 0, {}};
            } else if (high == op::restore) {
                TRY(restoreReg(low));
            } else {
                switch (opcode) {
                    case op::nop: break;
                    case op::set_loc: {
                        const u64 loc =
                            section.kind == SectionKind::eh_frame
                                ? TRY(readEncodedPointer(r, cie.fde_pointer_encoding, section))
                                : TRY(readEncodedPointer(r, cie.address_size == 8 ? pe::udata8 : pe::udata4, section)) +
                                      section.load_bias;
                        if (loc > pc) done = true;
                        else row.location = loc;
                        break;
                    }
                    case op::advance_loc1: TRY(advance(TRY(r.readU8()), pc, &done)); break;
                    case op::advance_loc2: TRY(advance(TRY(r.readU16()), pc, &done)); break;
                    case op::advance_loc4: TRY(advance(TRY(r.readU32()), pc, &done)); break;
                    case op::offset_extended:
                    case op::val_offset: {
                        RegisterRule* rr = TRY(rule(TRY(r.readUleb())));
                        const i64 off = TRY(factoredOffset(static_cast<i64>(TRY(r.readUleb()))));
                        *rr = {opcode == op::val_offset ? RuleKind::val_offset : RuleKind::offset, off, 0, {}};
                        break;
                    }
                    case op::offset_extended_sf:
                    case op::val_offset_sf: {
                        RegisterRule* rr = TRY(rule(TRY(r.readUleb())));
                        const i64 off = TRY(factoredOffset(TRY(r.readSleb())));
                        *rr = {opcode == op::val_offset_sf ? RuleKind::val_offset : RuleKind::offset, off, 0, {}};
                        break;
                    }
                    case op::gnu_negative_offset_extended: {
                        RegisterRule* rr = TRY(rule(TRY(r.readUleb())));
                        const i64 off = TRY(factoredOffset(static_cast<i64>(TRY(r.readUleb()))));
                        *rr = {RuleKind::offset, -off, 0, {}};
                        break;
                    }
                    case op::restore_extended: TRY(restoreReg(TRY(r.readUleb()))); break;
                    case op::undefined: *TRY(rule(TRY(r.readUleb()))) = {RuleKind::undefined, 0, 0, {}}; break;
                    case op::same_value: *TRY(rule(TRY(r.readUleb()))) = {RuleKind::same_value, 0, 0, {}}; break;
                    case op::register_: {
                        RegisterRule* rr = TRY(rule(TRY(r.readUleb())));
                        const u64 from = TRY(r.readUleb());
                        if (from >= UnwindContext::register_count) return XOV_FAIL(Error::UnsupportedRegister);
                        *rr = {RuleKind::reg, 0, static_cast<u16>(from), {}};
                        break;
                    }
                    case op::remember_state:
                        if (depth == max_remembered_rows) return XOV_FAIL(Error::StackOverflow);
                        stack[depth].cfa = row.cfa;
                        std::memcpy(stack[depth].regs, row.regs, sizeof row.regs);
                        ++depth;
                        break;
                    case op::restore_state:
                        if (depth == 0) return XOV_FAIL(Error::StackUnderflow);
                        --depth;
                        // The location is not part of the remembered state.
                        row.cfa = stack[depth].cfa;
                        std::memcpy(row.regs, stack[depth].regs, sizeof row.regs);
                        break;
                    case op::def_cfa: {
                        const u64 reg = TRY(r.readUleb());
                        const u64 off = TRY(r.readUleb());
                        if (reg >= UnwindContext::register_count) return XOV_FAIL(Error::UnsupportedRegister);
                        row.cfa = {CfaRule::Kind::reg_offset, static_cast<u16>(reg), static_cast<i64>(off), {}};
                        break;
                    }
                    case op::def_cfa_sf: {
                        const u64 reg = TRY(r.readUleb());
                        const i64 off = TRY(factoredOffset(TRY(r.readSleb())));
                        if (reg >= UnwindContext::register_count) return XOV_FAIL(Error::UnsupportedRegister);
                        row.cfa = {CfaRule::Kind::reg_offset, static_cast<u16>(reg), off, {}};
                        break;
                    }
                    case op::def_cfa_register: {
                        const u64 reg = TRY(r.readUleb());
                        if (reg >= UnwindContext::register_count) return XOV_FAIL(Error::UnsupportedRegister);
                        if (row.cfa.kind != CfaRule::Kind::reg_offset) return XOV_FAIL(Error::InvalidCFA);
                        row.cfa.reg = static_cast<u16>(reg);
                        break;
                    }
                    case op::def_cfa_offset:
                        if (row.cfa.kind != CfaRule::Kind::reg_offset) return XOV_FAIL(Error::InvalidCFA);
                        row.cfa.offset = static_cast<i64>(TRY(r.readUleb()));
                        break;
                    case op::def_cfa_offset_sf:
                        if (row.cfa.kind != CfaRule::Kind::reg_offset) return XOV_FAIL(Error::InvalidCFA);
                        row.cfa.offset = TRY(factoredOffset(TRY(r.readSleb())));
                        break;
                    case op::def_cfa_expression: {
                        const u64 len = TRY(r.readUleb());
                        row.cfa = {CfaRule::Kind::expression, 0, 0, TRY(r.readBlock(static_cast<usize>(len)))};
                        break;
                    }
                    case op::expression:
                    case op::val_expression: {
                        RegisterRule* rr = TRY(rule(TRY(r.readUleb())));
                        const u64 len = TRY(r.readUleb());
                        *rr = {opcode == op::expression ? RuleKind::expression : RuleKind::val_expression, 0, 0,
                               TRY(r.readBlock(static_cast<usize>(len)))};
                        break;
                    }
                    case op::gnu_args_size: row.args_size = TRY(r.readUleb()); break;
                    default: return XOV_FAIL(Error::UnimplementedOpcode);
                }
            }
            if (done) return {};
        }
        return {};
    }
};

}  // namespace

Result<Row> runProgram(const Cie& cie, const Fde& fde, const Section& section, u64 pc) {
    if (!fde.covers(pc)) return XOV_FAIL(Error::MissingDebugInfo);
    Machine m{cie, section, {}, {}, false, {}, 0, {}};
    m.row.location = fde.pc_begin;
    TRY(m.run(cie.initial_instructions, ~u64{0}));
    std::memcpy(m.initial, m.row.regs, sizeof m.initial);
    m.have_initial = true;
    m.row.location = fde.pc_begin;
    TRY(m.run(fde.instructions, pc));
    return m.row;
}

// ---------------------------------------------------------------------------
// Expressions and applying a row.

// Stack slots of other frames are read on purpose; the memory check, not
// the sanitizer, decides what may be read.
[[gnu::no_sanitize_address]] Result<u64> readMemory(const UnwindContext& ctx, usize address) {
    // A range that wraps past the top of the address space is never
    // readable, whatever a page check says about its first byte.
    if (address > ~usize{0} - 8) return XOV_FAIL(Error::InvalidDebugInfo);
    if (ctx.is_valid_memory == nullptr || !ctx.is_valid_memory(address) ||
        ((address & 4095) > 4088 && !ctx.is_valid_memory(address + 7)))
        return XOV_FAIL(Error::InvalidDebugInfo);
    u64 value;
    std::memcpy(&value, reinterpret_cast<const void*>(address), sizeof value);
    return value;
}

namespace {

[[gnu::no_sanitize_address]] Result<u64> readMemorySized(const UnwindContext& ctx, usize address, u8 size) {
    if (size == 0 || size > 8) return XOV_FAIL(Error::InvalidExpression);
    if (address > ~usize{0} - size) return XOV_FAIL(Error::InvalidDebugInfo);
    if (ctx.is_valid_memory == nullptr || !ctx.is_valid_memory(address) ||
        ((address & 4095) > 4096u - size && !ctx.is_valid_memory(address + size - 1)))
        return XOV_FAIL(Error::InvalidDebugInfo);
    u64 value = 0;
    std::memcpy(&value, reinterpret_cast<const void*>(address), size);
    return value;
}

Result<u64> registerValue(const UnwindContext& ctx, u64 reg) {
    if (reg >= UnwindContext::register_count) return XOV_FAIL(Error::UnsupportedRegister);
    if (!ctx.reg_valid[reg]) return XOV_FAIL(Error::InvalidRegister);
    return ctx.regs[reg];
}

// A step budget: a backward DW_OP_skip loop in damaged bytes must end.
constexpr usize max_expression_steps = 4096;

}  // namespace

Result<u64> evaluateExpression(std::span<const u8> expression, const UnwindContext& ctx, std::optional<u64> initial) {
    u64 stack[expression_stack_size];
    usize sp = 0;
    auto push = [&](u64 v) -> Result<void> {
        if (sp == expression_stack_size) return XOV_FAIL(Error::StackOverflow);
        stack[sp++] = v;
        return {};
    };
    auto pop = [&]() -> Result<u64> {
        if (sp == 0) return XOV_FAIL(Error::StackUnderflow);
        return stack[--sp];
    };
    if (initial) TRY(push(*initial));
    Cursor r{expression, 0};
    for (usize steps = 0; !r.atEnd(); ++steps) {
        if (steps == max_expression_steps) return XOV_FAIL(Error::InvalidExpression);
        const u8 opcode = TRY(r.readU8());
        if (opcode >= 0x30 && opcode <= 0x4f) {  // lit0..lit31
            TRY(push(opcode - 0x30u));
            continue;
        }
        if (opcode >= 0x70 && opcode <= 0x8f) {  // breg0..breg31
            const i64 off = TRY(r.readSleb());
            TRY(push(TRY(registerValue(ctx, opcode - 0x70u)) + static_cast<u64>(off)));
            continue;
        }
        if (opcode >= 0x50 && opcode <= 0x6f) return XOV_FAIL(Error::InvalidExpression);  // reg0..31: a location
        switch (opcode) {
            case 0x03: TRY(push(TRY(r.readU64()))); break;                                          // addr
            case 0x06: TRY(push(TRY(readMemory(ctx, static_cast<usize>(TRY(pop())))))); break;     // deref
            case 0x08: TRY(push(TRY(r.readU8()))); break;                                           // const1u
            case 0x09: TRY(push(static_cast<u64>(static_cast<i64>(static_cast<i8>(TRY(r.readU8())))))); break;
            case 0x0a: TRY(push(TRY(r.readU16()))); break;                                          // const2u
            case 0x0b: TRY(push(static_cast<u64>(static_cast<i64>(static_cast<i16>(TRY(r.readU16())))))); break;
            case 0x0c: TRY(push(TRY(r.readU32()))); break;                                          // const4u
            case 0x0d: TRY(push(static_cast<u64>(static_cast<i64>(static_cast<i32>(TRY(r.readU32())))))); break;
            case 0x0e:
            case 0x0f: TRY(push(TRY(r.readU64()))); break;                                          // const8u/s
            case 0x10: TRY(push(TRY(r.readUleb()))); break;                                         // constu
            case 0x11: TRY(push(static_cast<u64>(TRY(r.readSleb())))); break;                       // consts
            case 0x12: {                                                                            // dup
                const u64 a = TRY(pop());
                TRY(push(a));
                TRY(push(a));
                break;
            }
            case 0x13: (void)TRY(pop()); break;  // drop
            case 0x14:                           // over
                if (sp < 2) return XOV_FAIL(Error::StackUnderflow);
                TRY(push(stack[sp - 2]));
                break;
            case 0x15: {  // pick
                const u8 index = TRY(r.readU8());
                if (index >= sp) return XOV_FAIL(Error::StackUnderflow);
                TRY(push(stack[sp - 1 - index]));
                break;
            }
            case 0x16:  // swap
                if (sp < 2) return XOV_FAIL(Error::StackUnderflow);
                std::swap(stack[sp - 1], stack[sp - 2]);
                break;
            case 0x17: {  // rot: top three rotate, the top moving to third
                if (sp < 3) return XOV_FAIL(Error::StackUnderflow);
                const u64 top = stack[sp - 1];
                stack[sp - 1] = stack[sp - 2];
                stack[sp - 2] = stack[sp - 3];
                stack[sp - 3] = top;
                break;
            }
            case 0x19: {  // abs
                const i64 a = static_cast<i64>(TRY(pop()));
                TRY(push(a < 0 ? 0 - static_cast<u64>(a) : static_cast<u64>(a)));
                break;
            }
            case 0x1f: TRY(push(0 - TRY(pop()))); break;  // neg
            case 0x20: TRY(push(~TRY(pop()))); break;     // not
            case 0x23: TRY(push(TRY(pop()) + TRY(r.readUleb()))); break;  // plus_uconst
            case 0x1a: case 0x1b: case 0x1c: case 0x1d: case 0x1e: case 0x21: case 0x22: case 0x24: case 0x25:
            case 0x26: case 0x27: case 0x29: case 0x2a: case 0x2b: case 0x2c: case 0x2d: case 0x2e: {
                const u64 b = TRY(pop());
                const u64 a = TRY(pop());
                const i64 sa = static_cast<i64>(a), sb = static_cast<i64>(b);
                u64 v = 0;
                switch (opcode) {
                    case 0x1a: v = a & b; break;
                    case 0x1b:  // div (signed)
                        if (b == 0 || (sa == INT64_MIN && sb == -1)) return XOV_FAIL(Error::InvalidExpression);
                        v = static_cast<u64>(sa / sb);
                        break;
                    case 0x1c: v = a - b; break;
                    case 0x1d:  // mod (unsigned)
                        if (b == 0) return XOV_FAIL(Error::InvalidExpression);
                        v = a % b;
                        break;
                    case 0x1e: v = a * b; break;
                    case 0x21: v = a | b; break;
                    case 0x22: v = a + b; break;
                    case 0x24: v = b >= 64 ? 0 : a << b; break;
                    case 0x25: v = b >= 64 ? 0 : a >> b; break;
                    case 0x26: v = static_cast<u64>(b >= 64 ? (sa < 0 ? -1 : 0) : sa >> b); break;
                    case 0x27: v = a ^ b; break;
                    case 0x29: v = sa == sb; break;
                    case 0x2a: v = sa >= sb; break;
                    case 0x2b: v = sa > sb; break;
                    case 0x2c: v = sa <= sb; break;
                    case 0x2d: v = sa < sb; break;
                    case 0x2e: v = sa != sb; break;
                    default: break;
                }
                TRY(push(v));
                break;
            }
            case 0x28:    // bra
            case 0x2f: {  // skip
                const i16 delta = static_cast<i16>(TRY(r.readU16()));
                const bool jump = opcode == 0x2f || TRY(pop()) != 0;
                if (jump) {
                    const i64 target = static_cast<i64>(r.pos) + delta;
                    if (target < 0 || static_cast<u64>(target) > expression.size())
                        return XOV_FAIL(Error::InvalidExpression);
                    r.pos = static_cast<usize>(target);
                }
                break;
            }
            case 0x92: {  // bregx
                const u64 reg = TRY(r.readUleb());
                const i64 off = TRY(r.readSleb());
                TRY(push(TRY(registerValue(ctx, reg)) + static_cast<u64>(off)));
                break;
            }
            case 0x94: {  // deref_size
                const u8 size = TRY(r.readU8());
                TRY(push(TRY(readMemorySized(ctx, static_cast<usize>(TRY(pop())), size))));
                break;
            }
            case 0x96: break;  // nop
            case 0x98: case 0x99: case 0x9a: return XOV_FAIL(Error::UnimplementedExpressionCall);
            // A location description, or the CFA inside its own definition:
            // neither has a value here.
            case 0x90: case 0x9c: case 0x9f: return XOV_FAIL(Error::InvalidExpression);
            default: return XOV_FAIL(Error::UnimplementedOpcode);
        }
    }
    return pop();
}

Result<usize> applyRow(const Row& row, const Cie& cie, UnwindContext& ctx) {
    u64 cfa = 0;
    switch (row.cfa.kind) {
        case CfaRule::Kind::none: return XOV_FAIL(Error::InvalidCFA);
        case CfaRule::Kind::reg_offset: cfa = TRY(registerValue(ctx, row.cfa.reg)) + static_cast<u64>(row.cfa.offset); break;
        case CfaRule::Kind::expression: cfa = TRY(evaluateExpression(row.cfa.expression, ctx, std::nullopt)); break;
    }
    if (cie.return_address_register >= UnwindContext::register_count) return XOV_FAIL(Error::UnsupportedRegister);

    // Every rule reads the callee's registers: compute into a copy.
    u64 regs[UnwindContext::register_count];
    bool valid[UnwindContext::register_count];
    for (usize i = 0; i < UnwindContext::register_count; ++i) {
        const RegisterRule& rule = row.regs[i];
        regs[i] = ctx.regs[i];
        valid[i] = ctx.reg_valid[i];
        switch (rule.kind) {
            case RuleKind::unspecified:
            case RuleKind::same_value: break;
            case RuleKind::undefined: valid[i] = false; break;
            case RuleKind::offset:
                regs[i] = TRY(readMemory(ctx, static_cast<usize>(cfa + static_cast<u64>(rule.offset))));
                valid[i] = true;
                break;
            case RuleKind::val_offset:
                regs[i] = cfa + static_cast<u64>(rule.offset);
                valid[i] = true;
                break;
            case RuleKind::reg:
                regs[i] = TRY(registerValue(ctx, rule.reg));
                valid[i] = true;
                break;
            case RuleKind::expression:
                regs[i] = TRY(readMemory(ctx, static_cast<usize>(TRY(evaluateExpression(rule.expression, ctx, cfa)))));
                valid[i] = true;
                break;
            case RuleKind::val_expression:
                regs[i] = TRY(evaluateExpression(rule.expression, ctx, cfa));
                valid[i] = true;
                break;
        }
    }
    // The caller's stack pointer is the CFA unless a rule says otherwise.
    constexpr usize rsp = 7;
    if (row.regs[rsp].kind == RuleKind::unspecified || row.regs[rsp].kind == RuleKind::same_value) {
        regs[rsp] = cfa;
        valid[rsp] = true;
    }
    const usize ra = static_cast<usize>(cie.return_address_register);
    // Without a rule the return address is unknown: the walk ends here.
    const bool ra_known = row.regs[ra].kind != RuleKind::unspecified && valid[ra];
    std::memcpy(ctx.regs, regs, sizeof regs);
    std::memcpy(ctx.reg_valid, valid, sizeof valid);
    ctx.cfa = cfa;
    ctx.pc = ra_known ? static_cast<usize>(regs[ra]) : 0;
    ctx.regs[ra_column] = ctx.pc;
    ctx.reg_valid[ra_column] = ra_known;
    // A signal frame's caller was interrupted, not calling: its pc is the
    // instruction itself.
    ctx.exact_pc = cie.is_signal_frame;
    return ctx.pc;
}

Result<usize> unwindFrameWith(UnwindContext& ctx, const Section& section, const Cie& cie, const Fde& fde) {
    const Row row = TRY(runProgram(cie, fde, section, lookupAddress(ctx)));
    return applyRow(row, cie, ctx);
}

Result<usize> unwindFrameInSection(UnwindContext& ctx, const Section& section) {
    if (ctx.pc == 0) return XOV_FAIL(Error::InvalidDebugInfo);
    Cie cie;
    const Fde fde = TRY(findFdeLinear(section, lookupAddress(ctx), &cie));
    return unwindFrameWith(ctx, section, cie, fde);
}

}  // namespace dwarf::cfi
