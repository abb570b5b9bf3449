// The command line: argsAlloc into the runner's fixed region, the mode
// flag, and the stack-limit rule of start-up.
#include <elf.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <string>
#include <vector>

#include "runner/test_runner.hpp"
#include "tests/memory/memory_test_support.hpp"

// A table so that the runner library links; these tests never run it.
namespace builtin {
const std::span<const TestFn> test_functions{};
}

namespace {

class Argv {
  public:
    explicit Argv(std::vector<std::string> args) : strings_(std::move(args)) {
        for (auto& s : strings_) ptrs_.push_back(s.data());
        saved_ = os::argv;
        os::argv = std::span<char*>(ptrs_);
    }
    ~Argv() { os::argv = saved_; }

  private:
    std::vector<std::string> strings_;
    std::vector<char*> ptrs_;
    std::span<char*> saved_;
};

std::vector<process::Arg> argsOf(std::vector<std::string> args) {
    Argv argv(std::move(args));
    alignas(8) static u8 buffer[4096];
    heap::FixedBufferAllocator fba{std::span<u8>(buffer)};
    auto r = process::argsAlloc(fba.allocator());
    EXPECT_TRUE(r.has_value());
    if (!r) return {};
    return {r->begin(), r->end()};
}

// The block's allocation names argsAlloc as where it was made, so a leak of
// it is reported from there, not from argsAlloc's caller.
TEST(ArgsAlloc, TheBlockIsAllocatedFromWithinArgsAlloc) {
    Argv argv({"/bin/prog"});
    auto* recorder = new memtest::RecordingAllocator();
    auto r = process::argsAlloc(recorder->allocator());
    ASSERT_TRUE(r.has_value());
    ASSERT_EQ(recorder->calls.size(), 1u);
    const usize at = recorder->calls[0].ret_addr;
    const auto entry = reinterpret_cast<usize>(&process::argsAlloc);
    EXPECT_GT(at, entry);
    EXPECT_LT(at, entry + 4096);
    delete recorder;
}

TEST(ArgsAlloc, OneBlockOfEntriesThenZeroTerminatedTexts) {
    Argv argv({"/bin/prog", "--listen=-", ""});
    alignas(8) u8 buffer[4096];
    heap::FixedBufferAllocator fba{std::span<u8>(buffer)};
    auto r = process::argsAlloc(fba.allocator());
    ASSERT_TRUE(r.has_value());
    ASSERT_EQ(r->size(), 3u);
    EXPECT_EQ((*r)[0].view(), "/bin/prog");
    EXPECT_EQ((*r)[1].view(), "--listen=-");
    EXPECT_EQ((*r)[2].view(), "");
    for (const auto& a : *r) EXPECT_EQ(a.ptr[a.len], '\0');
    // Entries first, the texts right behind them, in the same block.
    const auto* base = reinterpret_cast<const u8*>(r->data());
    EXPECT_EQ(reinterpret_cast<usize>(base) % 8, 0u);
    EXPECT_EQ(reinterpret_cast<const u8*>((*r)[0].ptr), base + 3 * sizeof(process::Arg));
    EXPECT_EQ((*r)[1].ptr, (*r)[0].ptr + 10);
}

TEST(ArgsAlloc, CommandLineThatDoesNotFitIsOutOfMemory) {
    Argv argv({"/bin/prog", std::string(5000, 'x')});
    alignas(8) u8 buffer[4096];
    heap::FixedBufferAllocator fba{std::span<u8>(buffer)};
    auto r = process::argsAlloc(fba.allocator());
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), Error::OutOfMemory);
}

// argsAlloc over a fresh 4096-byte region: the result, or the error, and
// how much of the region it used.
struct InRegion {
    Result<std::span<process::Arg>> args = std::span<process::Arg>{};
    usize used = 0;
};
InRegion allocInRegion(std::vector<std::string> args) {
    Argv argv(std::move(args));
    alignas(8) static u8 buffer[4096];
    heap::FixedBufferAllocator fba{std::span<u8>(buffer)};
    InRegion r;
    r.args = process::argsAlloc(fba.allocator());
    r.used = fba.end_index;
    return r;
}

TEST(ArgsAlloc, TheTableAndTextsAloneUseTheRegion) {
    const auto args = argsOf({"p", std::string(600, 'a'), std::string(600, 'b')});
    ASSERT_EQ(args.size(), 3u);
    EXPECT_EQ(args[1].view(), std::string(600, 'a'));
    EXPECT_EQ(args[2].view(), std::string(600, 'b'));
    // Nothing beside the block: three entries and 2 + 601 + 601 text bytes.
    const InRegion r = allocInRegion({"p", std::string(600, 'a'), std::string(600, 'b')});
    ASSERT_TRUE(r.args.has_value());
    EXPECT_EQ(r.used, 3 * sizeof(process::Arg) + 2 + 601 + 601);
}

TEST(ArgsAlloc, ACommandLineFitsExactlyWhenTableAndTextsFillTheRegion) {
    // Two arguments: 32 bytes of table, "p" and its zero, the long one and its zero.
    const usize fits = 4096 - 32 - 2 - 1;
    InRegion r = allocInRegion({"p", std::string(fits, 'x')});
    ASSERT_TRUE(r.args.has_value());
    EXPECT_EQ(r.used, 4096u);
    EXPECT_EQ((*r.args)[1].view(), std::string(fits, 'x'));
    EXPECT_EQ((*r.args)[1].ptr[fits], '\0');
    r = allocInRegion({"p", std::string(fits + 1, 'x')});
    ASSERT_FALSE(r.args.has_value());
    EXPECT_EQ(r.args.error(), Error::OutOfMemory);
    EXPECT_EQ(r.used, 0u);

    // One long program path alone: 16 + 4080 bytes.
    EXPECT_TRUE(allocInRegion({std::string(4079, '/')}).args.has_value());
    EXPECT_FALSE(allocInRegion({std::string(4080, '/')}).args.has_value());

    // Many empty arguments: 17 bytes each, 240 fit and 241 do not.
    EXPECT_EQ(allocInRegion(std::vector<std::string>(240, "")).args.value_or(std::span<process::Arg>{}).size(), 240u);
    EXPECT_FALSE(allocInRegion(std::vector<std::string>(241, "")).args.has_value());
}

TEST(ArgsAlloc, AnEmptyVectorIsAnEmptyList) {
    const InRegion r = allocInRegion({});
    ASSERT_TRUE(r.args.has_value());
    EXPECT_TRUE(r.args->empty());
}

TEST(ParseListenFlag, NoArgumentIsTerminalModeAndRepeatedFlagIsServerMode) {
    EXPECT_FALSE(test_runner::parseListenFlag(argsOf({"prog"})));
    EXPECT_TRUE(test_runner::parseListenFlag(argsOf({"prog", "--listen=-"})));
    EXPECT_TRUE(test_runner::parseListenFlag(argsOf({"prog", "--listen=-", "--listen=-"})));
    EXPECT_FALSE(test_runner::parseListenFlag({}));
}

TEST(ParseListenFlagDeathTest, NearMissesPanicEvenBesideTheRealFlag) {
    for (const char* bad : {"--listen", "--listen=", "--listen=--", "--listen=-x", "-listen=-", "--Listen=-",
                            "--listen=+", " --listen=-", "--listen=- "}) {
        EXPECT_DEATH(test_runner::parseListenFlag(argsOf({"prog", "--listen=-", bad})),
                     "panic: unrecognized command line argument")
            << bad;
    }
    EXPECT_DEATH(test_runner::parseListenFlag(argsOf({"prog", ""})), "panic: unrecognized command line argument");
}

// Runs expandStackSize with a PT_GNU_STACK of `declared` bytes after setting
// the limits, in a child process; exits 0 when the soft limit ends at
// `expected_soft` and the call says so (the start-up stack's extent is
// learned from that answer).
void stackRule(rlim_t soft, rlim_t hard, u64 declared, rlim_t expected_soft) {
    rlimit lim{soft, hard};
    if (setrlimit(RLIMIT_STACK, &lim) != 0) std::exit(3);
    Elf64_Phdr phdrs[2] = {};
    phdrs[0].p_type = PT_LOAD;
    phdrs[1].p_type = PT_GNU_STACK;
    phdrs[1].p_memsz = declared;
    const u64 in_effect = start::expandStackSize({phdrs, 2});
    getrlimit(RLIMIT_STACK, &lim);
    std::exit(lim.rlim_cur == expected_soft && lim.rlim_max == hard && in_effect == expected_soft ? 0 : 1);
}

constexpr rlim_t MiB = 1024 * 1024;

TEST(ExpandStackSizeDeathTest, RaisesTheSoftLimitUpToTheHardLimitAndNeverLowersIt) {
    EXPECT_EXIT(stackRule(8 * MiB, RLIM_INFINITY, 16 * MiB, 16 * MiB), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(stackRule(32 * MiB, RLIM_INFINITY, 16 * MiB, 32 * MiB), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(stackRule(16 * MiB, RLIM_INFINITY, 16 * MiB, 16 * MiB), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(stackRule(4 * MiB, 12 * MiB, 16 * MiB, 12 * MiB), ::testing::ExitedWithCode(0), "");
}

void noStackHeader() {
    rlimit lim{8 * MiB, RLIM_INFINITY};
    if (setrlimit(RLIMIT_STACK, &lim) != 0) std::exit(3);
    Elf64_Phdr phdr{};
    phdr.p_type = PT_LOAD;
    const u64 in_effect = start::expandStackSize({&phdr, 1});
    getrlimit(RLIMIT_STACK, &lim);
    std::exit(lim.rlim_cur == 8 * MiB && in_effect == 8 * MiB ? 0 : 1);
}

TEST(ExpandStackSizeDeathTest, WithoutAStackHeaderNothingChanges) {
    EXPECT_EXIT(noStackHeader(), ::testing::ExitedWithCode(0), "");
}

TEST(ExpandStackSizeDeathTest, ASizeThatIsNotWholePagesIsAnInternalError) {
    EXPECT_DEATH(stackRule(8 * MiB, RLIM_INFINITY, 16 * MiB + 1, 0), "panic: reached unreachable code");
}

}  // namespace
