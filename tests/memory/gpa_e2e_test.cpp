// The leak-checking allocator under the real terminal runner: leak, double
// free, mismatched free and invalid free reports, the summary lines and the
// exit status, through the fixture executable.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "tests/e2e/child.hpp"
#include "tests/e2e/pattern.hpp"

namespace {

using e2e::fixture;
using e2e::run;

size_t countOf(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

// Once traces resolve to source, the first frame of an allocation trace is
// the allocating line of the fixture; until then it is an unresolved entry.
void expectFirstFrameIn(const std::string& trace, const std::string& function) {
    const std::string first = trace.substr(0, trace.find('\n'));
    if (first.rfind("???", 0) == 0) {
        EXPECT_NE(first.find(": 0x"), std::string::npos) << first;
    } else {
        EXPECT_NE(first.find("gpa_cases.cpp:"), std::string::npos) << first;
        EXPECT_NE(first.find(" in (anonymous namespace)::" + function + " ("), std::string::npos) << first;
    }
}

TEST(GpaTerminal, LeakIsReportedWithItsAddressAndCounted) {
    auto r = run(fixture("gpa_leak"));
    // The whole output: anchored at both ends, the trace ('.' spans lines)
    // between fixed lines.
    const e2e::Pattern shape(
        "^1/2 fixture\\.test\\.leaks one allocation\\.\\.\\.leaking 0x([0-9a-f]+) OK\n"
        "\\[gpa\\] \\(err\\): memory address 0x\\1 leaked: \n"
        "(.+)\n"
        "2/2 fixture\\.test\\.passes\\.\\.\\.OK\n"
        "All 2 tests passed\\.\n"
        "1 errors were logged\\.\n"
        "1 tests leaked memory\\.\n$");
    const auto m = shape.search(r.err);
    ASSERT_TRUE(m.has_value()) << r.err;
    expectFirstFrameIn(m->str(2), "leaksOne");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.exitCode(), 1);
}

TEST(GpaTerminal, SmallLeaksAreReportedBeforeLargeOnes) {
    auto r = run(fixture("gpa_leak_order"));
    const auto m = e2e::Pattern("small 0x([0-9a-f]+) large 0x([0-9a-f]+) OK\n").search(r.err);
    ASSERT_TRUE(m.has_value()) << r.err;
    const size_t small_at = r.err.find("[gpa] (err): memory address 0x" + m->str(1) + " leaked: \n");
    const size_t large_at = r.err.find("[gpa] (err): memory address 0x" + m->str(2) + " leaked: \n");
    ASSERT_NE(small_at, std::string::npos) << r.err;
    ASSERT_NE(large_at, std::string::npos) << r.err;
    EXPECT_LT(small_at, large_at);
    EXPECT_NE(r.err.find("All 1 tests passed.\n2 errors were logged.\n1 tests leaked memory.\n"), std::string::npos)
        << r.err;
    EXPECT_EQ(r.exitCode(), 1);
}

TEST(GpaTerminal, TestsThatFreeEverythingRunClean) {
    auto r = run(fixture("gpa_clean"));
    EXPECT_EQ(r.err,
              "1/2 fixture.test.frees everything...OK\n"
              "2/2 fixture.test.frees everything again...OK\n"
              "All 2 tests passed.\n");
    EXPECT_EQ(r.exitCode(), 0);
}

TEST(GpaTerminal, DoubleFreeIsReportedAndTheRunContinues) {
    auto r = run(fixture("gpa_double_free"));
    const e2e::Pattern shape(
        "^1/2 fixture\\.test\\.frees twice\\.\\.\\."
        "\\[gpa\\] \\(err\\): Double free detected\\. Allocation: \n(.+) First free: \n(.+)"
        " Second free: \n(.+)\n"
        "OK\n"
        "2/2 fixture\\.test\\.passes\\.\\.\\.OK\n"
        "All 2 tests passed\\.\n"
        "1 errors were logged\\.\n$");
    const auto m = shape.search(r.err);
    ASSERT_TRUE(m.has_value()) << r.err;
    // Each label once, so the three traces split where the labels are
    // (each group takes the longest text it can).
    EXPECT_EQ(countOf(r.err, " First free: \n"), 1u) << r.err;
    EXPECT_EQ(countOf(r.err, " Second free: \n"), 1u) << r.err;
    for (size_t i = 1; i <= 3; ++i) expectFirstFrameIn(m->str(i), "freesTwice");
    // Allocation, first and second free are three different lines.
    const auto firstLine = [&](size_t i) { return m->str(i).substr(0, m->str(i).find('\n')); };
    EXPECT_NE(firstLine(1), firstLine(2));
    EXPECT_NE(firstLine(2), firstLine(3));
    EXPECT_EQ(countOf(r.err, "leaked"), 0u);
    EXPECT_EQ(r.exitCode(), 1);
}

TEST(GpaTerminal, MismatchedFreeIsReportedWithBothSizes) {
    auto r = run(fixture("gpa_mismatched_free"));
    const e2e::Pattern shape(
        "^1/1 fixture\\.test\\.frees with the wrong length\\.\\.\\."
        "\\[gpa\\] \\(err\\): Allocation size 100 bytes does not match free size 99\\. Allocation: \n.+ Free: \n"
        ".+\n"
        "OK\n"
        "All 1 tests passed\\.\n"
        "1 errors were logged\\.\n$");
    EXPECT_TRUE(shape.foundIn(r.err)) << r.err;
    EXPECT_EQ(r.exitCode(), 1);
}

TEST(GpaTerminal, FreeingAReleasedSlotEndsInThePanicInvalidFree) {
    auto r = run(fixture("gpa_invalid_free"));
    EXPECT_TRUE(e2e::Pattern("^1/2 fixture\\.test\\.frees the only slot twice\\.\\.\\."
                             "thread [0-9]+ panic: Invalid free\n")
                    .foundIn(r.err))
        << r.err;
    EXPECT_EQ(countOf(r.err, "2/2"), 0u);
    EXPECT_EQ(countOf(r.err, "passed"), 0u);
    EXPECT_EQ(r.termSignal(), SIGABRT);
}

TEST(GpaTerminal, UsingTheAllocatorAfterDeinitPanicsInsteadOfHanging) {
    auto r = run(fixture("gpa_use_after_deinit"), {}, std::chrono::seconds(15));
    EXPECT_FALSE(r.timed_out);
    EXPECT_TRUE(e2e::Pattern("^1/2 fixture\\.test\\.allocates after deinit\\.\\.\\."
                             "thread [0-9]+ panic: GeneralPurposeAllocator used after deinit\n")
                    .foundIn(r.err))
        << r.err;
    EXPECT_EQ(countOf(r.err, "2/2"), 0u);
    EXPECT_EQ(r.termSignal(), SIGABRT);
}

TEST(GpaTerminal, ASecondDeinitPanicsInsteadOfFaulting) {
    auto r = run(fixture("gpa_second_deinit"), {}, std::chrono::seconds(15));
    EXPECT_FALSE(r.timed_out);
    EXPECT_TRUE(e2e::Pattern("^1/2 fixture\\.test\\.deinits itself\\.\\.\\.OK\n"
                             "thread [0-9]+ panic: GeneralPurposeAllocator deinit called twice\n")
                    .foundIn(r.err))
        << r.err;
    EXPECT_EQ(countOf(r.err, "Segmentation fault"), 0u) << r.err;
    EXPECT_EQ(countOf(r.err, "2/2"), 0u);
    EXPECT_EQ(r.termSignal(), SIGABRT);
}

TEST(GpaTerminal, EveryLeakingTestIsCountedWhateverItsResult) {
    auto r = run(fixture("gpa_leaks_each_test"));
    EXPECT_EQ(countOf(r.err, "[gpa] (err): memory address 0x"), 2u) << r.err;
    EXPECT_NE(r.err.find("2/3 fixture.test.leaks then fails...FAIL (TestUnexpectedResult)\n"), std::string::npos)
        << r.err;
    const std::string summary = "2 passed; 0 skipped; 1 failed.\n2 errors were logged.\n2 tests leaked memory.\n";
    EXPECT_EQ(r.err.substr(r.err.size() - std::min(r.err.size(), summary.size())), summary) << r.err;
    EXPECT_EQ(r.exitCode(), 1);
}

}  // namespace
