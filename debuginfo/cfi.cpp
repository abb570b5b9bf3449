// Parsing of CIE/FDE records, the call-frame program and the expression
// machine. Every offset is checked against its record before it is used.
#include "debuginfo/cfi.hpp"

#include <cstring>

#include "debuginfo/byte_reader.hpp"

namespace dwarf::cfi {

namespace {

constexpr u64 debug_frame_cie_id32 = 0xffffffffu;
constexpr u64 debug_frame_cie_id64 = ~u64{0};
// A 32-bit length of all ones says a 64-bit length follows.
constexpr u32 length_escape_64 = 0xffffffffu;
// CIE versions: 1 in .eh_frame and in DWARF 2's .debug_frame, 3 and 4 in
// the later ones' (4 adds the address and segment sizes).
constexpr u8 cie_version_1 = 1, cie_version_3 = 3, cie_version_4 = 4;
constexpr u8 eh_frame_hdr_version = 1;

}  // namespace

Result<u64> readEncodedPointer(ByteReader& r, u8 encoding, const Section& section, usize func_base,
                               bool (*memory_ok)(usize)) {
    if (encoding == pe::omit) return XOV_FAIL(Error::InvalidDebugInfo);
    const usize field_address = section.address + r.pos;
    if ((encoding & pe::application_mask) == pe::aligned) {
        const usize aligned = (field_address + sizeof(u64) - 1) & ~(sizeof(u64) - 1);
        TRY(r.skip(aligned - field_address));
    }
    u64 value = 0;
    switch (encoding & pe::format_mask) {
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
    switch (encoding & pe::application_mask) {
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
    ByteReader r(section.bytes, offset);
    RecordHeader h;
    u64 length = TRY(r.readU32());
    if (length == length_escape_64) {
        h.is_64 = true;
        length = TRY(r.readU64());
    }
    h.body_start = r.pos;
    if (length == 0) {
        h.end = true;
        h.end_offset = r.pos;
        return h;
    }
    if (length > r.remaining()) return XOV_FAIL(Error::InvalidDebugInfo);
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
    ByteReader r(section.bytes.first(h.end_offset), h.id_offset + (h.is_64 ? 8u : 4u));
    cie.version = TRY(r.readU8());
    if (cie.version != cie_version_1 && cie.version != cie_version_3 && cie.version != cie_version_4)
        return XOV_FAIL(Error::IncompatibleVersion);
    const usize aug_start = r.pos;
    while (TRY(r.readU8()) != 0) {
    }
    const auto augmentation = section.bytes.subspan(aug_start, r.pos - 1 - aug_start);
    if (cie.version == cie_version_4) {
        cie.address_size = TRY(r.readU8());
        const u8 segment_size = TRY(r.readU8());
        if (segment_size != 0) return XOV_FAIL(Error::UnsupportedAddrSize);
    }
    if (cie.address_size != 8 && cie.address_size != 4) return XOV_FAIL(Error::UnsupportedAddrSize);
    cie.code_alignment = TRY(r.readUleb());
    cie.data_alignment = TRY(r.readSleb());
    cie.return_address_register = cie.version == cie_version_1 ? TRY(r.readU8()) : TRY(r.readUleb());

    usize aug_data_end = 0;
    for (usize i = 0; i < augmentation.size(); ++i) {
        const char c = static_cast<char>(augmentation[i]);
        if (i == 0 && c == 'z') {
            cie.has_augmentation_data = true;
            const u64 len = TRY(r.readUleb());
            if (len > r.remaining()) return XOV_FAIL(Error::InvalidDebugInfo);
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
    ByteReader r(section.bytes.first(h.end_offset), h.id_offset + (h.is_64 ? 8u : 4u));
    Fde& fde = e.fde;
    fde.offset = offset;
    fde.cie_offset = cie_offset;
    if (section.kind == SectionKind::eh_frame) {
        fde.pc_begin = TRY(readEncodedPointer(r, cie.fde_pointer_encoding, section));
        // The range has the pointer's size and format but no base.
        fde.pc_range = TRY(readEncodedPointer(r, static_cast<u8>(cie.fde_pointer_encoding & pe::format_mask), section));
    } else {
        const u8 enc = cie.address_size == 8 ? pe::udata8 : pe::udata4;
        fde.pc_begin = TRY(readEncodedPointer(r, enc, section)) + section.load_bias;
        fde.pc_range = TRY(readEncodedPointer(r, enc, section));
    }
    if (cie.has_augmentation_data) {
        TRY(r.skip(TRY(r.readUleb())));
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
    ByteReader r(bytes);
    const u8 version = TRY(r.readU8());
    if (version != eh_frame_hdr_version) return XOV_FAIL(Error::IncompatibleVersion);
    const u8 eh_frame_ptr_enc = TRY(r.readU8());
    const u8 fde_count_enc = TRY(r.readU8());
    EhFrameHeader hdr;
    hdr.hdr_address = address;
    hdr.table_encoding = TRY(r.readU8());
    hdr.eh_frame_address = static_cast<usize>(TRY(readEncodedPointer(r, eh_frame_ptr_enc, as_section)));
    if (fde_count_enc != pe::omit && hdr.table_encoding != pe::omit) {
        hdr.fde_count = TRY(readEncodedPointer(r, fde_count_enc, as_section));
        // Only the fixed-size entry formats can be searched in place.
        const u8 format = hdr.table_encoding & pe::format_mask;
        const usize entry_size = format == pe::udata4 || format == pe::sdata4 ? 8
                                 : format == pe::udata8 || format == pe::sdata8 ? 16
                                                                                 : 0;
        if (entry_size == 0) return XOV_FAIL(Error::InvalidDebugInfo);
        if (hdr.fde_count > r.remaining() / entry_size) return XOV_FAIL(Error::InvalidDebugInfo);
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
        ByteReader r(hdr.table, i * entry_size);
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
// The call-frame program: each instruction is decoded from its bytes, then
// applied to the row being built.

namespace {

// One decoded call-frame instruction. The primary opcodes (advance_loc,
// offset, restore) are stored without their operand bits, which move to
// `delta` or `reg`. Offsets and advances are already scaled by the CIE's
// alignment factors, so applying an instruction reads nothing more.
struct Instruction {
    u8 opcode = cfa::nop;
    u64 reg = 0;                 // the register the instruction names first
    u64 operand = 0;             // a second register, or the args size
    u64 delta = 0;               // advance: bytes of code
    u64 location = 0;            // set_loc: the new address
    i64 offset = 0;              // factored offsets, scaled; def_cfa's plain offset
    std::span<const u8> block;  // the expression of the expression rules
};

// A register number above this is taken for damage, not for a register
// the walk merely leaves untracked (the vector registers stay below it).
constexpr u64 largest_register = 128;

// Decodes one instruction at a time; the CIE fixes the scales and the
// pointer format of set_loc.
struct InstructionDecoder {
    const Cie& cie;
    const Section& section;

    Result<i64> factoredOffset(i64 factored) const {
        i64 out = 0;
        if (__builtin_mul_overflow(factored, cie.data_alignment, &out)) return XOV_FAIL(Error::Overflow);
        return out;
    }

    Result<u64> codeDelta(u64 factored) const {
        u64 bytes = 0;
        if (__builtin_mul_overflow(factored, cie.code_alignment, &bytes)) return XOV_FAIL(Error::Overflow);
        return bytes;
    }

    // The register whose rule an instruction sets.
    static Result<u64> ruleRegister(ByteReader& r) {
        const u64 reg = TRY(r.readUleb());
        if (reg > largest_register) return XOV_FAIL(Error::InvalidRegister);
        return reg;
    }

    Result<u64> location(ByteReader& r) const {
        if (section.kind == SectionKind::eh_frame) return readEncodedPointer(r, cie.fde_pointer_encoding, section);
        return TRY(readEncodedPointer(r, cie.address_size == 8 ? pe::udata8 : pe::udata4, section)) + section.load_bias;
    }

    // Fills `ins` in place: returned by value, the instruction was copied
    // through the stack in pieces the loads could not forward from, which
    // tripled the cost of a program.
    Result<void> decode(u8 opcode, ByteReader& r, Instruction& ins) const {
        ins = {};
        ins.opcode = opcode;
        switch (opcode & cfa::primary_mask) {
            case cfa::advance_loc:
                ins.opcode = cfa::advance_loc;
                ins.delta = TRY(codeDelta(opcode & cfa::operand_mask));
                return {};
            case cfa::offset:
                ins.opcode = cfa::offset;
                ins.reg = opcode & cfa::operand_mask;
                ins.offset = TRY(factoredOffset(static_cast<i64>(TRY(r.readUleb()))));
                return {};
            case cfa::restore:
                ins.opcode = cfa::restore;
                ins.reg = opcode & cfa::operand_mask;
                return {};
            default: break;
        }
        switch (opcode) {
            case cfa::nop:
            case cfa::remember_state:
            case cfa::restore_state: break;
            case cfa::set_loc: ins.location = TRY(location(r)); break;
            case cfa::advance_loc1: ins.delta = TRY(codeDelta(TRY(r.readU8()))); break;
            case cfa::advance_loc2: ins.delta = TRY(codeDelta(TRY(r.readU16()))); break;
            case cfa::advance_loc4: ins.delta = TRY(codeDelta(TRY(r.readU32()))); break;
            case cfa::offset_extended:
            case cfa::val_offset:
            case cfa::gnu_negative_offset_extended:
                ins.reg = TRY(ruleRegister(r));
                ins.offset = TRY(factoredOffset(static_cast<i64>(TRY(r.readUleb()))));
                break;
            case cfa::offset_extended_sf:
            case cfa::val_offset_sf:
                ins.reg = TRY(ruleRegister(r));
                ins.offset = TRY(factoredOffset(TRY(r.readSleb())));
                break;
            case cfa::restore_extended:
            case cfa::undefined:
            case cfa::same_value: ins.reg = TRY(ruleRegister(r)); break;
            case cfa::register_:
                ins.reg = TRY(ruleRegister(r));
                ins.operand = TRY(r.readUleb());
                break;
            case cfa::def_cfa:
                ins.reg = TRY(r.readUleb());
                ins.offset = static_cast<i64>(TRY(r.readUleb()));
                break;
            case cfa::def_cfa_sf:
                ins.reg = TRY(r.readUleb());
                ins.offset = TRY(factoredOffset(TRY(r.readSleb())));
                break;
            case cfa::def_cfa_register: ins.reg = TRY(r.readUleb()); break;
            case cfa::def_cfa_offset: ins.offset = static_cast<i64>(TRY(r.readUleb())); break;
            case cfa::def_cfa_offset_sf: ins.offset = TRY(factoredOffset(TRY(r.readSleb()))); break;
            case cfa::def_cfa_expression: ins.block = TRY(r.take(TRY(r.readUleb()))); break;
            case cfa::expression:
            case cfa::val_expression:
                ins.reg = TRY(ruleRegister(r));
                ins.block = TRY(r.take(TRY(r.readUleb())));
                break;
            case cfa::gnu_args_size: ins.operand = TRY(r.readUleb()); break;
            default: return XOV_FAIL(Error::UnimplementedOpcode);
        }
        return {};
    }
};

// Whether the program has reached the row that covers pc.
enum class Progress : u8 { before_pc, reached_pc };

struct Machine {
    Machine(const Cie& cie, const Section& section) : decoder{cie, section} {}

    InstructionDecoder decoder;
    Row row;
    // The rules after the CIE's initial instructions, for DW_CFA_restore.
    RegisterRule initial[UnwindContext::register_count];
    bool have_initial = false;
    struct Saved {
        CfaRule cfa;
        RegisterRule regs[UnwindContext::register_count];
    };
    // Left uninitialised: a slot is read back only after remember_state
    // wrote it, and constructing all sixteen cost more than running a whole
    // typical program.
    union SavedSlot {
        Saved saved;
        SavedSlot() {}
    };
    SavedSlot stack[max_remembered_rows];
    usize depth = 0;

    // Registers beyond the tracked ones get a scratch slot: their rules are
    // parsed and checked but never applied.
    RegisterRule scratch;
    RegisterRule& rule(u64 reg) { return reg < UnwindContext::register_count ? row.regs[reg] : scratch; }

    Result<void> restoreReg(u64 reg) {
        if (!have_initial) return XOV_FAIL(Error::InvalidDebugInfo);  // restore inside the CIE itself
        rule(reg) = reg < UnwindContext::register_count ? initial[reg] : RegisterRule{};
        return {};
    }

    Progress moveTo(u64 location, u64 pc) {
        if (location > pc) return Progress::reached_pc;
        row.location = location;
        return Progress::before_pc;
    }

    Result<void> defineCfa(u64 reg, i64 offset) {
        if (reg >= UnwindContext::register_count) return XOV_FAIL(Error::UnsupportedRegister);
        row.cfa = {CfaRule::Kind::reg_offset, static_cast<u16>(reg), offset, {}};
        return {};
    }

    // An instruction that cannot apply to the row is refused before its
    // operands are decoded, so a damaged operand does not hide that.
    Result<void> admit(u8 opcode) const {
        const bool changes_cfa_offset = opcode == cfa::def_cfa_offset || opcode == cfa::def_cfa_offset_sf;
        if (changes_cfa_offset && row.cfa.kind != CfaRule::Kind::reg_offset) return XOV_FAIL(Error::InvalidCFA);
        return {};
    }

    Result<Progress> execute(const Instruction& ins, u64 pc) {
        switch (ins.opcode) {
            case cfa::advance_loc:
            case cfa::advance_loc1:
            case cfa::advance_loc2:
            case cfa::advance_loc4: return moveTo(row.location + ins.delta, pc);
            case cfa::set_loc: return moveTo(ins.location, pc);
            case cfa::offset:
            case cfa::offset_extended:
            case cfa::offset_extended_sf: rule(ins.reg) = {RuleKind::offset, ins.offset, 0, {}}; break;
            case cfa::gnu_negative_offset_extended: {
                i64 negated = 0;
                if (__builtin_sub_overflow(i64{0}, ins.offset, &negated)) return XOV_FAIL(Error::Overflow);
                rule(ins.reg) = {RuleKind::offset, negated, 0, {}};
                break;
            }
            case cfa::val_offset:
            case cfa::val_offset_sf: rule(ins.reg) = {RuleKind::val_offset, ins.offset, 0, {}}; break;
            case cfa::restore:
            case cfa::restore_extended: TRY(restoreReg(ins.reg)); break;
            case cfa::undefined: rule(ins.reg) = {RuleKind::undefined, 0, 0, {}}; break;
            case cfa::same_value: rule(ins.reg) = {RuleKind::same_value, 0, 0, {}}; break;
            case cfa::register_:
                if (ins.operand >= UnwindContext::register_count) return XOV_FAIL(Error::UnsupportedRegister);
                rule(ins.reg) = {RuleKind::reg, 0, static_cast<u16>(ins.operand), {}};
                break;
            case cfa::expression: rule(ins.reg) = {RuleKind::expression, 0, 0, ins.block}; break;
            case cfa::val_expression: rule(ins.reg) = {RuleKind::val_expression, 0, 0, ins.block}; break;
            case cfa::remember_state:
                if (depth == max_remembered_rows) return XOV_FAIL(Error::StackOverflow);
                std::memcpy(&stack[depth].saved.cfa, &row.cfa, sizeof row.cfa);
                std::memcpy(stack[depth].saved.regs, row.regs, sizeof row.regs);
                ++depth;
                break;
            case cfa::restore_state:
                if (depth == 0) return XOV_FAIL(Error::StackUnderflow);
                --depth;
                // The location is not part of the remembered state.
                row.cfa = stack[depth].saved.cfa;
                std::memcpy(row.regs, stack[depth].saved.regs, sizeof row.regs);
                break;
            case cfa::def_cfa:
            case cfa::def_cfa_sf: TRY(defineCfa(ins.reg, ins.offset)); break;
            case cfa::def_cfa_register:
                if (ins.reg >= UnwindContext::register_count) return XOV_FAIL(Error::UnsupportedRegister);
                if (row.cfa.kind != CfaRule::Kind::reg_offset) return XOV_FAIL(Error::InvalidCFA);
                row.cfa.reg = static_cast<u16>(ins.reg);
                break;
            case cfa::def_cfa_offset:
            case cfa::def_cfa_offset_sf: row.cfa.offset = ins.offset; break;
            case cfa::def_cfa_expression: row.cfa = {CfaRule::Kind::expression, 0, 0, ins.block}; break;
            case cfa::gnu_args_size: row.args_size = ins.operand; break;
            default: break;  // nop
        }
        return Progress::before_pc;
    }

    Result<void> run(std::span<const u8> program, u64 pc) {
        ByteReader r(program);
        Instruction ins;
        while (!r.atEnd()) {
            const u8 opcode = TRY(r.readU8());
            TRY(admit(opcode));
            TRY(decoder.decode(opcode, r, ins));
            if (TRY(execute(ins, pc)) == Progress::reached_pc) return {};
        }
        return {};
    }
};

}  // namespace

Result<Row> runProgram(const Cie& cie, const Fde& fde, const Section& section, u64 pc) {
    if (!fde.covers(pc)) return XOV_FAIL(Error::MissingDebugInfo);
    Machine m(cie, section);
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

// One decoded expression operation. The families that carry their operand
// in the opcode decode to their general form (lit to constu, breg to
// bregx), and every constant, whatever its width and sign, to constu with
// its 64-bit value; the operations that have no value here are refused
// while decoding.
struct Operation {
    u8 opcode = op::nop;
    u64 operand = 0;  // constant, register, pick index, deref size, addend
    i64 offset = 0;   // bregx: added to the register; bra and skip: the target position
};

Operation constant(u64 value) { return {op::constu, value, 0}; }

Result<Operation> decodeOperation(u8 opcode, ByteReader& r) {
    if (opcode >= op::lit0 && opcode <= op::lit31) return constant(opcode - u64{op::lit0});
    if (opcode >= op::breg0 && opcode <= op::breg31)
        return Operation{op::bregx, opcode - u64{op::breg0}, TRY(r.readSleb())};
    // A register names a location, not a value.
    if (opcode >= op::reg0 && opcode <= op::reg31) return XOV_FAIL(Error::InvalidExpression);
    switch (opcode) {
        case op::addr:
        case op::const8u:
        case op::const8s: return constant(TRY(r.readU64()));
        case op::const1u: return constant(TRY(r.readU8()));
        case op::const1s: return constant(static_cast<u64>(static_cast<i64>(static_cast<i8>(TRY(r.readU8())))));
        case op::const2u: return constant(TRY(r.readU16()));
        case op::const2s: return constant(static_cast<u64>(static_cast<i64>(static_cast<i16>(TRY(r.readU16())))));
        case op::const4u: return constant(TRY(r.readU32()));
        case op::const4s: return constant(static_cast<u64>(static_cast<i64>(static_cast<i32>(TRY(r.readU32())))));
        case op::constu: return constant(TRY(r.readUleb()));
        case op::consts: return constant(static_cast<u64>(TRY(r.readSleb())));
        case op::pick:
        case op::deref_size: return Operation{opcode, TRY(r.readU8()), 0};
        case op::plus_uconst: return Operation{opcode, TRY(r.readUleb()), 0};
        case op::bregx: {
            const u64 reg = TRY(r.readUleb());
            return Operation{opcode, reg, TRY(r.readSleb())};
        }
        case op::bra:
        case op::skip: {
            const i16 delta = static_cast<i16>(TRY(r.readU16()));
            return Operation{opcode, 0, static_cast<i64>(r.pos) + delta};
        }
        case op::deref: case op::dup: case op::drop: case op::over: case op::swap: case op::rot: case op::abs:
        case op::and_: case op::div: case op::minus: case op::mod: case op::mul: case op::neg: case op::not_:
        case op::or_: case op::plus: case op::shl: case op::shr: case op::shra: case op::xor_: case op::eq:
        case op::ge: case op::gt: case op::le: case op::lt: case op::ne: case op::nop: return Operation{opcode, 0, 0};
        case op::call2:
        case op::call4:
        case op::call_ref: return XOV_FAIL(Error::UnimplementedExpressionCall);
        // A location description, or the CFA inside its own definition:
        // neither has a value here.
        case op::regx:
        case op::call_frame_cfa:
        case op::stack_value: return XOV_FAIL(Error::InvalidExpression);
        default: return XOV_FAIL(Error::UnimplementedOpcode);
    }
}

// The operations on the top two entries, a below b; comparisons and div
// are signed, mod unsigned.
Result<u64> binaryOperation(u8 opcode, u64 a, u64 b) {
    const i64 sa = static_cast<i64>(a), sb = static_cast<i64>(b);
    switch (opcode) {
        case op::and_: return a & b;
        case op::div:
            if (b == 0 || (sa == INT64_MIN && sb == -1)) return XOV_FAIL(Error::InvalidExpression);
            return static_cast<u64>(sa / sb);
        case op::minus: return a - b;
        case op::mod:
            if (b == 0) return XOV_FAIL(Error::InvalidExpression);
            return a % b;
        case op::mul: return a * b;
        case op::or_: return a | b;
        case op::plus: return a + b;
        case op::shl: return b >= 64 ? 0 : a << b;
        case op::shr: return b >= 64 ? 0 : a >> b;
        case op::shra: return static_cast<u64>(b >= 64 ? (sa < 0 ? -1 : 0) : sa >> b);
        case op::xor_: return a ^ b;
        case op::eq: return sa == sb;
        case op::ge: return sa >= sb;
        case op::gt: return sa > sb;
        case op::le: return sa <= sb;
        case op::lt: return sa < sb;
        default: return sa != sb;  // op::ne: no other opcode comes here
    }
}

// The operand stack: fixed size, and an error rather than a read or write
// past either end.
struct ExpressionStack {
    u64 slots[expression_stack_size];
    usize depth = 0;

    // User-provided, so that the slots are left as they are: every slot is
    // pushed before it is read, and zeroing them all would cost each
    // evaluation more than its operations.
    ExpressionStack() {}

    Result<void> push(u64 v) {
        if (depth == expression_stack_size) return XOV_FAIL(Error::StackOverflow);
        slots[depth++] = v;
        return {};
    }
    Result<u64> pop() {
        if (depth == 0) return XOV_FAIL(Error::StackUnderflow);
        return slots[--depth];
    }
    Result<void> need(usize count) const {
        if (depth < count) return XOV_FAIL(Error::StackUnderflow);
        return {};
    }
    // The entry `below` places under the top; need() has checked it.
    u64& top(usize below = 0) { return slots[depth - 1 - below]; }
};

struct Evaluator {
    const UnwindContext& ctx;
    ByteReader reader;
    ExpressionStack stack;

    // plus_uconst's addend comes off the stack before its operand counts:
    // an empty stack is the error even when the operand is cut off too.
    Result<void> admit(u8 opcode) const {
        if (opcode == op::plus_uconst) TRY(stack.need(1));
        return {};
    }

    Result<void> jump(i64 target) {
        if (target < 0 || static_cast<u64>(target) > reader.bytes.size()) return XOV_FAIL(Error::InvalidExpression);
        reader.pos = static_cast<usize>(target);
        return {};
    }

    Result<void> execute(const Operation& o) {
        switch (o.opcode) {
            case op::constu: return stack.push(o.operand);
            case op::bregx: return stack.push(TRY(registerValue(ctx, o.operand)) + static_cast<u64>(o.offset));
            case op::deref: return stack.push(TRY(readMemory(ctx, static_cast<usize>(TRY(stack.pop())))));
            case op::deref_size: {
                const usize address = static_cast<usize>(TRY(stack.pop()));
                return stack.push(TRY(readMemorySized(ctx, address, static_cast<u8>(o.operand))));
            }
            case op::dup: TRY(stack.need(1)); return stack.push(stack.top());
            case op::drop: (void)TRY(stack.pop()); return {};
            case op::over: TRY(stack.need(2)); return stack.push(stack.top(1));
            case op::pick: TRY(stack.need(o.operand + 1)); return stack.push(stack.top(o.operand));
            case op::swap: TRY(stack.need(2)); std::swap(stack.top(), stack.top(1)); return {};
            case op::rot: {  // the top three rotate, the top moving to third
                TRY(stack.need(3));
                const u64 top = stack.top();
                stack.top() = stack.top(1);
                stack.top(1) = stack.top(2);
                stack.top(2) = top;
                return {};
            }
            case op::abs: {
                const i64 a = static_cast<i64>(TRY(stack.pop()));
                return stack.push(a < 0 ? 0 - static_cast<u64>(a) : static_cast<u64>(a));
            }
            case op::neg: return stack.push(0 - TRY(stack.pop()));
            case op::not_: return stack.push(~TRY(stack.pop()));
            case op::plus_uconst: return stack.push(TRY(stack.pop()) + o.operand);
            case op::and_: case op::div: case op::minus: case op::mod: case op::mul: case op::or_: case op::plus:
            case op::shl: case op::shr: case op::shra: case op::xor_: case op::eq: case op::ge: case op::gt:
            case op::le: case op::lt: case op::ne: {
                const u64 b = TRY(stack.pop());
                const u64 a = TRY(stack.pop());
                return stack.push(TRY(binaryOperation(o.opcode, a, b)));
            }
            case op::skip: return jump(o.offset);
            case op::bra: return TRY(stack.pop()) != 0 ? jump(o.offset) : Result<void>{};
            default: return {};  // nop: the decoder makes no other operation
        }
    }

    Result<u64> run() {
        for (usize steps = 0; !reader.atEnd(); ++steps) {
            if (steps == max_expression_steps) return XOV_FAIL(Error::InvalidExpression);
            const u8 opcode = TRY(reader.readU8());
            TRY(admit(opcode));
            TRY(execute(TRY(decodeOperation(opcode, reader))));
        }
        return stack.pop();
    }
};

}  // namespace

Result<u64> evaluateExpression(std::span<const u8> expression, const UnwindContext& ctx, std::optional<u64> initial) {
    Evaluator e{ctx, ByteReader(expression), {}};
    if (initial) TRY(e.stack.push(*initial));
    return e.run();
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
    const RuleKind sp_rule = row.regs[UnwindContext::rsp].kind;
    if (sp_rule == RuleKind::unspecified || sp_rule == RuleKind::same_value) {
        regs[UnwindContext::rsp] = cfa;
        valid[UnwindContext::rsp] = true;
    }
    const usize ra = static_cast<usize>(cie.return_address_register);
    // Without a rule the return address is unknown: the walk ends here.
    const bool ra_known = row.regs[ra].kind != RuleKind::unspecified && valid[ra];
    std::memcpy(ctx.regs, regs, sizeof regs);
    std::memcpy(ctx.reg_valid, valid, sizeof valid);
    ctx.cfa = cfa;
    ctx.pc = ra_known ? static_cast<usize>(regs[ra]) : 0;
    ctx.regs[UnwindContext::return_address] = ctx.pc;
    ctx.reg_valid[UnwindContext::return_address] = ra_known;
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
