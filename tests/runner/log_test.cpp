// The log sink: thresholds, line format, the error counter; and how many
// writes a line of the sink or of debug::print takes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/log.hpp"
#include "support/print.hpp"
#include "tests/runner/stderr_capture.hpp"

namespace {

class LogSink : public ::testing::Test {
  protected:
    void SetUp() override {
        test_runner::log_err_count.store(0);
        testing::log_level.store(logging::Level::warn);
    }
    void TearDown() override { SetUp(); }
};

TEST_F(LogSink, DefaultThresholdPrintsErrorsAndWarningsOnly) {
    StderrCapture capture;
    logging::err("first {d}", 1);
    logging::warn("second {s}", "w");
    logging::info("third");
    logging::debug("fourth");
    logging::scoped("gpa").err("memory address 0x{x} leaked: {s}", 0xabcu, "trace");
    EXPECT_EQ(capture.take(),
              "[default] (err): first 1\n"
              "[default] (warn): second w\n"
              "[gpa] (err): memory address 0xabc leaked: trace\n");
    EXPECT_EQ(test_runner::log_err_count.load(), 2u);
}

TEST_F(LogSink, DebugThresholdShowsEveryLevelButCountsOnlyErrors) {
    testing::log_level.store(logging::Level::debug);
    StderrCapture capture;
    logging::info("i");
    logging::debug("failed to determine terminal size; using conservative guess 80x25");
    EXPECT_EQ(capture.take(),
              "[default] (info): i\n"
              "[default] (debug): failed to determine terminal size; using conservative guess 80x25\n");
    EXPECT_EQ(test_runner::log_err_count.load(), 0u);
}

TEST_F(LogSink, ErrorsAreCountedAndPrintedWhateverTheThreshold) {
    testing::log_level.store(logging::Level::err);
    StderrCapture capture;
    logging::warn("hidden");
    logging::err("shown");
    EXPECT_EQ(capture.take(), "[default] (err): shown\n");
    EXPECT_EQ(test_runner::log_err_count.load(), 1u);
}

TEST_F(LogSink, CounterSaturatesAtItsMaximum) {
    test_runner::log_err_count.store(~u64{0} - 1);
    StderrCapture capture;
    logging::err("a");
    logging::err("b");
    logging::err("c");
    (void)capture.take();
    EXPECT_EQ(test_runner::log_err_count.load(), ~u64{0});
}

using Writes = std::vector<std::string>;

// A progress line's prefix was six writes ("1", "/", "10", " ", name,
// "...") and a float three; each message is now one write.
TEST(OneWritePerMessage, DebugPrintOfNumbersNamesAndFloats) {
    StderrWrites writes;
    debug::print("{d}/{d} {s}...", 1u, 10u, "w4_input.test.Input: KeyMods is 1 byte");
    debug::print("{}", 0.7071067811865475);
    debug::print("{d} passed; {d} skipped; {d} failed.\n", 7u, 1u, 2u);
    debug::print("unsupported message: {x}", 0x2au);
    debug::print("");
    EXPECT_EQ(writes.take(), (Writes{"1/10 w4_input.test.Input: KeyMods is 1 byte...", "7.071067811865475e-1",
                                     "7 passed; 1 skipped; 2 failed.\n", "unsupported message: 2a"}));
}

TEST(OneWritePerMessage, LogSinkLineWithItsLineEnd) {
    test_runner::log_err_count.store(0);
    StderrWrites writes;
    logging::scoped("gpa").err("memory address 0x{x} leaked: {s}", 0xabcu, "trace");
    logging::warn("invalid XOV_PROGRESS file descriptor integer: {s}", Error::InvalidCharacter);
    EXPECT_EQ(writes.take(), (Writes{"[gpa] (err): memory address 0xabc leaked: trace\n",
                                     "[default] (warn): invalid XOV_PROGRESS file descriptor integer: "
                                     "InvalidCharacter\n"}));
    test_runner::log_err_count.store(0);
}

// 4096 bytes is what a pipe takes in one piece; longer texts are cut
// there and nothing is lost or repeated.
TEST(OneWritePerMessage, LongTextsGoOutABufferAtATime) {
    const std::string exact(4096, 'a');
    std::string longer;
    for (int i = 0; i < 10000; ++i) longer += static_cast<char>('a' + i % 26);
    StderrWrites writes;
    debug::print("{s}", exact);
    debug::print("{s}", std::string_view(exact).substr(1));
    debug::print("{s}{s}", std::string_view(exact).substr(1), "xy");
    debug::print("<{s}>", longer);
    const Writes got = writes.take();
    std::vector<size_t> sizes;
    for (const auto& w : got) sizes.push_back(w.size());
    ASSERT_EQ(sizes, (std::vector<size_t>{4096, 4095, 4096, 1, 4096, 4096, 1810}));
    EXPECT_TRUE(got[0] == exact);
    EXPECT_TRUE(got[1] == exact.substr(1));
    EXPECT_TRUE(got[2] == exact.substr(1) + "x");
    EXPECT_EQ(got[3], "y");
    EXPECT_TRUE(got[4] + got[5] + got[6] == "<" + longer + ">");
}

}  // namespace
