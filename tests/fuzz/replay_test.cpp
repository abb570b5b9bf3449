// Every committed seed and every reproducer of a crash the fuzzers found,
// fed through the fuzz targets themselves: each target checks its own
// invariants and aborts on a violation, and the sanitizer builds run this
// too. A crash input lives in tests/fuzz/reproducers/<target>/ from the
// day it is fixed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/types.hpp"

extern "C" int xovFuzz_server(const u8* data, usize size);
extern "C" int xovFuzz_relay(const u8* data, usize size);
extern "C" int xovFuzz_dwarf(const u8* data, usize size);
extern "C" int xovFuzz_source_line(const u8* data, usize size);
extern "C" int xovFuzz_cfi(const u8* data, usize size);
extern "C" int xovFuzz_walk(const u8* data, usize size);

namespace {

namespace fs = std::filesystem;

// Runs every file of corpus/<target> and reproducers/<target>; returns how
// many there were.
usize replay(const std::string& target, int (*run)(const u8*, usize)) {
    usize inputs = 0;
    for (const char* kind : {"corpus", "reproducers"}) {
        const fs::path dir = fs::path(XOV_FUZZ_DIR) / kind / target;
        if (!fs::is_directory(dir)) continue;
        for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
            if (!entry.is_regular_file()) continue;
            std::ifstream in(entry.path(), std::ios::binary);
            const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            SCOPED_TRACE(entry.path().string());
            EXPECT_EQ(run(reinterpret_cast<const u8*>(bytes.data()), bytes.size()), 0);
            inputs += 1;
        }
    }
    return inputs;
}

TEST(FuzzReplay, BuildDriverStreamSeedsAndReproducers) { EXPECT_GE(replay("server", xovFuzz_server), 10u); }

TEST(FuzzReplay, RelayPipeSeedsAndReproducers) { EXPECT_GE(replay("relay", xovFuzz_relay), 5u); }

TEST(FuzzReplay, ExecutableAndDebugFileSeedsAndReproducers) { EXPECT_GE(replay("dwarf", xovFuzz_dwarf), 11u); }

TEST(FuzzReplay, SourceFileSeedsAndReproducers) { EXPECT_GE(replay("source_line", xovFuzz_source_line), 5u); }

TEST(FuzzReplay, CallFrameTableSeedsAndReproducers) { EXPECT_GE(replay("cfi", xovFuzz_cfi), 4u); }

TEST(FuzzReplay, StackWalkSeedsAndReproducers) { EXPECT_GE(replay("walk", xovFuzz_walk), 4u); }

}  // namespace
