// The reader's building blocks on hand-made bytes, and lookups of this
// test program's own functions.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "debuginfo/byte_reader.hpp"
#include "debuginfo/debuginfo.hpp"
#include "debuginfo/dwarf_constants.hpp"
#include "debuginfo/dwarf_info.hpp"
#include "debuginfo/elf_image.hpp"
#include "support/lazy.hpp"
#include "tests/debuginfo/shell.hpp"

namespace {

using xov_test::readFile;

using dwarf::ByteReader;
namespace form = dwarf::form;
namespace lnct = dwarf::lnct;
namespace lne = dwarf::lne;
namespace lns = dwarf::lns;

std::span<const u8> bytesOf(const std::vector<u8>& v) { return {v.data(), v.size()}; }

TEST(ByteReader, DecodesMultiByteLeb128) {
    const std::vector<u8> bytes = {0xe5, 0x8e, 0x26,   // uleb 624485
                                   0xc0, 0xbb, 0x78,   // sleb -123456
                                   0x3f,               // sleb 63 (sign bit clear)
                                   0x40,               // sleb -64
                                   0x7f,               // sleb -1
                                   0x80, 0x7f,         // sleb -128
                                   0x02};              // sleb 2
    ByteReader r(bytesOf(bytes));
    EXPECT_EQ(*r.readUleb(), 624485u);
    EXPECT_EQ(*r.readSleb(), -123456);
    EXPECT_EQ(*r.readSleb(), 63);
    EXPECT_EQ(*r.readSleb(), -64);
    EXPECT_EQ(*r.readSleb(), -1);
    EXPECT_EQ(*r.readSleb(), -128);
    EXPECT_EQ(*r.readSleb(), 2);
    EXPECT_TRUE(r.atEnd());
}

TEST(ByteReader, RejectsOverlongAndUnterminatedLeb128) {
    const std::vector<u8> overlong(11, 0x80);
    ByteReader a(bytesOf(overlong));
    EXPECT_EQ(a.readUleb().error(), Error::InvalidDebugInfo);
    const std::vector<u8> unterminated = {0x80, 0x80};
    ByteReader b(bytesOf(unterminated));
    EXPECT_EQ(b.readSleb().error(), Error::InvalidDebugInfo);
    ByteReader c(bytesOf(unterminated));
    EXPECT_EQ(c.readUleb().error(), Error::InvalidDebugInfo);
}

// 64 bits exactly, in at most 10 bytes: the largest values decode, a bit
// beyond them is malformed rather than cut off, and so is an 11th byte.
TEST(ByteReader, Leb128CarriesExactlySixtyFourBits) {
    struct Case {
        std::vector<u8> bytes;
        bool is_signed;
        std::optional<u64> value;  // none: malformed
    };
    auto run = [](usize n, u8 fill, std::vector<u8> tail) {
        std::vector<u8> b(n, fill);
        b.insert(b.end(), tail.begin(), tail.end());
        return b;
    };
    const Case cases[] = {
        {run(9, 0xff, {0x01}), false, ~u64{0}},
        {run(9, 0x80, {0x01}), false, u64{1} << 63},
        {run(9, 0xff, {0x03}), false, std::nullopt},  // bit 64
        {run(9, 0x80, {0x40}), false, std::nullopt},  // bit 69
        {run(1, 0x85, run(8, 0x80, {0x00})), false, 5},  // 5 padded to 10 bytes
        {run(1, 0x85, run(9, 0x80, {0x00})), false, std::nullopt},  // and to 11
        {run(11, 0xff, {}), false, std::nullopt},  // 77 bits of ones
        {run(9, 0x80, {0x7f}), true, u64{1} << 63},  // the most negative
        {run(9, 0xff, {0x00}), true, ~u64{0} >> 1},  // the most positive
        {run(9, 0xff, {0x7f}), true, ~u64{0}},       // -1 padded to 10 bytes
        {run(9, 0x80, {0x01}), true, std::nullopt},  // +2^63
        {run(9, 0xff, {0x7e}), true, std::nullopt},  // a positive value with ones beyond bit 63
        {run(10, 0xff, {0x7f}), true, std::nullopt},  // -1 padded to 11 bytes
    };
    for (const Case& c : cases) {
        ByteReader r(bytesOf(c.bytes));
        Result<u64> got = std::unexpected(Error::InvalidDebugInfo);
        if (!c.is_signed) {
            got = r.readUleb();
        } else if (const Result<i64> sleb = r.readSleb()) {
            got = static_cast<u64>(*sleb);
        } else {
            got = std::unexpected(sleb.error());
        }
        if (c.value) {
            ASSERT_TRUE(got.has_value()) << c.bytes.size() << " bytes, signed " << c.is_signed;
            EXPECT_EQ(*got, *c.value) << c.bytes.size() << " bytes, signed " << c.is_signed;
            EXPECT_TRUE(r.atEnd());
        } else {
            EXPECT_EQ(got.error(), Error::InvalidDebugInfo) << c.bytes.size() << " bytes, signed " << c.is_signed;
        }
    }
}

TEST(ByteReader, ReadsNeverPassTheEnd) {
    const std::vector<u8> bytes = {1, 2, 3};
    ByteReader r(bytesOf(bytes));
    EXPECT_EQ(r.readU32().error(), Error::InvalidDebugInfo);
    EXPECT_EQ(r.pos, 0u);  // a failed read consumes nothing
    EXPECT_EQ(*r.readU16(), 0x0201u);
    EXPECT_EQ(r.skip(2).error(), Error::InvalidDebugInfo);
    EXPECT_EQ(r.take(~u64{0}).error(), Error::InvalidDebugInfo);
    EXPECT_EQ(r.seek(4).error(), Error::InvalidDebugInfo);
    ByteReader from_middle(bytesOf(bytes), 1);  // reads are bounded from where the reader starts
    EXPECT_EQ(from_middle.readU32().error(), Error::InvalidDebugInfo);
    EXPECT_EQ(from_middle.take(3).error(), Error::InvalidDebugInfo);
    EXPECT_EQ(*from_middle.readU16(), 0x0302u);
    const std::vector<u8> text = {'a', 'b'};
    ByteReader s(bytesOf(text));
    EXPECT_EQ(s.readCString().error(), Error::InvalidDebugInfo);
}

TEST(ByteReader, InitialLengthSelectsOffsetSize) {
    const std::vector<u8> dwarf64 = {0xff, 0xff, 0xff, 0xff, 0x10, 0, 0, 0, 0, 0, 0, 0};
    ByteReader r(bytesOf(dwarf64));
    u8 offset_size = 0;
    EXPECT_EQ(*r.readInitialLength(offset_size), 0x10u);
    EXPECT_EQ(offset_size, 8);
    const std::vector<u8> reserved = {0xf0, 0xff, 0xff, 0xff};
    ByteReader q(bytesOf(reserved));
    EXPECT_EQ(q.readInitialLength(offset_size).error(), Error::InvalidDebugInfo);
}

// A version 4 line program: header, one directory, two files, then a
// program exercising special, standard, unknown-standard and extended
// opcodes.
std::vector<u8> lineProgram(u8 line_range, bool truncate_program = false, std::vector<u8> program_override = {}) {
    std::vector<u8> header = {
        1,                     // minimum instruction length
        1,                     // maximum operations per instruction
        1,                     // default is_stmt
        static_cast<u8>(-5),   // line_base
        line_range,            // line_range
        14,                    // opcode_base: one vendor opcode (13) beyond the 12 standard
        0, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 1,  // operand counts of opcodes 1..12
        2,                     // opcode 13 takes two operands
        'i', 'n', 'c', 0, 0,   // include_directories: "inc", end
        'a', '.', 'c', 0, 0, 0, 0,  // file 1: a.c in the unit's directory
        'b', '.', 'h', 0, 1, 0, 0,  // file 2: b.h in "inc"
        0,                     // end of files
    };
    std::vector<u8> program = {
        lns::extended, 9, lne::set_address, 0x00, 0x10, 0, 0, 0, 0, 0, 0,  // 0x1000
        lns::set_column, 7,
        lns::copy,                            // row 0x1000 line 1 col 7
        lns::advance_line, 9,                 // line 10
        13, 0x81, 0x01, 5,                    // vendor opcode with two operands, skipped
        static_cast<u8>(14 + 5 + 2 * 14),     // special: address +2, line +0 -> row 0x1002 line 10
        lns::set_file, 2,
        lns::advance_pc, 6,                   // 0x1008
        lns::copy,                            // row 0x1008 file 2 line 10
        lns::advance_pc, 8,                   // 0x1010
        lns::extended, 1, lne::end_sequence,  // at 0x1010
    };
    if (!program_override.empty()) program = std::move(program_override);
    if (truncate_program) program.resize(program.size() - 2);
    std::vector<u8> unit;
    auto put16 = [&](u16 v) { unit.push_back(v & 0xff); unit.push_back(v >> 8); };
    auto put32 = [&](u32 v) { for (int i = 0; i < 4; ++i) unit.push_back((v >> (8 * i)) & 0xff); };
    put16(4);
    put32(static_cast<u32>(header.size()));
    unit.insert(unit.end(), header.begin(), header.end());
    unit.insert(unit.end(), program.begin(), program.end());
    std::vector<u8> out;
    const u32 length = static_cast<u32>(unit.size());
    for (int i = 0; i < 4; ++i) out.push_back((length >> (8 * i)) & 0xff);
    out.insert(out.end(), unit.begin(), unit.end());
    return out;
}

TEST(LineTable, RunsSpecialStandardAndExtendedOpcodes) {
    const auto bytes = lineProgram(14);
    dwarf::Sections s{};
    s.line = bytesOf(bytes);
    auto table = dwarf::parseLineTable(s, 0, 8, "/src", "a.c", debug::debugInfoAllocator());
    ASSERT_TRUE(table.has_value()) << errorName(table.error());
    ASSERT_EQ(table->sequences.size(), 1u);
    EXPECT_EQ(table->sequences[0].lo, 0x1000u);
    EXPECT_EQ(table->sequences[0].hi, 0x1010u);

    auto at = [&](u64 address) { return table->find(address); };
    EXPECT_FALSE(at(0xfff).has_value());
    ASSERT_TRUE(at(0x1000).has_value());
    EXPECT_EQ(at(0x1000)->line, 1u);
    EXPECT_EQ(at(0x1000)->column, 7u);
    EXPECT_EQ(at(0x1001)->line, 1u);
    EXPECT_EQ(at(0x1002)->line, 10u);
    EXPECT_EQ(at(0x1007)->file, 1u);
    EXPECT_EQ(at(0x1008)->file, 2u);
    EXPECT_EQ(at(0x100f)->line, 10u);
    EXPECT_FALSE(at(0x1010).has_value());  // the end address is outside

    EXPECT_EQ(*table->filePath(1, "/src", debug::debugInfoAllocator()), "/src/a.c");
    EXPECT_EQ(*table->filePath(2, "/src", debug::debugInfoAllocator()), "/src/inc/b.h");
    EXPECT_EQ(table->filePath(3, "/src", debug::debugInfoAllocator()).error(), Error::InvalidDebugInfo);
}

// Lookups resume the program from a checkpoint kept every few rows: every
// address of sequences longer than that must give the row a full run gives,
// also where rows share an address across a checkpoint, where sequences come
// out of address order, and where a discarded sequence sits at address 0.
TEST(LineTable, LookupsFromCheckpointsMatchAFullRun) {
    struct Row {
        u64 address;
        u32 line;
        u32 column;
    };
    struct Sequence {
        u64 lo, hi;
        std::vector<Row> rows;
    };
    std::vector<Sequence> expected;
    std::vector<u8> program;
    u32 line = 1;
    u32 column = 0;
    auto setAddress = [&](u64 a) {
        program.insert(program.end(), {lns::extended, 9, lne::set_address});
        for (int i = 0; i < 8; ++i) program.push_back(static_cast<u8>(a >> (8 * i)));
    };
    // A special opcode: address +2, line +1 (line_base -5, line_range 14).
    auto special = [&](Sequence& seq) {
        program.push_back(14 + 6 + 2 * 14);
        const u64 at = seq.rows.empty() ? seq.lo : seq.rows.back().address + 2;
        seq.rows.push_back(Row{at, ++line, column});
    };
    auto copyWithColumn = [&](Sequence& seq, u32 c) {
        program.insert(program.end(), {lns::set_column, static_cast<u8>(c), lns::copy});
        column = c;
        seq.rows.push_back(Row{seq.rows.back().address, line, column});
    };
    auto endSequence = [&](Sequence& seq, u64 hi) {
        program.insert(program.end(), {lns::advance_pc, static_cast<u8>(hi - seq.rows.back().address), lns::extended, 1,
                                       lne::end_sequence});
        seq.hi = hi;
        line = 1;
        column = 0;
    };

    // Over two checkpoints' worth of rows from 0x2000, with rows sharing an
    // address on either side of the first checkpoint after the start.
    constexpr int interval = static_cast<int>(dwarf::LineTable::checkpoint_interval);
    Sequence high{0x2000, 0, {}};
    setAddress(high.lo - 2);
    for (int i = 0; i < 2 * interval + 22; ++i) {
        special(high);
        if (i == interval - 2 || i == interval - 1) copyWithColumn(high, static_cast<u32>(i % 100));
    }
    endSequence(high, high.rows.back().address + 3);
    // 20 rows from 0x1000, after the higher sequence in the program.
    Sequence low{0x1000, 0, {}};
    setAddress(low.lo - 2);
    for (int i = 0; i < 20; ++i) special(low);
    endSequence(low, low.rows.back().address + 1);
    // Discarded code: a sequence at address 0.
    Sequence discarded{0, 0, {}};
    setAddress(0);
    program.push_back(lns::copy);
    discarded.rows.push_back(Row{0, 1, 0});
    for (int i = 0; i < 20; ++i) special(discarded);
    endSequence(discarded, 0x60);
    expected = {low, high};

    const auto bytes = lineProgram(14, false, program);
    dwarf::Sections s{};
    s.line = bytesOf(bytes);
    auto table = dwarf::parseLineTable(s, 0, 8, "/src", "a.c", debug::debugInfoAllocator());
    ASSERT_TRUE(table.has_value()) << errorName(table.error());
    ASSERT_EQ(table->sequences.size(), 2u);
    for (u64 address = 0; address < high.hi + 4; ++address) {
        std::optional<Row> want;
        for (const Sequence& seq : expected) {
            if (address < seq.lo || address >= seq.hi) continue;
            for (const Row& row : seq.rows)
                if (row.address <= address) want = row;
        }
        const auto got = table->find(address);
        ASSERT_EQ(got.has_value(), want.has_value()) << std::hex << address;
        if (!want) continue;
        EXPECT_EQ(got->address, want->address) << std::hex << address;
        EXPECT_EQ(got->line, want->line) << std::hex << address;
        EXPECT_EQ(got->column, want->column) << std::hex << address;
    }
}

// The line program of lineProgram(14) with its first run of `from` bytes
// replaced by `to`, and the unit's length set to match.
std::vector<u8> lineProgramWith(const std::vector<u8>& from, const std::vector<u8>& to) {
    auto bytes = lineProgram(14);
    auto at = std::search(bytes.begin(), bytes.end(), from.begin(), from.end());
    EXPECT_NE(at, bytes.end());
    const long where = at - bytes.begin();
    bytes.erase(bytes.begin() + where, bytes.begin() + where + static_cast<long>(from.size()));
    bytes.insert(bytes.begin() + where, to.begin(), to.end());
    const u32 length = static_cast<u32>(bytes.size() - 4);
    std::memcpy(bytes.data(), &length, 4);
    return bytes;
}

TEST(LineTable, ExtremeLineAdvancesWrapInsteadOfOverflowing) {
    // "advance_line +9" made the largest positive advance, 2^63 - 1.
    const auto bytes = lineProgramWith({lns::advance_line, 9},
                                       {lns::advance_line, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00});
    dwarf::Sections s{};
    s.line = bytesOf(bytes);
    auto table = dwarf::parseLineTable(s, 0, 8, "/src", "a.c", debug::debugInfoAllocator());
    ASSERT_TRUE(table.has_value());
    ASSERT_TRUE(table->find(0x1000).has_value());
    EXPECT_EQ(table->find(0x1000)->line, 1u);
    EXPECT_EQ(table->find(0x1002)->line, 0u);  // 1 + 2^63 - 1 wraps to 0 in 32 bits
}

// An operand of more than 64 bits is damage: cut to 64 bits, this one
// would read as the advance it replaces. Padding within 10 bytes is not.
TEST(LineTable, OperandsBeyondSixtyFourBitsAreInvalidButPaddingIsNot) {
    dwarf::Sections s{};
    // "advance_pc 6" as 2^64 + 6.
    const auto too_big = lineProgramWith({lns::advance_pc, 6},
                                           {lns::advance_pc, 0x86, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x02});
    s.line = bytesOf(too_big);
    EXPECT_EQ(dwarf::parseLineTable(s, 0, 8, "/src", "a.c", debug::debugInfoAllocator()).error(),
              Error::InvalidDebugInfo);
    // "advance_pc 6" in 10 bytes.
    const auto padded = lineProgramWith({lns::advance_pc, 6},
                                         {lns::advance_pc, 0x86, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00});
    s.line = bytesOf(padded);
    auto table = dwarf::parseLineTable(s, 0, 8, "/src", "a.c", debug::debugInfoAllocator());
    ASSERT_TRUE(table.has_value()) << errorName(table.error());
    ASSERT_EQ(table->sequences.size(), 1u);
    EXPECT_EQ(table->sequences[0].hi, 0x1010u);
    ASSERT_TRUE(table->find(0x1008).has_value());
    EXPECT_EQ(table->find(0x1008)->file, 2u);
    EXPECT_EQ(table->find(0x1007)->file, 1u);
}

TEST(LineTable, ZeroLineRangeIsInvalidNotADivisionByZero) {
    const auto bytes = lineProgram(0);
    dwarf::Sections s{};
    s.line = bytesOf(bytes);
    EXPECT_EQ(dwarf::parseLineTable(s, 0, 8, "/src", "a.c", debug::debugInfoAllocator()).error(),
              Error::InvalidDebugInfo);
}

TEST(LineTable, TruncatedProgramAndBadOffsetAreInvalid) {
    const auto full = lineProgram(14);
    for (usize cut = 1; cut < full.size(); cut += 3) {
        std::vector<u8> bytes(full.begin(), full.begin() + static_cast<long>(cut));
        dwarf::Sections s{};
        s.line = bytesOf(bytes);
        EXPECT_FALSE(dwarf::parseLineTable(s, 0, 8, "/src", "a.c", debug::debugInfoAllocator()).has_value())
            << "cut at " << cut;
    }
    dwarf::Sections s{};
    s.line = bytesOf(full);
    EXPECT_EQ(dwarf::parseLineTable(s, full.size(), 8, "", "", debug::debugInfoAllocator()).error(),
              Error::InvalidDebugInfo);
}

// A version 5 line program: two directories ("/src", "inc") and two files
// ("a.c" in the first, "b.h" in the second) in the forms given, each file
// with an MD5 digest the reader steps over, then one row in file 1. Both
// string sections hold every name, at different offsets.
struct Version5Forms {
    u16 dir_path;
    u16 file_path;
    u16 dir_index;
};

struct Version5Program {
    std::vector<u8> line;
    std::vector<u8> line_str;
    std::vector<u8> str;  // line_str's names 2 bytes further on
};

Version5Program lineProgramVersion5(const Version5Forms& forms) {
    Version5Program out;
    out.line_str = {'/', 's', 'r', 'c', 0, 'i', 'n', 'c', 0, 'a', '.', 'c', 0, 'b', '.', 'h', 0};
    out.str = {'-', 0};
    out.str.insert(out.str.end(), out.line_str.begin(), out.line_str.end());
    std::vector<u8> header = {
        1, 1, 1, static_cast<u8>(-5), 14,    // min inst length, max ops, default is_stmt, line_base, line_range
        13,                                  // opcode_base
        0, 1, 1, 1, 1, 0, 0, 0, 1, 0, 0, 1,  // operand counts of opcodes 1..12
    };
    auto path = [&](u16 how, std::string_view text, u8 offset) {
        if (how == form::string) {
            header.insert(header.end(), text.begin(), text.end());
            header.push_back(0);
        } else {
            // A 4-byte offset into the string section the form names.
            header.insert(header.end(), {static_cast<u8>(how == form::strp ? offset + 2 : offset), 0, 0, 0});
        }
    };
    auto index = [&](u16 how, u8 value) {
        header.push_back(value);
        if (how == form::data2) header.push_back(0);
    };
    header.insert(header.end(), {1, lnct::path, static_cast<u8>(forms.dir_path), 2});
    path(forms.dir_path, "/src", 0);
    path(forms.dir_path, "inc", 5);
    header.insert(header.end(), {3, lnct::path, static_cast<u8>(forms.file_path), lnct::directory_index,
                                 static_cast<u8>(forms.dir_index), lnct::md5, form::data16, 2});
    path(forms.file_path, "a.c", 9);
    index(forms.dir_index, 0);
    header.insert(header.end(), 16, 0xaa);
    path(forms.file_path, "b.h", 13);
    index(forms.dir_index, 1);
    header.insert(header.end(), 16, 0xbb);
    const std::vector<u8> program = {
        lns::extended, 9, lne::set_address, 0x00, 0x10, 0, 0, 0, 0, 0, 0,  // 0x1000
        lns::set_file, 1,
        lns::copy,                            // row 0x1000 file 1 line 1
        lns::advance_pc, 4,                   // 0x1004
        lns::extended, 1, lne::end_sequence,  // at 0x1004
    };
    std::vector<u8> unit = {5, 0, 8, 0};  // version 5, address size 8, no segment selector
    for (int i = 0; i < 4; ++i) unit.push_back(static_cast<u8>(header.size() >> (8 * i)));
    unit.insert(unit.end(), header.begin(), header.end());
    unit.insert(unit.end(), program.begin(), program.end());
    for (int i = 0; i < 4; ++i) out.line.push_back(static_cast<u8>(unit.size() >> (8 * i)));
    out.line.insert(out.line.end(), unit.begin(), unit.end());
    return out;
}

TEST(LineTable, Version5EntriesTakeTheirPathsAndDirectoriesInEveryForm) {
    const Version5Forms cases[] = {
        {form::line_strp, form::line_strp, form::udata},
        {form::strp, form::strp, form::data1},
        {form::string, form::string, form::data2},
        {form::line_strp, form::string, form::udata},
    };
    for (const Version5Forms& forms : cases) {
        SCOPED_TRACE(testing::Message() << "forms " << forms.dir_path << " " << forms.file_path << " "
                                        << forms.dir_index);
        const Version5Program bytes = lineProgramVersion5(forms);
        dwarf::Sections s{};
        s.line = bytesOf(bytes.line);
        s.str = bytesOf(bytes.str);
        s.line_str = bytesOf(bytes.line_str);
        auto table = dwarf::parseLineTable(s, 0, 8, "/elsewhere", "unit.c", debug::debugInfoAllocator());
        ASSERT_TRUE(table.has_value()) << errorName(table.error());
        ASSERT_EQ(table->files.size(), 2u);
        EXPECT_EQ(*table->filePath(0, "/src", debug::debugInfoAllocator()), "/src/a.c");
        EXPECT_EQ(*table->filePath(1, "/src", debug::debugInfoAllocator()), "/src/inc/b.h");
        ASSERT_TRUE(table->find(0x1003).has_value());
        EXPECT_EQ(table->find(0x1003)->file, 1u);
        EXPECT_FALSE(table->find(0x1004).has_value());
    }
}

// A path or index in a form that gives no string or number here (an index
// into the unit's string offsets, which a line table cannot reach, a flag,
// an unknown form), or a string offset past its section, is damage.
TEST(LineTable, Version5EntriesInFormsWithoutAValueAreInvalid) {
    const Version5Forms cases[] = {
        {form::line_strp, form::strx1, form::udata},
        {form::line_strp, form::line_strp, form::flag},
        {0x7f, form::line_strp, form::udata},
    };
    for (const Version5Forms& forms : cases) {
        SCOPED_TRACE(testing::Message() << "forms " << forms.dir_path << " " << forms.file_path << " "
                                        << forms.dir_index);
        const Version5Program bytes = lineProgramVersion5(forms);
        dwarf::Sections s{};
        s.line = bytesOf(bytes.line);
        s.str = bytesOf(bytes.str);
        s.line_str = bytesOf(bytes.line_str);
        EXPECT_EQ(dwarf::parseLineTable(s, 0, 8, "/src", "unit.c", debug::debugInfoAllocator()).error(),
                  Error::InvalidDebugInfo);
    }
    const Version5Program bytes = lineProgramVersion5({form::line_strp, form::strp, form::udata});
    dwarf::Sections s{};
    s.line = bytesOf(bytes.line);
    s.line_str = bytesOf(bytes.line_str);
    s.str = bytesOf(bytes.str).first(12);  // ends inside "a.c"
    EXPECT_EQ(dwarf::parseLineTable(s, 0, 8, "/src", "unit.c", debug::debugInfoAllocator()).error(),
              Error::InvalidDebugInfo);
}

// Every table the reader parses once keeps its outcome in a Lazy: the first
// init's value or error stands, later inits do not run, until reset.
TEST(Lazy, KeepsTheFirstOutcomeErrorsIncludedUntilReset) {
    int calls = 0;
    auto giving = [&](Result<int> r) { return [&calls, r] { ++calls; return r; }; };
    Lazy<int> value;
    EXPECT_EQ(*value.getOrInit(giving(7)), 7);
    EXPECT_EQ(*value.getOrInit(giving(8)), 7);
    EXPECT_EQ(calls, 1);
    Lazy<int> failed;
    EXPECT_EQ(failed.getOrInit(giving(std::unexpected{Error::InvalidDebugInfo})).error(), Error::InvalidDebugInfo);
    EXPECT_EQ(failed.getOrInit(giving(8)).error(), Error::InvalidDebugInfo);
    EXPECT_EQ(calls, 2);
    failed.reset();
    EXPECT_EQ(*failed.getOrInit(giving(9)), 9);
    EXPECT_EQ(calls, 3);

    auto ending = [&](Result<void> r) { return [&calls, r] { ++calls; return r; }; };
    Lazy<void> step;
    EXPECT_EQ(step.getOrInit(ending(std::unexpected{Error::MissingDebugInfo})).error(), Error::MissingDebugInfo);
    EXPECT_EQ(step.getOrInit(ending({})).error(), Error::MissingDebugInfo);
    EXPECT_EQ(calls, 4);
    step.reset();
    EXPECT_TRUE(step.getOrInit(ending({})).has_value());
    EXPECT_TRUE(step.getOrInit(ending(std::unexpected{Error::MissingDebugInfo})).has_value());
    EXPECT_EQ(calls, 5);
}

// ---------------------------------------------------------------------------
// This program's own functions.

[[gnu::noinline]] usize returnAddress() {
    return reinterpret_cast<usize>(__builtin_extract_return_addr(__builtin_return_address(0)));
}

namespace probe_space {
struct Probe {
    [[gnu::noinline]] static usize where(int* line) {
        *line = __LINE__ + 1;
        const usize address = returnAddress();
        __asm__ volatile("" ::: "memory");
        return address;
    }
};
}  // namespace probe_space

TEST(SelfDebugInfo, NamesAFunctionOfThisProgramWithItsScopesFileAndLine) {
    int line = 0;
    const usize address = probe_space::Probe::where(&line);
    auto info = debug::getSelfDebugInfo();
    ASSERT_TRUE(info.has_value());
    auto module = (*info)->getModuleForAddress(address);
    ASSERT_TRUE(module.has_value());
    auto symbol = (*module)->getSymbolAtAddress(debug::debugInfoAllocator(), address - 1);
    ASSERT_TRUE(symbol.has_value()) << errorName(symbol.error());
    EXPECT_EQ(symbol->symbol_name, "(anonymous namespace)::probe_space::Probe::where");
    EXPECT_EQ(symbol->compile_unit_name, __FILE__);
    ASSERT_TRUE(symbol->line_info.has_value());
    EXPECT_EQ(symbol->line_info->file_name, __FILE__);
    EXPECT_EQ(symbol->line_info->line, static_cast<u64>(line));
    EXPECT_GT(symbol->line_info->column, 0u);
}

// The unit scan steps over functions' children; a lambda's call operator
// and a local class's member function live there (GCC emits the lambda's
// code in its class, inside the function) and are scanned when a lookup
// needs them.
[[gnu::noinline]] usize lambdaHost(int* line) {
    auto inner = [line](int step) __attribute__((noinline)) {
        *line = __LINE__ + 1;
        const usize address = returnAddress();
        __asm__ volatile("" ::: "memory");
        return address + static_cast<usize>(step);
    };
    return inner(0);
}

[[gnu::noinline]] usize localClassHost(int* line) {
    struct Local {
        [[gnu::noinline]] static usize member(int* at) {
            *at = __LINE__ + 1;
            const usize address = returnAddress();
            __asm__ volatile("" ::: "memory");
            return address;
        }
    };
    return Local::member(line);
}

TEST(SelfDebugInfo, NamesLambdasAndLocalClassMembersInsideFunctions) {
    auto info = debug::getSelfDebugInfo();
    ASSERT_TRUE(info.has_value());
    struct Case {
        usize (*host)(int*);
        std::string_view name;
    };
    const Case cases[] = {
        {lambdaHost, "(anonymous namespace)::lambdaHost::(anonymous)::operator()"},
        {localClassHost, "(anonymous namespace)::localClassHost::Local::member"},
    };
    for (const Case& c : cases) {
        int line = 0;
        const usize address = c.host(&line);
        auto module = (*info)->getModuleForAddress(address);
        ASSERT_TRUE(module.has_value());
        auto symbol = (*module)->getSymbolAtAddress(debug::debugInfoAllocator(), address - 1);
        ASSERT_TRUE(symbol.has_value()) << errorName(symbol.error());
        EXPECT_EQ(symbol->symbol_name, c.name);
        ASSERT_TRUE(symbol->line_info.has_value()) << c.name;
        EXPECT_EQ(symbol->line_info->line, static_cast<u64>(line)) << c.name;
    }
}

TEST(SelfDebugInfo, ModuleNameIsTheExecutablesRealPath) {
    auto info = debug::getSelfDebugInfo();
    ASSERT_TRUE(info.has_value());
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path);
    ASSERT_GT(n, 0);
    const auto name = (*info)->getModuleNameForAddress(reinterpret_cast<usize>(&returnAddress));
    ASSERT_TRUE(name.has_value());
    EXPECT_EQ(*name, std::string_view(path, static_cast<usize>(n)));
    EXPECT_FALSE((*info)->getModuleNameForAddress(0x10).has_value());
    EXPECT_EQ((*info)->getModuleForAddress(0x10).error(), Error::MissingDebugInfo);
}

TEST(SelfDebugInfo, SectionsByNameForTheUnwinder) {
    auto info = debug::getSelfDebugInfo();
    ASSERT_TRUE(info.has_value());
    auto module = (*info)->getModuleForAddress(reinterpret_cast<usize>(&returnAddress));
    ASSERT_TRUE(module.has_value());
    auto eh_frame = (*module)->section(".eh_frame");
    ASSERT_TRUE(eh_frame.has_value());
    EXPECT_GT(eh_frame->size(), 0u);
    auto absent = (*module)->section(".no_such_section");
    ASSERT_TRUE(absent.has_value());
    EXPECT_TRUE(absent->empty());
}

TEST(SelfDebugInfo, LookupsAreCachedAndRepeatable) {
    auto info = debug::getSelfDebugInfo();
    ASSERT_TRUE(info.has_value());
    const usize address = reinterpret_cast<usize>(&returnAddress) + 1;
    auto module = (*info)->getModuleForAddress(address);
    ASSERT_TRUE(module.has_value());
    auto first = (*module)->getSymbolAtAddress(debug::debugInfoAllocator(), address);
    auto second = (*module)->getSymbolAtAddress(debug::debugInfoAllocator(), address);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->symbol_name, "(anonymous namespace)::returnAddress");
    EXPECT_EQ(first->symbol_name.data(), second->symbol_name.data());  // the same cached string
    EXPECT_EQ(*(*info)->getModuleForAddress(address), *module);
}

// ---------------------------------------------------------------------------
// Separate debug files


void writeFile(const std::string& path, const std::vector<u8>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

TEST(SeparateDebugFile, FoundByDebuglinkNextToTheBinary) {
    auto module = debug::Module::openFile(XOV_SAMPLE_STRIPPED_PATH);
    ASSERT_TRUE(module.has_value());
    EXPECT_TRUE((*module)->usesSeparateDebugFile());
    auto info = (*module)->section(".debug_info");
    ASSERT_TRUE(info.has_value());
    EXPECT_FALSE(info->empty());
}

TEST(SplitDwarf, AMissingDwoGivesTheSymbolTableNameAtTheSkeletonsLine) {
    // The skeleton names a .dwo that is gone: the function is the symbol
    // table's, its place the skeleton's line table's (main's opening line),
    // its unit the line table's primary source file.
    auto module = debug::Module::openFile(XOV_SAMPLE_SPLIT_MISSING_PATH);
    ASSERT_TRUE(module.has_value());
    auto info = (*module)->section(".debug_info");
    ASSERT_TRUE(info.has_value());
    ASSERT_FALSE(info->empty());  // the skeleton units are there
    const std::string nm = "nm '" XOV_SAMPLE_SPLIT_MISSING_PATH "' | grep ' T main$'";
    FILE* pipe = popen(nm.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[256] = {};
    ASSERT_NE(fgets(line, sizeof line, pipe), nullptr);
    pclose(pipe);
    const u64 main_address = std::stoull(line, nullptr, 16);
    for (int attempt = 0; attempt < 2; ++attempt) {  // the failure is kept, not retried into a crash
        auto symbol = (*module)->getSymbolAtAddress(debug::debugInfoAllocator(), main_address);
        ASSERT_TRUE(symbol.has_value());
        EXPECT_EQ(symbol->symbol_name, "main");
        EXPECT_EQ(symbol->compile_unit_name, XOV_SOURCE_DIR "/tests/debuginfo/sample/sample.cpp");
        ASSERT_TRUE(symbol->line_info.has_value());
        EXPECT_EQ(symbol->line_info->file_name, XOV_SOURCE_DIR "/tests/debuginfo/sample/sample.cpp");
        EXPECT_EQ(symbol->line_info->line, 60u);
    }
}

TEST(SeparateDebugFile, ADebugFileWithTheWrongChecksumIsNotUsed) {
    char dir[] = "/tmp/trace_debuglink_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string stripped = std::string(dir) + "/trace_sample";
    const std::string debug_file = std::string(dir) + "/trace_sample.debug";
    writeFile(stripped, readFile(XOV_SAMPLE_STRIPPED_PATH));
    auto debug_bytes = readFile(std::string(XOV_SAMPLE_STRIPPED_PATH) + ".debug");
    ASSERT_GT(debug_bytes.size(), 100u);
    debug_bytes.back() ^= 0xff;  // same file name, different contents
    writeFile(debug_file, debug_bytes);

    auto module = debug::Module::openFile(stripped);
    ASSERT_TRUE(module.has_value());
    EXPECT_FALSE((*module)->usesSeparateDebugFile());
    // Without DWARF only the symbol table, which the stripped copy kept,
    // names the code: no line, the module as its unit.
    auto symbol = (*module)->getSymbolAtAddress(debug::debugInfoAllocator(), 0x1000);
    ASSERT_TRUE(symbol.has_value());
    EXPECT_EQ(symbol->symbol_name, "_init");
    EXPECT_EQ(symbol->compile_unit_name, stripped);
    EXPECT_FALSE(symbol->line_info.has_value());
    unlink(stripped.c_str());
    unlink(debug_file.c_str());
    rmdir(dir);
}

TEST(ElfImage, RejectsWhatIsNotA64BitLittleEndianElf) {
    std::vector<u8> bytes(128, 0);
    EXPECT_EQ(dwarf::ElfImage::parse(bytesOf(bytes), debug::debugInfoAllocator()).error(), Error::InvalidDebugInfo);
    std::vector<u8> tiny = {0x7f, 'E', 'L', 'F'};
    EXPECT_EQ(dwarf::ElfImage::parse(bytesOf(tiny), debug::debugInfoAllocator()).error(), Error::InvalidDebugInfo);
    EXPECT_EQ(debug::Module::openFile("/nonexistent/file").error(), Error::MissingDebugInfo);
}

TEST(ElfImage, Crc32MatchesTheDebuglinkPolynomial) {
    const std::string text = "123456789";
    EXPECT_EQ(dwarf::crc32(std::span<const u8>(reinterpret_cast<const u8*>(text.data()), text.size())), 0xcbf43926u);
}

}  // namespace
