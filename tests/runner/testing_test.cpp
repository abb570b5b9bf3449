// Assertions: approxEqAbs, expect, expectApproxEqAbs and their traces.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <limits>

#include "runner/testing.hpp"
#include "support/log.hpp"
#include "tests/failure/function_name.hpp"
#include "tests/runner/stderr_capture.hpp"

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
const double nan = std::nan("");

TEST(ApproxEqAbs, EqualValuesAndTheToleranceBoundary) {
    EXPECT_TRUE(math::approxEqAbs(1.0, 1.0, 0.0));
    EXPECT_TRUE(math::approxEqAbs(1.0, 1.5, 0.5));
    EXPECT_TRUE(math::approxEqAbs(1.5, 1.0, 0.5));
    EXPECT_FALSE(math::approxEqAbs(1.0, 1.5000001, 0.5));
    EXPECT_TRUE(math::approxEqAbs(-0.0, 0.0, 0.0));
    EXPECT_FALSE(math::approxEqAbs(1.0, 1.0 + 1e-9, 1e-10));
}

TEST(ApproxEqAbs, InfinitiesAndNaN) {
    EXPECT_TRUE(math::approxEqAbs(inf, inf, 0.0));
    EXPECT_TRUE(math::approxEqAbs(-inf, -inf, 1.0));
    EXPECT_FALSE(math::approxEqAbs(inf, -inf, 1e300));
    EXPECT_FALSE(math::approxEqAbs(inf, 1e308, 1e308));
    EXPECT_TRUE(math::approxEqAbs(inf, 1.0, inf));  // |inf - 1| <= inf
    EXPECT_FALSE(math::approxEqAbs(nan, nan, 1.0));
    EXPECT_FALSE(math::approxEqAbs(nan, 1.0, inf));
    EXPECT_FALSE(math::approxEqAbs(1.0, nan, inf));
}

TEST(ApproxEqAbsDeathTest, NegativeOrNaNTolerancePanics) {
    EXPECT_DEATH((void)math::approxEqAbs(1.0, 1.0, -1e-10), "panic: reached unreachable code");
    EXPECT_DEATH((void)math::approxEqAbs(1.0, 2.0, nan), "panic: reached unreachable code");
}

TEST(Expect, TrueLeavesTraceAloneFalseRecordsOneSiteAndPrintsNothing) {
    usize addresses[4] = {};
    StackTrace trace{0, addresses};
    EXPECT_TRUE(testing::expect(&trace, true).has_value());
    EXPECT_EQ(trace.index, 0u);

    StderrCapture capture;
    auto r = testing::expect(&trace, false);
    EXPECT_EQ(capture.take(), "");
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), Error::TestUnexpectedResult);
    EXPECT_EQ(trace.index, 1u);
    EXPECT_EQ(test_support::functionAtReturnAddress(addresses[0]), "testing::expect");
}

TEST(ExpectApproxEqAbs, FailurePrintsOneLineInActualToleranceExpectedOrder) {
    usize addresses[4] = {};
    StackTrace trace{0, addresses};
    StderrCapture capture;
    auto r = testing::expectApproxEqAbs(&trace, 0.7071067811865475, 1.0, 1e-10);
    EXPECT_EQ(capture.take(), "actual 1e0, not within absolute tolerance 1e-10 of expected 7.071067811865475e-1\n");
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), Error::TestExpectedApproxEqAbs);
    // One entry, inside the inner function: the thin entry adds none.
    ASSERT_EQ(trace.index, 1u);
    EXPECT_EQ(test_support::functionAtReturnAddress(addresses[0]), "testing::expectApproxEqAbsInner");
}

TEST(ExpectApproxEqAbs, SuccessPrintsNothing) {
    usize addresses[4] = {};
    StackTrace trace{0, addresses};
    StderrCapture capture;
    EXPECT_TRUE(testing::expectApproxEqAbs(&trace, 1.0, 1.0 + 1e-11, 1e-10).has_value());
    EXPECT_EQ(capture.take(), "");
    EXPECT_EQ(trace.index, 0u);
}

// Standard error on a pipe that is full and non-blocking while in scope:
// every write to it fails with EAGAIN.
class FullStderr {
  public:
    FullStderr() {
        if (pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) return;
        const std::string block(4096, 'x');
        while (write(fds_[1], block.data(), block.size()) > 0) {
        }
        saved_ = dup(2);
        dup2(fds_[1], 2);
    }
    ~FullStderr() {
        dup2(saved_, 2);
        close(saved_);
        close(fds_[0]);
        close(fds_[1]);
    }

  private:
    int fds_[2] = {-1, -1};
    int saved_ = -1;
};

// The runners point the thread's trace at the test's own during a test; the
// errors of a print that cannot get out are swallowed there and must not
// land in it.
TEST(ExpectApproxEqAbs, AFailureLineThatCannotBeWrittenAddsNothingToTheTrace) {
    usize addresses[8] = {};
    StackTrace trace{0, addresses};
    Result<void> r;
    {
        FullStderr full;
        builtin::setErrorReturnTrace(&trace);
        r = testing::expectApproxEqAbs(&trace, 0.7071067811865475, 1.0, 1e-10);
        builtin::setErrorReturnTrace(nullptr);
    }
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), Error::TestExpectedApproxEqAbs);
    ASSERT_EQ(trace.index, 1u);
    EXPECT_EQ(test_support::functionAtReturnAddress(addresses[0]), "testing::expectApproxEqAbsInner");
}

TEST(Log, AMessageThatCannotBeWrittenAddsNothingToTheTraceAndKeepsIt) {
    usize addresses[8] = {};
    StackTrace trace{0, addresses};
    {
        FullStderr full;
        builtin::setErrorReturnTrace(&trace);
        logging::warn("cannot get out {d}", 1);
        testing::print("nor can this {d}\n", 2);
        EXPECT_EQ(builtin::errorReturnTrace(), &trace);
        builtin::setErrorReturnTrace(nullptr);
    }
    EXPECT_EQ(trace.index, 0u);
}

}  // namespace
