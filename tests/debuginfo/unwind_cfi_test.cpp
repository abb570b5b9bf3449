// The call-frame parser and executor on hand-built tables: record layout,
// pointer encodings, one group per opcode family, the expression machine,
// applying a row to a fake stack, and the error paths.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "debuginfo/cfi.hpp"
#include "debuginfo/dwarf_constants.hpp"

namespace {

using namespace dwarf;
using namespace dwarf::cfi;
using Bytes = std::vector<u8>;

// --- byte builders ---------------------------------------------------------

void u8s(Bytes& b, std::initializer_list<int> v) {
    for (int x : v) b.push_back(static_cast<u8>(x));
}
void le32(Bytes& b, u32 v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<u8>(v >> (8 * i)));
}
void le64(Bytes& b, u64 v) {
    for (int i = 0; i < 8; ++i) b.push_back(static_cast<u8>(v >> (8 * i)));
}
void uleb(Bytes& b, u64 v) {
    do {
        u8 byte = v & 0x7f;
        v >>= 7;
        if (v) byte |= 0x80;
        b.push_back(byte);
    } while (v);
}
void sleb(Bytes& b, i64 v) {
    for (;;) {
        u8 byte = v & 0x7f;
        v >>= 7;
        const bool done = (v == 0 && !(byte & 0x40)) || (v == -1 && (byte & 0x40));
        if (!done) byte |= 0x80;
        b.push_back(byte);
        if (done) return;
    }
}

// Opcodes that carry their operand in the low bits.
constexpr u8 advance(int delta) { return static_cast<u8>(cfa::advance_loc | delta); }
constexpr u8 offsetOf(int reg) { return static_cast<u8>(cfa::offset | reg); }
constexpr u8 restoreOf(int reg) { return static_cast<u8>(cfa::restore | reg); }
constexpr u8 lit(int n) { return static_cast<u8>(op::lit0 + n); }
constexpr u8 breg(int reg) { return static_cast<u8>(op::breg0 + reg); }

struct CieLayout {
    std::string augmentation = "zR";
    u8 version = 1;
    u64 code_align = 1;
    i64 data_align = -8;
    u8 ra = 16;
    u8 fde_encoding = pe::pcrel | pe::sdata4;
    Bytes instructions = {cfa::def_cfa, 7, 8, offsetOf(16), 1};  // def_cfa rsp+8; offset ra at cfa-8
};

// Appends a CIE at the end of the section; returns its offset.
usize appendCie(Bytes& s, const CieLayout& c) {
    const usize start = s.size();
    Bytes body;
    le32(body, 0);  // CIE id (.eh_frame)
    body.push_back(c.version);
    for (char ch : c.augmentation) body.push_back(static_cast<u8>(ch));
    body.push_back(0);
    uleb(body, c.code_align);
    sleb(body, c.data_align);
    body.push_back(c.ra);
    if (!c.augmentation.empty() && c.augmentation[0] == 'z') {
        Bytes aug;
        for (char ch : c.augmentation.substr(1))
            if (ch == 'R') aug.push_back(c.fde_encoding);
        uleb(body, aug.size());
        body.insert(body.end(), aug.begin(), aug.end());
    }
    body.insert(body.end(), c.instructions.begin(), c.instructions.end());
    le32(s, static_cast<u32>(body.size()));
    s.insert(s.end(), body.begin(), body.end());
    return start;
}

// Appends an FDE (pcrel sdata4 or udata4 addresses, "z" data empty) for a section
// that will live at `section_address`.
usize appendFde(Bytes& s, usize cie_offset, usize section_address, u64 pc_begin, u32 range, const Bytes& ins,
                u8 encoding = pe::pcrel | pe::sdata4) {
    const usize start = s.size();
    Bytes body;
    const usize id_offset = start + 4;
    le32(body, static_cast<u32>(id_offset - cie_offset));      // CIE pointer: back from here
    const usize begin_field = start + 8;
    // pc_begin, pc-relative (or absolute for a plain udata4 encoding)
    le32(body, static_cast<u32>(encoding == pe::udata4 ? pc_begin : pc_begin - (section_address + begin_field)));
    le32(body, range);                                                        // pc_range
    uleb(body, 0);                                                            // augmentation data length
    body.insert(body.end(), ins.begin(), ins.end());
    le32(s, static_cast<u32>(body.size()));
    s.insert(s.end(), body.begin(), body.end());
    return start;
}

constexpr usize kSectionAddress = 0x10000;

Section eh(const Bytes& b, usize address = kSectionAddress) { return Section{b, address, SectionKind::eh_frame, 0}; }

// --- fake memory for rules and expressions ---------------------------------

alignas(16) u64 fake_stack[64];
bool inFakeStack(usize a) {
    const usize lo = reinterpret_cast<usize>(fake_stack);
    return a >= lo && a - lo <= sizeof fake_stack - 8;
}
UnwindContext contextOnFakeStack() {
    UnwindContext ctx;
    ctx.is_valid_memory = inFakeStack;
    for (usize i = 0; i < UnwindContext::register_count; ++i) {
        ctx.regs[i] = 1000 + i;
        ctx.reg_valid[i] = true;
    }
    ctx.regs[7] = reinterpret_cast<u64>(&fake_stack[8]);
    return ctx;
}

// --- pointer encodings ------------------------------------------------------

TEST(CfiPointerEncoding, AppliesEachFormatAndBase) {
    Bytes b;
    le32(b, static_cast<u32>(-16));  // sdata4, pcrel
    u8s(b, {0x34, 0x12});            // udata2
    sleb(b, -3);                     // sleb128
    le64(b, 0x1122334455667788);     // absptr
    le32(b, 0x40);                   // udata4, datarel
    const Section s{b, 0x5000, SectionKind::eh_frame, 0x9000};
    ByteReader r(b);
    EXPECT_EQ(*readEncodedPointer(r, pe::pcrel | pe::sdata4, s), 0x5000u - 16);
    EXPECT_EQ(*readEncodedPointer(r, pe::udata2, s), 0x1234u);
    EXPECT_EQ(*readEncodedPointer(r, pe::sleb128, s), static_cast<u64>(-3));
    EXPECT_EQ(*readEncodedPointer(r, pe::absptr, s), 0x1122334455667788u);
    EXPECT_EQ(*readEncodedPointer(r, pe::datarel | pe::udata4, s), 0x9040u);
    ByteReader again(b);
    EXPECT_EQ(readEncodedPointer(again, pe::omit, s).error(), Error::InvalidDebugInfo);
    constexpr u8 no_such_format = 0x07;
    EXPECT_EQ(readEncodedPointer(again, no_such_format, s).error(), Error::InvalidDebugInfo);
}

TEST(CfiPointerEncoding, IndirectPointerIsReadOnlyThroughTheMemoryCheck) {
    fake_stack[3] = 0xabcdef;
    Bytes b;
    le64(b, reinterpret_cast<u64>(&fake_stack[3]));
    const Section s{b, 0, SectionKind::eh_frame, 0};
    ByteReader r(b);
    EXPECT_EQ(*readEncodedPointer(r, pe::indirect | pe::udata8, s, 0, inFakeStack), 0xabcdefu);
    Bytes bad;
    le64(bad, 0x10);
    ByteReader r2(bad);
    EXPECT_EQ(readEncodedPointer(r2, pe::indirect | pe::udata8, s, 0, inFakeStack).error(), Error::InvalidDebugInfo);
}

// --- records ----------------------------------------------------------------

TEST(CfiRecords, ParsesCieFieldsAndFdeRangeWithPcRelativeAddresses) {
    Bytes s;
    CieLayout layout;
    layout.augmentation = "zRS";
    layout.code_align = 4;
    layout.data_align = -4;
    const usize cie_at = appendCie(s, layout);
    const usize fde_at = appendFde(s, cie_at, kSectionAddress, 0x401000, 0x80, {});
    le32(s, 0);  // terminator

    Cie cie;
    const Entry e = *parseEntry(eh(s), fde_at, &cie);
    ASSERT_FALSE(e.is_cie);
    EXPECT_EQ(e.fde.pc_begin, 0x401000u);
    EXPECT_EQ(e.fde.pc_range, 0x80u);
    EXPECT_TRUE(e.fde.covers(0x40107f));
    EXPECT_FALSE(e.fde.covers(0x401080));
    EXPECT_EQ(cie.code_alignment, 4u);
    EXPECT_EQ(cie.data_alignment, -4);
    EXPECT_EQ(cie.return_address_register, 16u);
    EXPECT_TRUE(cie.is_signal_frame);
    EXPECT_EQ(cie.fde_pointer_encoding, pe::pcrel | pe::sdata4);
    EXPECT_EQ(cie.initial_instructions.size(), layout.instructions.size());
    EXPECT_TRUE(parseEntry(eh(s), s.size() - 4, nullptr)->end);
}

TEST(CfiRecords, DamagedRecordsGiveNamedErrors) {
    Bytes s;
    const usize cie_at = appendCie(s, {});
    const usize fde_at = appendFde(s, cie_at, kSectionAddress, 0x401000, 0x10, {});

    Bytes long_len = s;
    long_len[fde_at] = 0xff;  // length past the section
    long_len[fde_at + 1] = 0xff;
    EXPECT_EQ(parseEntry(eh(long_len), fde_at, nullptr).error(), Error::InvalidDebugInfo);

    Bytes bad_ptr = s;
    bad_ptr[fde_at + 4] = 0xf0;  // CIE pointer before the section start
    bad_ptr[fde_at + 5] = 0xff;
    EXPECT_EQ(parseEntry(eh(bad_ptr), fde_at, nullptr).error(), Error::InvalidDebugInfo);

    Bytes bad_version = s;
    bad_version[cie_at + 8] = 2;
    EXPECT_EQ(parseCie(eh(bad_version), cie_at).error(), Error::IncompatibleVersion);

    Bytes unknown_aug;
    CieLayout q;
    q.augmentation = "Q";  // unknown letter with no 'z' length to skip it
    appendCie(unknown_aug, q);
    EXPECT_EQ(parseCie(eh(unknown_aug), 0).error(), Error::InvalidDebugInfo);

    Bytes truncated(s.begin(), s.begin() + static_cast<long>(fde_at + 6));
    EXPECT_FALSE(parseEntry(eh(truncated), fde_at, nullptr).has_value());
}

TEST(CfiRecords, UnknownAugmentationAfterZIsSkippedByItsLength) {
    Bytes s;
    CieLayout c;
    c.augmentation = "zRQ";
    appendCie(s, c);
    const Cie cie = *parseCie(eh(s), 0);
    EXPECT_EQ(cie.fde_pointer_encoding, pe::pcrel | pe::sdata4);
    EXPECT_EQ(cie.initial_instructions.size(), c.instructions.size());
}

TEST(CfiRecords, DebugFrameUsesSectionOffsetsAndAbsoluteAddresses) {
    Bytes s;
    // CIE, version 4: length, id 0xffffffff, version, "", address and
    // segment size, code align 1, data align -8, ra 16, def_cfa rsp+8.
    Bytes cie;
    le32(cie, 0xffffffff);
    u8s(cie, {4, 0, 8, 0, 1, 0x78, 16, cfa::def_cfa, 7, 8});
    le32(s, static_cast<u32>(cie.size()));
    s.insert(s.end(), cie.begin(), cie.end());
    const usize fde_at = s.size();
    Bytes fde;
    le32(fde, 0);             // CIE at section offset 0
    le64(fde, 0x700000);      // pc_begin
    le64(fde, 0x20);          // pc_range
    u8s(fde, {advance(1), cfa::def_cfa_offset, 16});
    le32(s, static_cast<u32>(fde.size()));
    s.insert(s.end(), fde.begin(), fde.end());
    const Section sec{s, 0, SectionKind::debug_frame, 0};
    Cie c;
    const Fde found = *findFdeLinear(sec, 0x700010, &c);
    EXPECT_EQ(found.offset, fde_at);
    EXPECT_EQ(found.pc_begin, 0x700000u);
    EXPECT_EQ(c.version, 4);
    const Row row = *runProgram(c, found, sec, 0x700010);
    EXPECT_EQ(row.cfa.offset, 16);
    EXPECT_EQ(findFdeLinear(sec, 0x700020, nullptr).error(), Error::MissingDebugInfo);
}

TEST(CfiRecords, SixtyFourBitLengthFormIsRead) {
    Bytes s;
    Bytes body;
    le64(body, 0);  // CIE id, 64-bit form
    u8s(body, {1, 0, 1, 0x78, 16, cfa::def_cfa, 7, 8});
    le32(s, 0xffffffff);
    le64(s, body.size());
    s.insert(s.end(), body.begin(), body.end());
    const Cie cie = *parseCie(eh(s), 0);
    EXPECT_EQ(cie.data_alignment, -8);
    EXPECT_EQ(cie.initial_instructions.size(), 3u);
}

TEST(CfiRecords, LinearSearchPicksTheCoveringFde) {
    Bytes s;
    const usize cie_at = appendCie(s, {});
    appendFde(s, cie_at, kSectionAddress, 0x1000, 0x100, {});
    const usize second = appendFde(s, cie_at, kSectionAddress, 0x2000, 0x100, {});
    le32(s, 0);
    EXPECT_EQ(findFdeLinear(eh(s), 0x2080, nullptr)->offset, second);
    EXPECT_EQ(findFdeLinear(eh(s), 0x1800, nullptr).error(), Error::MissingDebugInfo);
}

TEST(CfiHeader, BinarySearchTableFindsTheGreatestStartNotAbovePc) {
    // .eh_frame_hdr at 0x8000: version 1, eh_frame_ptr pcrel|sdata4,
    // fde_count udata4, table datarel|sdata4; .eh_frame at 0x9000.
    Bytes h;
    u8s(h, {1, pe::pcrel | pe::sdata4, pe::udata4, pe::datarel | pe::sdata4});
    le32(h, 0x9000 - (0x8000 + 4));  // eh_frame_ptr
    le32(h, 3);                      // fde_count
    const u32 starts[] = {0x1000, 0x2000, 0x3000};
    for (u32 i = 0; i < 3; ++i) {
        le32(h, starts[i] - 0x8000);            // initial location, data-relative
        le32(h, 0x9000 + 0x18 * (i + 1) - 0x8000);  // FDE address, data-relative
    }
    const EhFrameHeader hdr = *parseEhFrameHeader(h, 0x8000);
    EXPECT_EQ(hdr.eh_frame_address, 0x9000u);
    EXPECT_EQ(hdr.fde_count, 3u);
    EXPECT_EQ(*searchTable(hdr, 0x1000), 0x18u);
    EXPECT_EQ(*searchTable(hdr, 0x2fff), 0x30u);
    EXPECT_EQ(*searchTable(hdr, 0x7fffff), 0x48u);
    EXPECT_EQ(searchTable(hdr, 0xfff).error(), Error::MissingDebugInfo);

    Bytes bad_count = h;
    bad_count[8] = 200;  // more entries than bytes
    EXPECT_EQ(parseEhFrameHeader(bad_count, 0x8000).error(), Error::InvalidDebugInfo);
    Bytes bad_version = h;
    bad_version[0] = 2;
    EXPECT_EQ(parseEhFrameHeader(bad_version, 0x8000).error(), Error::IncompatibleVersion);
}

// --- the rule program ---------------------------------------------------------

// Runs `ins` as an FDE program over the default CIE for pc.
Result<Row> rowAt(const Bytes& ins, u64 pc, CieLayout layout = {}) {
    static Bytes s;
    s.clear();
    const usize cie_at = appendCie(s, layout);
    const usize fde_at = appendFde(s, cie_at, kSectionAddress, 0x1000, 0x1000, ins, layout.fde_encoding);
    Cie cie;
    const auto e = parseEntry(eh(s), fde_at, &cie);
    if (!e) return std::unexpected(e.error());
    return runProgram(cie, e->fde, eh(s), pc);
}

TEST(CfiProgram, AdvanceLocSelectsTheRowForPc) {
    // push rbp; mov rbp,rsp shape: at +1 cfa=rsp+16, rbp at cfa-16; at +4
    // cfa=rbp+16.
    const Bytes ins = {advance(1), cfa::def_cfa_offset, 16, offsetOf(6), 2, advance(3), cfa::def_cfa_register, 6};
    const Row r0 = *rowAt(ins, 0x1000);
    EXPECT_EQ(r0.cfa.reg, 7);
    EXPECT_EQ(r0.cfa.offset, 8);
    EXPECT_EQ(r0.regs[6].kind, RuleKind::unspecified);
    const Row r1 = *rowAt(ins, 0x1003);
    EXPECT_EQ(r1.cfa.offset, 16);
    EXPECT_EQ(r1.regs[6].kind, RuleKind::offset);
    EXPECT_EQ(r1.regs[6].offset, -16);
    EXPECT_EQ(r1.regs[16].offset, -8);  // from the CIE
    const Row r2 = *rowAt(ins, 0x1004);
    EXPECT_EQ(r2.cfa.reg, 6);
    EXPECT_EQ(r2.cfa.offset, 16);
}

TEST(CfiProgram, WideAdvancesAndCodeAlignmentScaleTheLocation) {
    CieLayout layout;
    layout.code_align = 4;
    Bytes ins = {cfa::advance_loc1, 2, cfa::def_cfa_offset, 24};              // 2*4
    u8s(ins, {cfa::advance_loc2, 0x00, 0x01, cfa::def_cfa_offset, 32});       // 256*4
    u8s(ins, {cfa::advance_loc4, 1, 0, 0, 0, cfa::def_cfa_offset, 40});       // 1*4
    EXPECT_EQ(rowAt(ins, 0x1007, layout)->cfa.offset, 8);
    EXPECT_EQ(rowAt(ins, 0x1008, layout)->cfa.offset, 24);
    EXPECT_EQ(rowAt(ins, 0x1407, layout)->cfa.offset, 24);
    EXPECT_EQ(rowAt(ins, 0x1408, layout)->cfa.offset, 32);
    EXPECT_EQ(rowAt(ins, 0x140c, layout)->cfa.offset, 40);
}

TEST(CfiProgram, SetLocMovesToAnAbsoluteLocation) {
    CieLayout layout;
    layout.fde_encoding = pe::udata4;
    Bytes ins = {cfa::set_loc};
    le32(ins, 0x1010);
    u8s(ins, {cfa::def_cfa_offset, 48});
    EXPECT_EQ(rowAt(ins, 0x100f, layout)->cfa.offset, 8);
    EXPECT_EQ(rowAt(ins, 0x1010, layout)->cfa.offset, 48);
}

TEST(CfiProgram, OffsetFamilyRecordsFactoredOffsets) {
    const Bytes ins = {cfa::offset_extended, 3, 2,                // rbx, 2*-8
                       cfa::offset_extended_sf, 12, 0x7d,         // r12, -3*-8 = +24
                       cfa::gnu_negative_offset_extended, 13, 1,  // r13, -(1*-8)
                       cfa::val_offset, 14, 2,                    // r14, 2*-8
                       cfa::val_offset_sf, 15, 0x7f};             // r15, -1*-8
    const Row r = *rowAt(ins, 0x1000);
    EXPECT_EQ(r.regs[3].kind, RuleKind::offset);
    EXPECT_EQ(r.regs[3].offset, -16);
    EXPECT_EQ(r.regs[12].offset, 24);
    EXPECT_EQ(r.regs[13].kind, RuleKind::offset);
    EXPECT_EQ(r.regs[13].offset, 8);
    EXPECT_EQ(r.regs[14].kind, RuleKind::val_offset);
    EXPECT_EQ(r.regs[14].offset, -16);
    EXPECT_EQ(r.regs[15].kind, RuleKind::val_offset);
    EXPECT_EQ(r.regs[15].offset, 8);
}

TEST(CfiProgram, RestoreReturnsToTheCieRule) {
    CieLayout layout;
    layout.instructions = {cfa::def_cfa, 7, 8, offsetOf(16), 1, offsetOf(3), 5};  // ra at cfa-8; rbx at cfa-40
    const Bytes ins = {offsetOf(16), 3,                                 // ra at cfa-24
                       offsetOf(3), 2,                                  // rbx at cfa-16
                       advance(1), restoreOf(16), cfa::restore_extended, 3};
    EXPECT_EQ(rowAt(ins, 0x1000, layout)->regs[16].offset, -24);
    const Row r = *rowAt(ins, 0x1001, layout);
    EXPECT_EQ(r.regs[16].offset, -8);
    EXPECT_EQ(r.regs[3].offset, -40);
}

TEST(CfiProgram, UndefinedSameValueAndRegisterRules) {
    const Bytes ins = {cfa::undefined, 16, cfa::same_value, 3, cfa::register_, 12, 5};
    const Row r = *rowAt(ins, 0x1000);
    EXPECT_EQ(r.regs[16].kind, RuleKind::undefined);
    EXPECT_EQ(r.regs[3].kind, RuleKind::same_value);
    EXPECT_EQ(r.regs[12].kind, RuleKind::reg);
    EXPECT_EQ(r.regs[12].reg, 5);
    EXPECT_EQ(rowAt({cfa::register_, 12, 40}, 0x1000).error(), Error::UnsupportedRegister);
}

TEST(CfiProgram, RememberAndRestoreStateNest) {
    const Bytes ins = {cfa::remember_state, cfa::def_cfa_offset, 32, offsetOf(6), 4,  // rbp at -32
                       advance(1), cfa::remember_state, cfa::def_cfa_offset, 64,
                       advance(1), cfa::restore_state,   // cfa+32, rbp kept
                       advance(1), cfa::restore_state};  // cfa+8, no rbp
    EXPECT_EQ(rowAt(ins, 0x1001)->cfa.offset, 64);
    const Row r2 = *rowAt(ins, 0x1002);
    EXPECT_EQ(r2.cfa.offset, 32);
    EXPECT_EQ(r2.regs[6].kind, RuleKind::offset);
    const Row r3 = *rowAt(ins, 0x1003);
    EXPECT_EQ(r3.cfa.offset, 8);
    EXPECT_EQ(r3.regs[6].kind, RuleKind::unspecified);
    EXPECT_EQ(r3.location, 0x1003u);
}

TEST(CfiProgram, RememberStateDepthAndEmptyRestoreAreErrors) {
    EXPECT_EQ(rowAt({cfa::restore_state}, 0x1000).error(), Error::StackUnderflow);
    const Bytes deep(max_remembered_rows + 1, cfa::remember_state);
    EXPECT_EQ(rowAt(deep, 0x1000).error(), Error::StackOverflow);
    const Bytes fits(max_remembered_rows, cfa::remember_state);
    EXPECT_TRUE(rowAt(fits, 0x1000).has_value());
}

TEST(CfiProgram, CfaDefinitionFamily) {
    const Bytes ins = {cfa::def_cfa, 6, 16,                        // rbp+16
                       advance(1), cfa::def_cfa_register, 3,        // rbx
                       advance(1), cfa::def_cfa_offset, 40,         // 40
                       advance(1), cfa::def_cfa_sf, 7, 0x7e,        // rsp, -2*-8 = 16
                       advance(1), cfa::def_cfa_offset_sf, 0x7c};   // -4*-8 = 32
    EXPECT_EQ(rowAt(ins, 0x1000)->cfa.reg, 6);
    EXPECT_EQ(rowAt(ins, 0x1001)->cfa.reg, 3);
    EXPECT_EQ(rowAt(ins, 0x1001)->cfa.offset, 16);
    EXPECT_EQ(rowAt(ins, 0x1002)->cfa.offset, 40);
    const Row r3 = *rowAt(ins, 0x1003);
    EXPECT_EQ(r3.cfa.reg, 7);
    EXPECT_EQ(r3.cfa.offset, 16);
    EXPECT_EQ(rowAt(ins, 0x1004)->cfa.offset, 32);
    EXPECT_EQ(rowAt({cfa::def_cfa, 17, 8}, 0x1000).error(), Error::UnsupportedRegister);
}

TEST(CfiProgram, CfaOffsetWithoutARegisterRuleIsInvalidCfa) {
    // def_cfa_expression, then def_cfa_offset: there is no register to add to.
    EXPECT_EQ(rowAt({cfa::def_cfa_expression, 2, breg(7), 0, cfa::def_cfa_offset, 8}, 0x1000).error(),
              Error::InvalidCFA);
    EXPECT_EQ(rowAt({cfa::def_cfa_expression, 2, breg(7), 0, cfa::def_cfa_register, 6}, 0x1000).error(),
              Error::InvalidCFA);
    // The offset forms are refused before their operand is read: a cut-off
    // operand does not turn the error into a damaged table.
    EXPECT_EQ(rowAt({cfa::def_cfa_expression, 2, breg(7), 0, cfa::def_cfa_offset}, 0x1000).error(),
              Error::InvalidCFA);
    EXPECT_EQ(rowAt({cfa::def_cfa_expression, 2, breg(7), 0, cfa::def_cfa_offset_sf}, 0x1000).error(),
              Error::InvalidCFA);
    // The register form reads its register first: one it cannot track wins.
    EXPECT_EQ(rowAt({cfa::def_cfa_expression, 2, breg(7), 0, cfa::def_cfa_register, 17}, 0x1000).error(),
              Error::UnsupportedRegister);
}

// Scaled offsets and advances that leave 64 bits are errors, not wrapped
// values (nor a trap in the checked build).
TEST(CfiProgram, ScalingThatOverflowsIsAnError) {
    Bytes huge = {cfa::offset_extended, 3};
    uleb(huge, u64{1} << 62);  // * -8
    EXPECT_EQ(rowAt(huge, 0x1000).error(), Error::Overflow);
    CieLayout unit_factor;
    unit_factor.data_align = 1;
    Bytes most_negative = {cfa::gnu_negative_offset_extended, 3};
    uleb(most_negative, u64{1} << 63);  // INT64_MIN, which has no negation
    EXPECT_EQ(rowAt(most_negative, 0x1000, unit_factor).error(), Error::Overflow);
    CieLayout wide_code;
    wide_code.code_align = u64{1} << 62;
    EXPECT_EQ(rowAt({advance(4)}, 0x1000, wide_code).error(), Error::Overflow);
    EXPECT_EQ(rowAt({cfa::def_cfa_sf, 7, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x40}, 0x1000).error(),
              Error::Overflow);
}

TEST(CfiProgram, ExpressionRulesCaptureTheirBlocks) {
    const Bytes ins = {cfa::def_cfa_expression, 3, breg(7), 0x20, op::deref,  // breg7 32; deref
                       cfa::expression, 6, 2, breg(7), 0x10,                 // rbp: breg7 16
                       cfa::val_expression, 3, 1, lit(8)};                   // rbx: lit8
    const Row r = *rowAt(ins, 0x1000);
    EXPECT_EQ(r.cfa.kind, CfaRule::Kind::expression);
    EXPECT_EQ(r.cfa.expression.size(), 3u);
    EXPECT_EQ(r.regs[6].kind, RuleKind::expression);
    EXPECT_EQ(r.regs[6].expression.size(), 2u);
    EXPECT_EQ(r.regs[3].kind, RuleKind::val_expression);
    EXPECT_EQ(rowAt({cfa::expression, 6, 9, breg(7)}, 0x1000).error(), Error::InvalidDebugInfo);  // block past the end
}

TEST(CfiProgram, ArgsSizeAndVectorRegistersAreAcceptedWithoutEffect) {
    const Row r = *rowAt({cfa::gnu_args_size, 16, cfa::offset_extended, 17, 4, offsetOf(6), 2}, 0x1000);
    EXPECT_EQ(r.args_size, 16u);
    EXPECT_EQ(r.regs[6].offset, -16);
    EXPECT_EQ(rowAt({cfa::offset_extended, 0x81, 0x02, 1}, 0x1000).error(), Error::InvalidRegister);  // register 257
}

TEST(CfiProgram, UnknownOpcodeAndTruncatedOperandsAreErrors) {
    constexpr u8 no_such_opcode = 0x3f;
    EXPECT_EQ(rowAt({no_such_opcode}, 0x1000).error(), Error::UnimplementedOpcode);
    EXPECT_EQ(rowAt({cfa::def_cfa, 7}, 0x1000).error(), Error::InvalidDebugInfo);
    EXPECT_EQ(rowAt({cfa::advance_loc4, 1, 0}, 0x1000).error(), Error::InvalidDebugInfo);
    EXPECT_EQ(rowAt({}, 0x3000).error(), Error::MissingDebugInfo);  // pc outside the FDE
}

// --- expressions ------------------------------------------------------------

Result<u64> eval(const Bytes& e, std::optional<u64> initial = std::nullopt) {
    return evaluateExpression(e, contextOnFakeStack(), initial);
}

TEST(CfiExpression, ConstantsOfEveryWidthAndSign) {
    EXPECT_EQ(*eval({op::lit31}), 31u);
    EXPECT_EQ(*eval({op::const1u, 0xff}), 255u);
    EXPECT_EQ(*eval({op::const1s, 0xff}), static_cast<u64>(-1));
    EXPECT_EQ(*eval({op::const2u, 0x34, 0x12}), 0x1234u);
    EXPECT_EQ(*eval({op::const2s, 0xfe, 0xff}), static_cast<u64>(-2));
    EXPECT_EQ(*eval({op::const4u, 1, 0, 0, 0x80}), 0x80000001u);
    EXPECT_EQ(*eval({op::const4s, 0xfd, 0xff, 0xff, 0xff}), static_cast<u64>(-3));
    EXPECT_EQ(*eval({op::const8u, 1, 2, 3, 4, 5, 6, 7, 8}), 0x0807060504030201u);
    EXPECT_EQ(*eval({op::const8s, 0xfc, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}), static_cast<u64>(-4));
    EXPECT_EQ(*eval({op::constu, 0xe5, 0x8e, 0x26}), 624485u);
    EXPECT_EQ(*eval({op::consts, 0x7f}), static_cast<u64>(-1));
    EXPECT_EQ(*eval({op::addr, 8, 7, 6, 5, 4, 3, 2, 1}), 0x0102030405060708u);
    EXPECT_EQ(eval({op::const4u, 1, 0}).error(), Error::InvalidDebugInfo);  // cut off
}

TEST(CfiExpression, StackOperations) {
    EXPECT_EQ(*eval({lit(1), op::dup, op::plus}), 2u);
    EXPECT_EQ(*eval({lit(1), lit(2), op::drop}), 1u);
    EXPECT_EQ(*eval({lit(1), lit(2), op::over}), 1u);
    EXPECT_EQ(*eval({lit(1), lit(2), lit(3), op::pick, 2}), 1u);
    EXPECT_EQ(*eval({lit(1), lit(2), op::swap}), 1u);
    EXPECT_EQ(*eval({lit(1), lit(2), lit(3), op::rot}), 2u);  // 1 2 3 -> 3 1 2
    EXPECT_EQ(*eval({lit(1), lit(2), lit(3), op::rot, op::drop, op::drop}), 3u);
    EXPECT_EQ(eval({lit(1), op::pick, 1}).error(), Error::StackUnderflow);
    EXPECT_EQ(eval({op::swap}).error(), Error::StackUnderflow);
    EXPECT_EQ(eval({lit(1), op::over}).error(), Error::StackUnderflow);
    EXPECT_EQ(eval({lit(1), lit(2), op::rot}).error(), Error::StackUnderflow);
    EXPECT_EQ(eval({op::dup}).error(), Error::StackUnderflow);
    EXPECT_EQ(eval({}).error(), Error::StackUnderflow);
    EXPECT_EQ(*eval({}, 77), 77u);  // the pushed initial value alone
    const Bytes deep(expression_stack_size + 1, op::lit0);
    EXPECT_EQ(eval(deep).error(), Error::StackOverflow);
    Bytes full(expression_stack_size, op::lit0);
    full.push_back(op::dup);
    EXPECT_EQ(eval(full).error(), Error::StackOverflow);
}

TEST(CfiExpression, ArithmeticAndLogic) {
    EXPECT_EQ(*eval({lit(10), lit(3), op::minus}), 7u);
    EXPECT_EQ(*eval({lit(3), lit(10), op::minus, op::abs}), 7u);
    EXPECT_EQ(*eval({op::const1s, 0xf6, lit(3), op::div}), static_cast<u64>(-3));  // -10 / 3, signed
    EXPECT_EQ(*eval({lit(10), lit(3), op::mod}), 1u);
    EXPECT_EQ(*eval({lit(6), lit(7), op::mul}), 42u);
    EXPECT_EQ(*eval({lit(5), op::neg}), static_cast<u64>(-5));
    EXPECT_EQ(*eval({lit(0), op::not_}), ~u64{0});
    EXPECT_EQ(*eval({lit(12), lit(10), op::and_}), 8u);
    EXPECT_EQ(*eval({lit(12), lit(10), op::or_}), 14u);
    EXPECT_EQ(*eval({lit(12), lit(10), op::xor_}), 6u);
    EXPECT_EQ(*eval({lit(1), lit(4), op::shl}), 16u);
    EXPECT_EQ(*eval({op::const1s, 0xf0, lit(2), op::shr}), (~u64{0} - 15) >> 2);  // logical shift
    EXPECT_EQ(*eval({op::const1s, 0xf0, lit(2), op::shra}), static_cast<u64>(-4));  // arithmetic shift
    EXPECT_EQ(*eval({lit(1), op::const1u, 64, op::shl}), 0u);  // shift past the width
    EXPECT_EQ(*eval({op::const1s, 0xf0, op::const1u, 64, op::shra}), ~u64{0});
    EXPECT_EQ(*eval({lit(5), op::plus_uconst, 0x80, 0x01}), 133u);  // plus_uconst 128
    EXPECT_EQ(eval({lit(1), lit(0), op::div}).error(), Error::InvalidExpression);  // division by zero
    EXPECT_EQ(eval({lit(1), lit(0), op::mod}).error(), Error::InvalidExpression);  // modulo by zero
    // The one quotient that does not fit: INT64_MIN / -1.
    EXPECT_EQ(eval({op::const8u, 0, 0, 0, 0, 0, 0, 0, 0x80, op::const1s, 0xff, op::div}).error(),
              Error::InvalidExpression);
    EXPECT_EQ(eval({lit(1), op::plus}).error(), Error::StackUnderflow);
}

// The addend comes off the stack first: an empty stack is the error even
// when the operand is cut off as well.
TEST(CfiExpression, PlusUconstOnAnEmptyStackIsAnUnderflowWhateverItsOperand) {
    EXPECT_EQ(eval({op::plus_uconst}).error(), Error::StackUnderflow);
    EXPECT_EQ(eval({lit(1), op::plus_uconst}).error(), Error::InvalidDebugInfo);
}

TEST(CfiExpression, ComparisonsAreSigned) {
    EXPECT_EQ(*eval({op::const1s, 0xff, lit(1), op::lt}), 1u);  // -1 < 1
    EXPECT_EQ(*eval({op::const1s, 0xff, lit(1), op::gt}), 0u);  // -1 > 1
    EXPECT_EQ(*eval({lit(1), op::const1s, 0xff, op::gt}), 1u);  // 1 > -1
    EXPECT_EQ(*eval({lit(2), lit(2), op::eq}), 1u);
    EXPECT_EQ(*eval({lit(2), lit(2), op::ne}), 0u);
    EXPECT_EQ(*eval({lit(2), lit(2), op::ge}), 1u);
    EXPECT_EQ(*eval({lit(2), lit(3), op::le}), 1u);
    EXPECT_EQ(*eval({lit(3), lit(2), op::le}), 0u);
}

TEST(CfiExpression, BranchesAndSkips) {
    // lit1; bra +1; lit5 (skipped); lit7
    EXPECT_EQ(*eval({lit(1), op::bra, 1, 0, lit(5), lit(7)}), 7u);
    // lit0; bra +1 (not taken); lit5
    EXPECT_EQ(*eval({lit(0), op::bra, 1, 0, lit(5)}), 5u);
    EXPECT_EQ(*eval({op::skip, 1, 0, lit(5), lit(6)}), 6u);
    EXPECT_EQ(eval({op::skip, 0x10, 0}).error(), Error::InvalidExpression);     // past the end
    EXPECT_EQ(eval({op::skip, 0xfd, 0xff}).error(), Error::InvalidExpression);  // skip -3: loops forever
    EXPECT_EQ(eval({lit(1), op::skip, 0xf8, 0xff}).error(), Error::InvalidExpression);  // before the start
    EXPECT_EQ(*eval({lit(0), lit(0), op::bra, 0x10, 0}), 0u);  // a bad target not taken is harmless
    EXPECT_EQ(eval({op::bra, 1, 0}).error(), Error::StackUnderflow);
}

TEST(CfiExpression, RegistersAndMemory) {
    fake_stack[8] = 0x1122334455667788;
    EXPECT_EQ(*eval({breg(3), 0x05}), 1003u + 5);                         // breg3 +5
    EXPECT_EQ(*eval({op::bregx, 12, 0x7f}), 1012u - 1);                   // bregx r12 -1
    EXPECT_EQ(*eval({breg(7), 0, op::deref}), 0x1122334455667788u);
    EXPECT_EQ(*eval({breg(7), 0, op::deref_size, 2}), 0x7788u);
    EXPECT_EQ(eval({breg(3), 0, op::deref}).error(), Error::InvalidDebugInfo);  // 1003 is not readable
    EXPECT_EQ(eval({breg(7), 0, op::deref_size, 9}).error(), Error::InvalidExpression);
    EXPECT_EQ(eval({op::bregx, 40, 0}).error(), Error::UnsupportedRegister);
    EXPECT_EQ(eval({breg(31), 0}).error(), Error::UnsupportedRegister);
    // An address whose 8 bytes would wrap past the top is refused even when
    // the check only looks at the first byte.
    UnwindContext lax = contextOnFakeStack();
    lax.is_valid_memory = [](usize) { return true; };
    EXPECT_EQ(evaluateExpression(Bytes{op::const1s, 0xf8, op::deref}, lax, std::nullopt).error(),
              Error::InvalidDebugInfo);
    EXPECT_EQ(evaluateExpression(Bytes{op::const1s, 0xff, op::deref_size, 2}, lax, std::nullopt).error(),
              Error::InvalidDebugInfo);
    UnwindContext ctx = contextOnFakeStack();
    ctx.reg_valid[3] = false;
    EXPECT_EQ(evaluateExpression(Bytes{breg(3), 0}, ctx, std::nullopt).error(), Error::InvalidRegister);
}

TEST(CfiExpression, OperationsWithoutAValueAreRejected) {
    EXPECT_EQ(eval({op::reg0}).error(), Error::InvalidExpression);
    EXPECT_EQ(eval({op::reg31}).error(), Error::InvalidExpression);
    EXPECT_EQ(eval({op::regx}).error(), Error::InvalidExpression);  // refused before its operand
    EXPECT_EQ(eval({op::call_frame_cfa}).error(), Error::InvalidExpression);
    EXPECT_EQ(eval({lit(1), op::stack_value}).error(), Error::InvalidExpression);
    EXPECT_EQ(eval({op::call2, 0, 0}).error(), Error::UnimplementedExpressionCall);
    EXPECT_EQ(eval({op::call4}).error(), Error::UnimplementedExpressionCall);
    EXPECT_EQ(eval({op::call_ref}).error(), Error::UnimplementedExpressionCall);
    constexpr u8 vendor_opcode = 0xe0;
    EXPECT_EQ(eval({vendor_opcode}).error(), Error::UnimplementedOpcode);
    EXPECT_EQ(eval({op::xderef}).error(), Error::UnimplementedOpcode);
    EXPECT_EQ(*eval({op::nop, lit(1)}), 1u);
}

// --- applying rows -------------------------------------------------------------

TEST(CfiApply, ComputesCallerRegistersFromTheCfa) {
    // The callee's frame: rsp = &fake_stack[8]; cfa = rsp + 16; the return
    // address at cfa-8 and the saved rbp at cfa-16.
    std::memset(fake_stack, 0, sizeof fake_stack);
    fake_stack[8] = 0xbbbb;   // saved rbp
    fake_stack[9] = 0x4321;   // return address
    Bytes s;
    const usize cie_at = appendCie(s, {});
    appendFde(s, cie_at, kSectionAddress, 0x1000, 0x100,
              {cfa::def_cfa_offset, 16, offsetOf(6), 2, cfa::register_, 3, 12, cfa::val_offset, 13, 1});
    UnwindContext ctx = contextOnFakeStack();
    ctx.pc = 0x1010;
    const usize ra = *unwindFrameInSection(ctx, eh(s));
    EXPECT_EQ(ra, 0x4321u);
    EXPECT_EQ(ctx.pc, 0x4321u);
    EXPECT_EQ(ctx.cfa, reinterpret_cast<usize>(&fake_stack[10]));
    EXPECT_EQ(ctx.regs[7], reinterpret_cast<u64>(&fake_stack[10]));  // rsp = cfa
    EXPECT_EQ(ctx.regs[6], 0xbbbbu);
    EXPECT_EQ(ctx.regs[3], 1012u);                                   // rbx from r12
    EXPECT_EQ(ctx.regs[13], reinterpret_cast<u64>(&fake_stack[9]));   // val_offset: cfa-8
    EXPECT_EQ(ctx.regs[12], 1012u);                                   // unspecified: unchanged
    EXPECT_FALSE(ctx.exact_pc);
}

TEST(CfiApply, LookupUsesTheCallInstructionNotTheReturnAddress) {
    // An FDE ending at 0x1010: a return address of exactly 0x1010 still
    // belongs to it (the call is its last instruction), unless the pc is
    // exact.
    Bytes s;
    const usize cie_at = appendCie(s, {});
    appendFde(s, cie_at, kSectionAddress, 0x1000, 0x10, {});
    fake_stack[8] = 0x999;
    UnwindContext ctx = contextOnFakeStack();
    ctx.pc = 0x1010;
    EXPECT_EQ(*unwindFrameInSection(ctx, eh(s)), 0x999u);
    UnwindContext exact = contextOnFakeStack();
    exact.pc = 0x1010;
    exact.exact_pc = true;
    EXPECT_EQ(unwindFrameInSection(exact, eh(s)).error(), Error::MissingDebugInfo);
}

TEST(CfiApply, SignalFrameExpressionsRestoreTheInterruptedRegisters) {
    // The shape of the C library's signal trampoline: the CFA is loaded
    // from the saved context, and every register has an expression on it.
    std::memset(fake_stack, 0, sizeof fake_stack);
    u64* sc = &fake_stack[8];               // rsp points at the saved context
    sc[20] = reinterpret_cast<u64>(&fake_stack[40]);  // saved rsp at +160
    sc[21] = 0x5555;                         // saved rip at +168
    sc[15] = 0x6666;                         // saved rbp at +120
    CieLayout layout;
    layout.augmentation = "zRS";
    layout.instructions = {};
    Bytes ins = {cfa::def_cfa_expression, 4, breg(7), 0xa0, 0x01, op::deref,  // breg7 160; deref
                 cfa::expression, 6, 3, breg(7), 0xf8, 0x00,                  // rbp: breg7 120
                 cfa::expression, 7, 3, breg(7), 0xa0, 0x01,                  // rsp: breg7 160
                 cfa::expression, 16, 3, breg(7), 0xa8, 0x01};                // rip: breg7 168
    Bytes s;
    const usize cie_at = appendCie(s, layout);
    appendFde(s, cie_at, kSectionAddress, 0x1fff, 0x10, ins);
    UnwindContext ctx = contextOnFakeStack();
    ctx.pc = 0x2000;  // the trampoline's first byte; its FDE starts one before
    EXPECT_EQ(*unwindFrameInSection(ctx, eh(s)), 0x5555u);
    EXPECT_EQ(ctx.regs[6], 0x6666u);
    EXPECT_EQ(ctx.regs[7], reinterpret_cast<u64>(&fake_stack[40]));
    EXPECT_EQ(ctx.cfa, reinterpret_cast<usize>(&fake_stack[40]));
    // The interrupted frame's pc is the faulting instruction itself.
    EXPECT_TRUE(ctx.exact_pc);
    EXPECT_EQ(lookupAddress(ctx), 0x5555u);
}

TEST(CfiApply, UndefinedReturnAddressEndsTheWalk) {
    Bytes s;
    const usize cie_at = appendCie(s, {});
    appendFde(s, cie_at, kSectionAddress, 0x1000, 0x10, {cfa::undefined, 16});
    UnwindContext ctx = contextOnFakeStack();
    ctx.pc = 0x1004;
    EXPECT_EQ(*unwindFrameInSection(ctx, eh(s)), 0u);
    EXPECT_EQ(ctx.pc, 0u);
    EXPECT_EQ(unwindFrameInSection(ctx, eh(s)).error(), Error::InvalidDebugInfo);  // nothing left
}

TEST(CfiApply, UnreadableSavedSlotIsAnErrorAndLeavesTheContextAlone) {
    Bytes s;
    const usize cie_at = appendCie(s, {});
    appendFde(s, cie_at, kSectionAddress, 0x1000, 0x10, {cfa::def_cfa_offset, 0x80, 0x08});  // cfa = rsp + 1024
    UnwindContext ctx = contextOnFakeStack();
    ctx.pc = 0x1004;
    const UnwindContext before = ctx;
    EXPECT_EQ(unwindFrameInSection(ctx, eh(s)).error(), Error::InvalidDebugInfo);
    EXPECT_EQ(ctx.pc, before.pc);
    EXPECT_EQ(ctx.regs[7], before.regs[7]);
}

TEST(CfiApply, CfaFromAnInvalidRegisterIsAnError) {
    Bytes s;
    const usize cie_at = appendCie(s, {});
    appendFde(s, cie_at, kSectionAddress, 0x1000, 0x10, {cfa::def_cfa_register, 6});
    UnwindContext ctx = contextOnFakeStack();
    ctx.reg_valid[6] = false;
    ctx.pc = 0x1004;
    EXPECT_EQ(unwindFrameInSection(ctx, eh(s)).error(), Error::InvalidRegister);
}

// Damaged tables: every byte of a valid table flipped at random, thousands
// of times. Each attempt either fails with an error or yields a row that
// belongs to the FDE it came from, and applying it reads memory only
// through the check (the sanitizer builds would catch a stray read).
TEST(CfiRobustness, RandomlyDamagedTablesGiveErrorsOrConsistentRows) {
    Bytes good;
    CieLayout layout;
    layout.instructions = {cfa::def_cfa, 7, 8, offsetOf(16), 1, cfa::remember_state, cfa::restore_state};
    const usize cie_at = appendCie(good, layout);
    appendFde(good, cie_at, kSectionAddress, 0x1000, 0x40,
              {advance(1), cfa::def_cfa_offset, 16, offsetOf(6), 2, cfa::remember_state, advance(1),
               cfa::def_cfa_expression, 3, breg(7), 0x10, op::deref, cfa::expression, 3, 2, breg(7), 0x08,
               cfa::restore_state});
    le32(good, 0);
    u64 state = 0x9e3779b97f4a7c15u;
    auto next = [&] {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    int errors = 0, rows = 0;
    for (int attempt = 0; attempt < 5000; ++attempt) {
        Bytes damaged = good;
        const int flips = 1 + static_cast<int>(next() % 4);
        for (int f = 0; f < flips; ++f) damaged[next() % damaged.size()] = static_cast<u8>(next());
        const u64 pc = 0x1000 + next() % 0x40;
        Cie cie;
        const auto fde = findFdeLinear(eh(damaged), pc, &cie);
        if (!fde) {
            ++errors;
            continue;
        }
        const auto row = runProgram(cie, *fde, eh(damaged), pc);
        if (!row) {
            ++errors;
            continue;
        }
        ++rows;
        ASSERT_GE(row->location, fde->pc_begin);
        ASSERT_LE(row->location, pc);
        UnwindContext ctx = contextOnFakeStack();
        ctx.pc = pc;
        (void)applyRow(*row, cie, ctx);
    }
    // Both outcomes occur: the damage is neither always fatal nor ignored.
    EXPECT_GT(errors, 100);
    EXPECT_GT(rows, 100);
}

}  // namespace
