// The reader against an independent symbolizer: for every function of a
// binary (several addresses in each), our function, file, line and column
// must agree with llvm-symbolizer's outermost frame.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "debuginfo/debuginfo.hpp"
#include "tests/e2e/child.hpp"

namespace {

std::string runShell(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    pclose(pipe);
    return out;
}

bool haveSymbolizer() { return access("/usr/bin/llvm-symbolizer", X_OK) == 0; }

// Code addresses spread over every function symbol with a size: its
// start, a third and half way in, and its last byte.
std::vector<unsigned long> functionAddresses(const std::string& path) {
    std::vector<unsigned long> out;
    std::istringstream lines(runShell("nm -S --defined-only '" + path + "'"));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string addr, size, type, name;
        if (!(fields >> addr >> size >> type >> name)) continue;
        if (type != "t" && type != "T") continue;
        const unsigned long a = std::stoul(addr, nullptr, 16);
        const unsigned long s = std::stoul(size, nullptr, 16);
        if (s == 0) continue;
        for (unsigned long off : {0ul, s / 3, s / 2, s - 1}) out.push_back(a + off);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

struct Frame {
    std::string function;
    std::string location;  // file:line:column
};

// llvm-symbolizer's inline chains, innermost frame first.
std::vector<std::vector<Frame>> symbolize(const std::string& path, const std::vector<unsigned long>& addresses) {
    char input[] = "/tmp/trace_oracle_XXXXXX";
    const int fd = mkstemp(input);
    std::string text;
    for (unsigned long a : addresses) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "0x%lx\n", a);
        text += buf;
    }
    (void)!write(fd, text.data(), text.size());
    close(fd);
    const std::string out = runShell("llvm-symbolizer --obj='" + path + "' --inlines --functions=short < " + input);
    unlink(input);
    std::vector<std::vector<Frame>> result;
    std::vector<Frame> current;
    std::istringstream lines(out);
    std::string function, location;
    while (std::getline(lines, function)) {
        if (function.empty()) {
            result.push_back(std::move(current));
            current.clear();
            continue;
        }
        std::getline(lines, location);
        current.push_back({function, location});
    }
    if (!current.empty()) result.push_back(std::move(current));
    return result;
}

bool sameFunction(std::string_view ours, std::string_view theirs) {
    if (ours == "???" && theirs == "??") return true;
    if (ours == theirs) return true;
    return ours.size() > theirs.size() + 2 && ours.ends_with(theirs) &&
           ours.substr(ours.size() - theirs.size() - 2, 2) == "::";
}

struct Agreement {
    int compared = 0;
    int agreed = 0;
    int explained = 0;  // disagreements with a known, intended cause
    int no_dwarf = 0;   // neither side has DWARF for the address
    int unit_only = 0;  // of those, inside a unit's range but no function or row
    std::vector<std::string> disagreements;
};

Agreement compareWithOracle(const std::string& path) {
    Agreement result;
    const auto addresses = functionAddresses(path);
    const auto chains = symbolize(path, addresses);
    EXPECT_EQ(chains.size(), addresses.size());
    auto module = debug::Module::openFile(path);
    EXPECT_TRUE(module.has_value());
    if (!module || chains.size() != addresses.size()) return result;

    for (size_t i = 0; i < addresses.size(); ++i) {
        const auto& chain = chains[i];
        if (chain.empty()) continue;
        const Frame& outer = chain.back();
        auto symbol = (*module)->getSymbolAtAddress(debug::debugInfoAllocator(), addresses[i]);
        if (outer.location.starts_with("??:")) {
            // No DWARF covers it: the reader must say so, not invent a place.
            result.no_dwarf += 1;
            // Code inside a unit's address range that no function or line
            // row of the unit covers (top-level assembly) may name the
            // unit, but never a function or a place.
            if (symbol && symbol->symbol_name == "???" && !symbol->line_info) {
                result.unit_only += 1;
                continue;
            }
            if (symbol) {
                char buf[64];
                std::snprintf(buf, sizeof buf, "0x%lx resolved without DWARF", addresses[i]);
                result.disagreements.push_back(buf);
            } else {
                EXPECT_EQ(symbol.error(), Error::MissingDebugInfo);
            }
            continue;
        }
        result.compared += 1;
        std::string ours_location = "?";
        std::string ours_function = "(error)";
        if (symbol) {
            ours_function = std::string(symbol->symbol_name);
            if (symbol->line_info)
                ours_location = std::string(symbol->line_info->file_name) + ":" +
                                std::to_string(symbol->line_info->line) + ":" +
                                std::to_string(symbol->line_info->column);
        }
        if (sameFunction(ours_function, outer.function) && ours_location == outer.location) {
            result.agreed += 1;
            continue;
        }
        // GCC describes the cold part of a split function as the function
        // inlined into itself, with its own declaration as the "call
        // site". We look through that self-inline and report the place in
        // the function; llvm-symbolizer reports the declaration line.
        if (chain.size() >= 2 && chain[chain.size() - 2].function == outer.function &&
            sameFunction(ours_function, outer.function) && ours_location == chain[chain.size() - 2].location) {
            result.explained += 1;
            continue;
        }
        char buf[64];
        std::snprintf(buf, sizeof buf, "0x%lx: ", addresses[i]);
        result.disagreements.push_back(buf + ours_function + " " + ours_location + " | llvm: " + outer.function +
                                       " " + outer.location);
    }
    return result;
}

void expectAgreement(const std::string& path, int minimum_compared) {
    if (!haveSymbolizer()) GTEST_SKIP() << "llvm-symbolizer not installed";
    const Agreement a = compareWithOracle(path);
    std::printf("%s: %d addresses compared, %d agree, %d explained (self-inlined cold parts), %d without DWARF"
                " (%d of them inside a unit's range)\n",
                path.c_str(), a.compared, a.agreed, a.explained, a.no_dwarf, a.unit_only);
    EXPECT_GE(a.compared, minimum_compared);
    for (const auto& d : a.disagreements) ADD_FAILURE() << d;
    EXPECT_EQ(a.agreed + a.explained, a.compared);
}

TEST(DebugInfoOracle, productExecutableAgreesWithLlvmSymbolizer) { expectAgreement(e2e::productPath(), 300); }

TEST(DebugInfoOracle, fixtureExecutableAgreesWithLlvmSymbolizer) { expectAgreement(e2e::fixturePath(), 300); }

TEST(DebugInfoOracle, sampleDwarf5AgreesWithLlvmSymbolizer) { expectAgreement(XOV_SAMPLE_PATH, 12); }

TEST(DebugInfoOracle, sampleWithZlibSectionsAgreesWithLlvmSymbolizer) { expectAgreement(XOV_SAMPLE_GZ_PATH, 12); }

TEST(DebugInfoOracle, sampleDwarf4AgreesWithLlvmSymbolizer) { expectAgreement(XOV_SAMPLE_DWARF4_PATH, 12); }

TEST(DebugInfoOracle, clangSampleWithIndexedStringsAndAddressesAgreesWithLlvmSymbolizer) {
    if (access(XOV_SAMPLE_CLANG_PATH, R_OK) != 0) GTEST_SKIP() << "clang++ not installed";
    auto module = debug::Module::openFile(XOV_SAMPLE_CLANG_PATH);
    ASSERT_TRUE(module.has_value());
    auto str_offsets = (*module)->section(".debug_str_offsets");
    auto addr = (*module)->section(".debug_addr");
    ASSERT_TRUE(str_offsets && addr);
    EXPECT_FALSE(str_offsets->empty());
    EXPECT_FALSE(addr->empty());
    expectAgreement(XOV_SAMPLE_CLANG_PATH, 10);
}

TEST(DebugInfoOracle, sampleWithoutArangesAgreesWithLlvmSymbolizer) {
    auto module = debug::Module::openFile(XOV_SAMPLE_NOARANGES_PATH);
    ASSERT_TRUE(module.has_value());
    auto aranges = (*module)->section(".debug_aranges");
    ASSERT_TRUE(aranges.has_value());
    EXPECT_TRUE(aranges->empty());
    expectAgreement(XOV_SAMPLE_NOARANGES_PATH, 12);
}

TEST(DebugInfoOracle, strippedSampleWithDebuglinkAgreesWithLlvmSymbolizer) {
    auto module = debug::Module::openFile(XOV_SAMPLE_STRIPPED_PATH);
    ASSERT_TRUE(module.has_value());
    EXPECT_TRUE((*module)->usesSeparateDebugFile());
    expectAgreement(XOV_SAMPLE_STRIPPED_PATH, 12);
}

}  // namespace
