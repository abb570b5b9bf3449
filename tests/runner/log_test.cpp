// The log sink: thresholds, line format, the error counter.
#include <gtest/gtest.h>

#include "support/log.hpp"
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

}  // namespace
