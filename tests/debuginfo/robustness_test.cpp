// The reader on damaged copies of a real binary: truncated files, every
// section header's offset and size mangled, random bytes in the DWARF
// sections, corrupt compressed sections. Every lookup must come back as a
// result or as MissingDebugInfo / InvalidDebugInfo: no crash, no hang, no
// read outside the file (the sanitizer builds run these too). Where the
// DWARF fails, the symbol table may still name the function: such an
// answer has no line and the module as its unit, and counts as not
// resolved here.
#include <elf.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "debuginfo/byte_reader.hpp"
#include "debuginfo/debuginfo.hpp"
#include "debuginfo/dwarf_constants.hpp"
#include "debuginfo/elf_image.hpp"
#include "tests/debuginfo/shell.hpp"

namespace {

using xov_test::readFile;
using xov_test::section;
using xov_test::SectionInfo;
using xov_test::sectionsOf;

// Counts the bytes the reader asks its arena for while it is alive (the
// reader's allocator handle points at it): what a damaged file costs the
// reader, whatever the arena had left over from earlier tests. Modules
// opened meanwhile must not outlive it.
class ReaderBytes {
  public:
    ReaderBytes() : saved_(debug::debugInfoAllocator()) { debug::debug_info_allocator = {this, &vtable}; }
    ~ReaderBytes() { debug::debug_info_allocator = saved_; }
    ReaderBytes(const ReaderBytes&) = delete;
    ReaderBytes& operator=(const ReaderBytes&) = delete;
    [[nodiscard]] usize bytes() const { return bytes_; }

  private:
    static u8* alloc(void* ctx, usize n, u8 log2_align, usize ret_addr) {
        auto* self = static_cast<ReaderBytes*>(ctx);
        self->bytes_ += n;
        return self->saved_.rawAlloc(n, log2_align, ret_addr);
    }
    static bool resize(void* ctx, std::span<u8> buf, u8 log2_align, usize new_len, usize ret_addr) {
        auto* self = static_cast<ReaderBytes*>(ctx);
        const bool resized = self->saved_.rawResize(buf, log2_align, new_len, ret_addr);
        if (resized && new_len > buf.size()) self->bytes_ += new_len - buf.size();
        return resized;
    }
    static void free(void* ctx, std::span<u8> buf, u8 log2_align, usize ret_addr) {
        static_cast<ReaderBytes*>(ctx)->saved_.rawFree(buf, log2_align, ret_addr);
    }
    static constexpr mem::Allocator::VTable vtable{alloc, resize, free};

    mem::Allocator saved_;
    usize bytes_ = 0;
};

// The process's resident bytes now.
usize residentBytes() {
    std::ifstream statm("/proc/self/statm");
    usize pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<usize>(sysconf(_SC_PAGESIZE));
}

// Whether the answer came from DWARF rather than from the symbol table.
bool fromDwarf(debug::Module& module, const debug::SymbolInfo& symbol) {
    return symbol.line_info.has_value() || symbol.compile_unit_name != module.name();
}

class DamagedBinary : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        if (access(GetParam(), R_OK) != 0) GTEST_SKIP() << GetParam() << " not built";
        original_ = readFile(GetParam());
        ASSERT_GT(original_.size(), sizeof(Elf64_Ehdr));
        sections_ = sectionsOf(original_);
        const SectionInfo& text = section(sections_, ".text");
        for (u64 a = text.header.sh_addr; a < text.header.sh_addr + text.header.sh_size; a += 5) addresses_.push_back(a);
        // The undamaged file resolves most of these: the damage is what
        // makes the difference below.
        auto module = debug::Module::openFile(GetParam());
        ASSERT_TRUE(module.has_value());
        for (u64 a : addresses_) {
            auto symbol = (*module)->getSymbolAtAddress(debug::debugInfoAllocator(), a);
            if (symbol && fromDwarf(**module, *symbol)) intact_resolved_ += 1;
        }
        ASSERT_GT(intact_resolved_, addresses_.size() / 2);
    }

    struct Outcome {
        bool opened = false;
        usize resolved = 0;
        usize failed = 0;
    };

    // Writes the damaged copy and opens it.
    static Result<debug::Module*> open(const std::vector<u8>& bytes) {
        char path[] = "/tmp/trace_damaged_XXXXXX";
        const int fd = mkstemp(path);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(fd);
        auto module = debug::Module::openFile(path);
        unlink(path);  // the mapping keeps the contents
        return module;
    }

    // Opens the damaged copy and looks up every address.
    Outcome probe(const std::vector<u8>& bytes) {
        Outcome outcome;
        auto module = open(bytes);
        if (!module) {
            EXPECT_TRUE(module.error() == Error::MissingDebugInfo || module.error() == Error::InvalidDebugInfo)
                << errorName(module.error());
            return outcome;
        }
        outcome.opened = true;
        for (u64 a : addresses_) {
            auto symbol = (*module)->getSymbolAtAddress(debug::debugInfoAllocator(), a);
            if (symbol) {
                EXPECT_FALSE(symbol->symbol_name.empty());
                if (fromDwarf(**module, *symbol))
                    outcome.resolved += 1;
                else
                    outcome.failed += 1;
            } else {
                outcome.failed += 1;
                EXPECT_TRUE(symbol.error() == Error::MissingDebugInfo || symbol.error() == Error::InvalidDebugInfo)
                    << errorName(symbol.error());
            }
        }
        return outcome;
    }

    std::vector<u8> original_;
    std::vector<SectionInfo> sections_;
    std::vector<u64> addresses_;
    usize intact_resolved_ = 0;
};

TEST_P(DamagedBinary, TruncatedCopiesNeverResolve) {
    // The section headers sit at the end of the file, so every truncation
    // loses them (or points them past the end): nothing may resolve.
    for (usize i = 1; i <= 40; ++i) {
        std::vector<u8> bytes(original_.begin(), original_.begin() + static_cast<long>(original_.size() * i / 41));
        const Outcome outcome = probe(bytes);
        EXPECT_EQ(outcome.resolved, 0u) << "truncated to " << bytes.size();
    }
    for (const auto& s : sections_) {
        if (s.header.sh_type == SHT_NOBITS || s.header.sh_offset == 0) continue;
        std::vector<u8> bytes(original_.begin(), original_.begin() + static_cast<long>(s.header.sh_offset + 1));
        EXPECT_EQ(probe(bytes).resolved, 0u) << "truncated inside " << s.name;
    }
}

TEST_P(DamagedBinary, MangledSectionOffsetsAndSizes) {
    const u64 size = original_.size();
    for (const auto& s : sections_) {
        const u64 values[] = {~u64{0}, size, size - 1, size + 1, 0x7fffffff, s.header.sh_offset + 1,
                              s.header.sh_size * 2 + 4096, 0};
        for (const usize field : {offsetof(Elf64_Shdr, sh_offset), offsetof(Elf64_Shdr, sh_size)}) {
            for (const u64 value : values) {
                std::vector<u8> bytes = original_;
                std::memcpy(bytes.data() + s.header_offset + field, &value, sizeof value);
                const Outcome outcome = probe(bytes);
                // A debug section moved outside the file cannot be read.
                if (s.name.starts_with(".debug_info") && value >= size && outcome.opened) {
                    EXPECT_EQ(outcome.resolved, 0u) << s.name << " field " << field << " = " << value;
                }
            }
        }
    }
}

TEST_P(DamagedBinary, MangledElfHeader) {
    const usize fields[] = {offsetof(Elf64_Ehdr, e_shoff), offsetof(Elf64_Ehdr, e_shnum),
                            offsetof(Elf64_Ehdr, e_shstrndx), offsetof(Elf64_Ehdr, e_shentsize)};
    for (const usize field : fields) {
        for (const u64 value : {u64{0}, u64{1}, u64{0xffff}, u64{0xffffffff}, u64{original_.size()}}) {
            std::vector<u8> bytes = original_;
            const usize width = field == offsetof(Elf64_Ehdr, e_shoff) ? 8 : 2;
            std::memcpy(bytes.data() + field, &value, width);
            probe(bytes);
        }
    }
}

TEST_P(DamagedBinary, RandomBytesInDwarfSections) {
    std::mt19937_64 rng(20261208);
    usize damaged_lookups_failed = 0;
    for (const char* name : {".debug_info", ".debug_line", ".debug_abbrev", ".debug_rnglists", ".debug_str",
                             ".debug_line_str", ".debug_aranges", ".debug_str_offsets", ".debug_addr"}) {
        const auto found = std::find_if(sections_.begin(), sections_.end(),
                                        [&](const SectionInfo& s) { return s.name == name; });
        if (found == sections_.end() || found->header.sh_size == 0) continue;  // not every compiler emits it
        const SectionInfo& s = *found;
        for (int round = 0; round < 60; ++round) {
            std::vector<u8> bytes = original_;
            const int flips = 1 + static_cast<int>(rng() % 24);
            for (int i = 0; i < flips; ++i)
                bytes[s.header.sh_offset + rng() % s.header.sh_size] = static_cast<u8>(rng());
            damaged_lookups_failed += probe(bytes).failed;
        }
        // And the whole section replaced by noise.
        std::vector<u8> bytes = original_;
        for (u64 i = 0; i < s.header.sh_size; ++i) bytes[s.header.sh_offset + i] = static_cast<u8>(rng());
        const Outcome noise = probe(bytes);
        if (std::string(name) == ".debug_info" || std::string(name) == ".debug_abbrev") {
            EXPECT_EQ(noise.resolved, 0u) << name << " replaced by noise";
        }
    }
    // Damage is noticed, not silently absorbed.
    EXPECT_GT(damaged_lookups_failed, 0u);
}

// Appends contents to the file (8-aligned) and points the section at them.
void moveSection(std::vector<u8>& bytes, const SectionInfo& s, const std::vector<u8>& contents) {
    while (bytes.size() % 8 != 0) bytes.push_back(0);
    const u64 offset = bytes.size();
    const u64 size = contents.size();
    bytes.insert(bytes.end(), contents.begin(), contents.end());
    std::memcpy(bytes.data() + s.header_offset + offsetof(Elf64_Shdr, sh_offset), &offset, sizeof offset);
    std::memcpy(bytes.data() + s.header_offset + offsetof(Elf64_Shdr, sh_size), &size, sizeof size);
}

// A hundred thousand 12-byte units appended to .debug_info, each a unit DIE
// with no attributes (no code): every lookup answers as in the intact file,
// and the reader's index spends a few bytes on each, not a unit record.
TEST_P(DamagedBinary, EmptyUnitsCostTheIndexAFewBytesEach) {
    const SectionInfo& info = section(sections_, ".debug_info");
    const SectionInfo& abbrev = section(sections_, ".debug_abbrev");
    std::vector<u8> abbrevs(original_.begin() + static_cast<long>(abbrev.header.sh_offset),
                            original_.begin() + static_cast<long>(abbrev.header.sh_offset + abbrev.header.sh_size));
    const u32 empty_table = static_cast<u32>(abbrevs.size());
    // Code 1: DW_TAG_compile_unit, no children, no attributes; the table's end.
    abbrevs.insert(abbrevs.end(), {1, dwarf::tag::compile_unit, 0, 0, 0, 0});
    std::vector<u8> units(original_.begin() + static_cast<long>(info.header.sh_offset),
                          original_.begin() + static_cast<long>(info.header.sh_offset + info.header.sh_size));
    constexpr usize count = 100'000;
    for (usize i = 0; i < count; ++i) {
        const u8 unit[12] = {8, 0, 0, 0, 4, 0,  // length, DWARF 4
                             static_cast<u8>(empty_table), static_cast<u8>(empty_table >> 8),
                             static_cast<u8>(empty_table >> 16), static_cast<u8>(empty_table >> 24),
                             8, 1};  // address size, the unit DIE
        units.insert(units.end(), std::begin(unit), std::end(unit));
    }
    std::vector<u8> bytes = original_;
    moveSection(bytes, info, units);
    moveSection(bytes, abbrev, abbrevs);

    auto answers = [&](const std::vector<u8>& file, usize& cost) {
        std::vector<std::string> out;
        const ReaderBytes reader;
        auto module = open(file);
        EXPECT_TRUE(module.has_value());
        if (!module) return out;
        for (u64 a : addresses_) {
            auto symbol = (*module)->getSymbolAtAddress(debug::debugInfoAllocator(), a);
            if (!symbol)
                out.emplace_back(errorName(symbol.error()));
            else if (!fromDwarf(**module, *symbol))
                out.push_back("from the symbol table: " + std::string(symbol->symbol_name));
            else
                out.push_back(std::string(symbol->symbol_name) + " in " + std::string(symbol->compile_unit_name) + ":" +
                              std::to_string(symbol->line_info ? symbol->line_info->line : 0));
        }
        cost = reader.bytes();
        return out;
    };
    usize intact_cost = 0, damaged_cost = 0;
    const std::vector<std::string> intact = answers(original_, intact_cost);
    EXPECT_TRUE(answers(bytes, damaged_cost) == intact);
    EXPECT_LT(damaged_cost, intact_cost + count * 24) << "intact: " << intact_cost;
}

// Every DW_AT_sibling of the first unit, as readelf shows it.
struct SiblingAttr {
    u64 die;        // the DIE's offset in .debug_info
    int depth;      // in the tree; the unit DIE is 0
    u64 abbrev;     // its abbreviation code
    u64 value_at;   // the attribute's value
    usize size;     // of the value
    u64 attrs_end;  // the DIE's first child
};
struct UnitSiblings {
    u64 offset = 0, end = 0, abbrev_offset = 0;
    std::vector<SiblingAttr> siblings;
};

UnitSiblings siblingsOfFirstUnit(const std::string& path) {
    std::istringstream dump(xov_test::runShell("readelf --debug-dump=info '" + path + "' 2>/dev/null"));
    UnitSiblings unit;
    int units = 0;
    std::optional<SiblingAttr> pending;  // its value's size and the DIE's end not known yet
    int depth = 0;
    u64 abbrev = 0, die = 0;
    for (std::string line; std::getline(dump, line);) {
        unsigned long long a = 0, b = 0, code = 0;
        char tag[64] = {};
        if (std::sscanf(line.c_str(), " Compilation Unit @ offset %llx:", &a) == 1) {
            if (++units > 1) break;
            unit.offset = a;
        } else if (std::sscanf(line.c_str(), " Length: %llx", &a) == 1) {
            unit.end = unit.offset + 4 + a;
        } else if (std::sscanf(line.c_str(), " Abbrev Offset: %llx", &a) == 1) {
            unit.abbrev_offset = a;
        } else if (std::sscanf(line.c_str(), " <%llx><%llx>: Abbrev Number: %llu", &b, &a, &code) == 3) {
            if (pending) {
                pending->attrs_end = a;
                if (pending->size == 0) pending->size = static_cast<usize>(a - pending->value_at);
                unit.siblings.push_back(*pending);
                pending.reset();
            }
            depth = static_cast<int>(b);
            die = a;
            abbrev = code;
        } else if (std::sscanf(line.c_str(), " <%llx> %63s", &a, tag) == 2) {
            if (pending && pending->size == 0) pending->size = static_cast<usize>(a - pending->value_at);
            if (std::string(tag) == "DW_AT_sibling") pending = SiblingAttr{die, depth, abbrev, a, 0, 0};
        }
    }
    return unit;
}

// A DW_AT_sibling only saves walking a subtree. One that points at its own
// DIE, into the DIE's attributes, at its first child or past the unit, or
// that is no reference at all, is to be walked around: every address must
// then get the name, unit and line the intact file gives. (Right under the
// unit DIE a misread sibling changes no name: those are left alone.) On GCC's
// DWARF: clang emits no DW_AT_sibling.
class DamagedSiblings : public DamagedBinary {};

TEST_P(DamagedSiblings, UnusableOnesAreWalkedAround) {
    const UnitSiblings unit = siblingsOfFirstUnit(GetParam());
    ASSERT_FALSE(unit.siblings.empty());
    auto names = [&](const std::vector<u8>& bytes) {
        std::vector<std::string> out;
        auto module = open(bytes);
        if (!module) return out;
        for (u64 a : addresses_) {
            auto symbol = (*module)->getSymbolAtAddress(debug::debugInfoAllocator(), a);
            if (!symbol)
                out.emplace_back(errorName(symbol.error()));
            else if (!fromDwarf(**module, *symbol))
                out.push_back("from the symbol table: " + std::string(symbol->symbol_name));
            else
                out.push_back(std::string(symbol->symbol_name) + " in " + std::string(symbol->compile_unit_name) + ":" +
                              std::to_string(symbol->line_info ? symbol->line_info->line : 0));
        }
        return out;
    };
    // The first address whose answer differs from the intact file's, as text.
    auto firstDifference = [&](const std::vector<std::string>& damaged, const std::vector<std::string>& intact) {
        if (damaged.size() != intact.size()) return std::string("the damaged copy does not open");
        for (usize i = 0; i < damaged.size(); ++i) {
            if (damaged[i] == intact[i]) continue;
            std::ostringstream out;
            out << std::hex << "0x" << addresses_[i] << ": " << damaged[i] << " instead of " << intact[i];
            return out.str();
        }
        return std::string();
    };
    const std::vector<std::string> intact = names(original_);
    const u64 info_at = section(sections_, ".debug_info").header.sh_offset;
    std::vector<u64> abbrevs;  // of the DIEs below the top
    for (const SiblingAttr& sibling : unit.siblings) {
        if (sibling.depth < 2) continue;
        abbrevs.push_back(sibling.abbrev);
        for (const u64 target : {sibling.die, sibling.die + 1, sibling.attrs_end, unit.end + 1}) {
            std::vector<u8> bytes = original_;
            const u64 value = target - unit.offset;
            for (usize i = 0; i < sibling.size; ++i)
                bytes[info_at + sibling.value_at + i] = static_cast<u8>(value >> (8 * i));
            EXPECT_EQ(firstDifference(names(bytes), intact), "")
                << "DW_AT_sibling of the DIE at 0x" << std::hex << sibling.die << " made 0x" << target;
        }
    }
    ASSERT_FALSE(abbrevs.empty());
    // The same DIEs with their DW_AT_sibling a constant (DW_FORM_data4 for
    // DW_FORM_ref4: the same size) in their abbreviations.
    const u64 abbrev_at = section(sections_, ".debug_abbrev").header.sh_offset + unit.abbrev_offset;
    dwarf::ByteReader r(std::span<const u8>(original_).first(section(sections_, ".debug_abbrev").header.sh_offset +
                                                              section(sections_, ".debug_abbrev").header.sh_size),
                        static_cast<usize>(abbrev_at));
    usize changed = 0;
    while (const u64 code = r.readUleb().value_or(0)) {
        (void)r.readUleb();
        (void)r.readU8();
        for (;;) {
            const u64 name = r.readUleb().value_or(0);
            const usize form_at = r.pos;
            const u64 form = r.readUleb().value_or(0);
            if (name == 0 && form == 0) break;
            if (form == dwarf::form::implicit_const) (void)r.readSleb();
            if (name != dwarf::at::sibling || form != dwarf::form::ref4 ||
                std::find(abbrevs.begin(), abbrevs.end(), code) == abbrevs.end())
                continue;
            std::vector<u8> bytes = original_;
            bytes[form_at] = dwarf::form::data4;
            EXPECT_EQ(firstDifference(names(bytes), intact), "")
                << "DW_AT_sibling of abbreviation " << code << " made a constant";
            ++changed;
        }
    }
    EXPECT_GT(changed, 0u);
}

// GCC's DWARF, and clang's (indexed strings, addresses and range lists).
INSTANTIATE_TEST_SUITE_P(Samples, DamagedBinary, ::testing::Values(XOV_SAMPLE_PATH, XOV_SAMPLE_CLANG_PATH));
INSTANTIATE_TEST_SUITE_P(Gcc, DamagedSiblings, ::testing::Values(XOV_SAMPLE_PATH));

void writeCopy(const std::string& path, const std::vector<u8>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A debug link's candidate holds its headers and sections and little else.
// One padded far beyond them is not used, even with the checksum the link
// names: checksumming it would read every byte (a gigabyte-sized candidate
// cost seconds and its size in memory).
TEST(SeparateDebugFile, ACandidateFarLargerThanItsSectionsIsNotChecksummed) {
    char dir[] = "/tmp/trace_padded_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string stripped = std::string(dir) + "/trace_sample";
    const std::string debug_file = std::string(dir) + "/trace_sample.debug";
    std::vector<u8> exe = readFile(XOV_SAMPLE_STRIPPED_PATH);
    const std::vector<u8> debug_bytes = readFile(std::string(XOV_SAMPLE_STRIPPED_PATH) + ".debug");
    ASSERT_FALSE(exe.empty());
    ASSERT_FALSE(debug_bytes.empty());
    const SectionInfo link = section(sectionsOf(exe), ".gnu_debuglink");
    const usize name_size = std::strlen(reinterpret_cast<const char*>(exe.data() + link.header.sh_offset)) + 1;
    const usize crc_at = link.header.sh_offset + ((name_size + 3) & ~usize{3});
    ASSERT_EQ(crc_at + 4, link.header.sh_offset + link.header.sh_size);
    auto usedWithPadding = [&](usize padding) {
        std::vector<u8> padded = debug_bytes;
        padded.resize(debug_bytes.size() + padding, 0);
        const u32 crc = dwarf::crc32(padded);
        std::memcpy(exe.data() + crc_at, &crc, sizeof crc);
        writeCopy(stripped, exe);
        writeCopy(debug_file, padded);
        auto module = debug::Module::openFile(stripped);
        EXPECT_TRUE(module.has_value());
        return module && (*module)->usesSeparateDebugFile();
    };
    EXPECT_TRUE(usedWithPadding(0));
    EXPECT_TRUE(usedWithPadding(64 << 10));  // alignment's worth of slack is no reason
    EXPECT_FALSE(usedWithPadding(32 << 20));
    unlink(stripped.c_str());
    unlink(debug_file.c_str());
    rmdir(dir);
}

// zlib (the compiler's -gz) and zstd (objcopy's) sections.
class DamagedCompressedSection : public ::testing::TestWithParam<const char*> {};

TEST_P(DamagedCompressedSection, CorruptStreamIsInvalidDebugInfo) {
    std::vector<u8> original = readFile(GetParam());
    ASSERT_FALSE(original.empty());
    const auto sections = sectionsOf(original);
    const SectionInfo& info = section(sections, ".debug_info");
    ASSERT_NE(info.header.sh_flags & SHF_COMPRESSED, 0u);
    Elf64_Chdr chdr;
    std::memcpy(&chdr, original.data() + info.header.sh_offset, sizeof chdr);
    const u32 zstd = 2;  // ELFCOMPRESS_ZSTD
    EXPECT_EQ(chdr.ch_type, std::string(GetParam()) == XOV_SAMPLE_ZSTD_PATH ? zstd : u32{ELFCOMPRESS_ZLIB});
    const SectionInfo& text = section(sections, ".text");
    // An address the intact file resolves (the start of .text may be
    // start-up code without DWARF).
    u64 address = 0;
    auto intact = debug::Module::openFile(GetParam());
    ASSERT_TRUE(intact.has_value());
    for (u64 a = text.header.sh_addr; a < text.header.sh_addr + text.header.sh_size && address == 0; a += 4) {
        auto symbol = (*intact)->getSymbolAtAddress(debug::debugInfoAllocator(), a);
        if (symbol && symbol->line_info) address = a;
    }
    ASSERT_NE(address, 0u);

    // The error reading .debug_info of the damaged copy (none: success),
    // and the lookup, which then has only the symbol table to go by.
    auto lookupAfter = [&](const std::function<void(std::vector<u8>&)>& damage) -> std::optional<Error> {
        std::vector<u8> bytes = original;
        damage(bytes);
        char path[] = "/tmp/trace_gz_XXXXXX";
        const int fd = mkstemp(path);
        EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        close(fd);
        auto module = debug::Module::openFile(path);
        unlink(path);
        EXPECT_TRUE(module.has_value());
        if (!module) return Error::MissingDebugInfo;
        auto symbol = (*module)->getSymbolAtAddress(debug::debugInfoAllocator(), address);
        EXPECT_TRUE(symbol.has_value());
        auto info_section = (*module)->section(".debug_info");
        if (info_section) {
            EXPECT_TRUE(symbol && symbol->line_info.has_value());
            return std::nullopt;
        }
        EXPECT_TRUE(symbol && !fromDwarf(**module, *symbol));
        return info_section.error();
    };
    // Stream bytes after the compression header overwritten.
    auto corrupt = lookupAfter([&](std::vector<u8>& b) {
        for (usize i = sizeof(Elf64_Chdr); i < sizeof(Elf64_Chdr) + 32; ++i) b[info.header.sh_offset + i] ^= 0x5a;
    });
    EXPECT_EQ(corrupt, Error::InvalidDebugInfo);
    // An announced size that does not match what inflates.
    auto wrong_size = lookupAfter([&](std::vector<u8>& b) {
        u64 announced;
        std::memcpy(&announced, b.data() + info.header.sh_offset + offsetof(Elf64_Chdr, ch_size), 8);
        announced += 1;
        std::memcpy(b.data() + info.header.sh_offset + offsetof(Elf64_Chdr, ch_size), &announced, 8);
    });
    EXPECT_EQ(wrong_size, Error::InvalidDebugInfo);
    // An absurd announced size is refused without mapping it.
    auto huge = lookupAfter([&](std::vector<u8>& b) {
        const u64 announced = u64{1} << 40;
        std::memcpy(b.data() + info.header.sh_offset + offsetof(Elf64_Chdr, ch_size), &announced, 8);
    });
    EXPECT_EQ(huge, Error::InvalidDebugInfo);
    // A size the payload cannot inflate to is refused before the reader
    // allocates it: zlib inflates at most 1032 times its input, and a zstd
    // frame states its size.
    const u64 payload = info.header.sh_size - sizeof(Elf64_Chdr);
    for (const u64 announced : {payload * 1033, payload * 4000}) {
        const ReaderBytes reader;
        auto beyond = lookupAfter([&](std::vector<u8>& b) {
            std::memcpy(b.data() + info.header.sh_offset + offsetof(Elf64_Chdr, ch_size), &announced, 8);
        });
        EXPECT_EQ(beyond, Error::InvalidDebugInfo);
        EXPECT_LT(reader.bytes(), announced / 4) << "claimed " << announced << " from " << payload;
    }
    // Untouched, the same lookup works.
    EXPECT_EQ(lookupAfter([](std::vector<u8>&) {}), std::nullopt);
}

// A claim zlib could reach but this payload does not: the buffer must not
// be filled before inflating, or the whole claimed size becomes resident.
TEST(DamagedCompressedSection, AClaimThePayloadFallsShortOfTouchesOnlyWhatInflates) {
    std::vector<u8> bytes = readFile(XOV_SAMPLE_GZ_PATH);
    ASSERT_FALSE(bytes.empty());
    const SectionInfo info = section(sectionsOf(bytes), ".debug_info");
    ASSERT_NE(info.header.sh_flags & SHF_COMPRESSED, 0u);
    const u64 payload = info.header.sh_size - sizeof(Elf64_Chdr);
    const u64 announced = payload * 1000;
    std::memcpy(bytes.data() + info.header.sh_offset + offsetof(Elf64_Chdr, ch_size), &announced, 8);
    char path[] = "/tmp/trace_gz_claim_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
    auto module = debug::Module::openFile(path);
    unlink(path);
    ASSERT_TRUE(module.has_value());
    const usize before = residentBytes();
    auto inflated = (*module)->section(".debug_info");
    ASSERT_FALSE(inflated.has_value());
    EXPECT_EQ(inflated.error(), Error::InvalidDebugInfo);
    EXPECT_LT(residentBytes() - std::min(before, residentBytes()), announced / 4)
        << "claimed " << announced << " from " << payload;
}

INSTANTIATE_TEST_SUITE_P(Algorithms, DamagedCompressedSection, ::testing::Values(XOV_SAMPLE_GZ_PATH, XOV_SAMPLE_ZSTD_PATH));

}  // namespace
