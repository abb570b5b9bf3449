// The terminal runner end to end: the product and the fixture executable
// run through pipes and a pseudo-terminal, exact bytes and statuses.
#include <elf.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdlib>

#include <string>
#include <string_view>
#include <vector>

#include "tests/debuginfo/shell.hpp"
#include "tests/e2e/child.hpp"

namespace {

using e2e::fixture;
using e2e::product;
using e2e::run;

const char* const product_lines =
    "1/10 w4_input.test.Input: KeyMods is 1 byte...OK\n"
    "2/10 w4_input.test.Input: MouseState initial values...OK\n"
    "3/10 w4_input.test.Input: InputState initial state...OK\n"
    "4/10 w4_input.test.Input: cameraMoveDir with no input...OK\n"
    "5/10 w4_input.test.Input: cameraMoveDir forward...OK\n"
    "6/10 w4_input.test.Input: cameraMoveDir normalized diagonal...OK\n"
    "7/10 w4_input.test.Input: InputEvent tagged union size...OK\n"
    "8/10 w4_input.test.Input: MouseButton enum values...OK\n"
    "9/10 w4_input.test.Input: KeyAction enum values...OK\n"
    "10/10 w4_input.test.Input: MouseState clearDeltas...OK\n"
    "All 10 tests passed.\n";

bool startsWith(const std::string& s, std::string_view prefix) { return s.compare(0, prefix.size(), prefix) == 0; }
bool endsWith(const std::string& s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

TEST(ProductTerminal, OnAPipeEveryTestHasItsLineThenTheSummary) {
    auto r = run(product());
    EXPECT_EQ(r.err, product_lines);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.exitCode(), 0);
}

// Each line reaches standard error in two writes, its name before the
// test runs and its verdict after; the summary in one. A name used to take
// six writes, so another process writing to the same descriptor could cut
// into it.
TEST(ProductTerminal, EveryLineIsTwoWritesAndTheSummaryOne) {
    auto options = product();
    options.stderr_packets = true;
    auto r = run(options);
    EXPECT_EQ(r.exitCode(), 0);
    EXPECT_EQ(r.err, product_lines);
    std::vector<std::string> expected;
    std::string_view lines(product_lines);
    while (!lines.empty()) {
        const size_t end = lines.find('\n') + 1;
        const std::string_view line = lines.substr(0, end);
        const size_t dots = line.find("...");
        if (dots == std::string_view::npos) {
            expected.emplace_back(line);
        } else {
            expected.emplace_back(line.substr(0, dots + 3));
            expected.emplace_back(line.substr(dots + 3));
        }
        lines.remove_prefix(end);
    }
    EXPECT_EQ(r.err_writes, expected);
}

// A clean run reads no file: a test's first stack capture (the progress
// display records where it started) used to read /proc/self/maps to learn
// where the stack is, the costliest single system call of the run.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define XOV_SANITIZER_RUNTIME 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define XOV_SANITIZER_RUNTIME 1
#endif
#endif

TEST(ProductTerminal, ACleanRunOpensNoFile) {
#ifdef XOV_SANITIZER_RUNTIME
    GTEST_SKIP() << "the sanitizer runtime reads /proc/self/maps itself";
#endif
    auto options = product();
    options.forbid_open = true;
    auto r = run(options);
    EXPECT_EQ(r.termSignal(), 0);
    EXPECT_EQ(r.exitCode(), 0);
    EXPECT_EQ(r.err, product_lines);
    options.stderr_pty = true;  // drawing progress on a terminal too
    r = run(options);
    EXPECT_EQ(r.termSignal(), 0);
    EXPECT_EQ(r.exitCode(), 0);
    EXPECT_EQ(r.err, "All 10 tests passed.\n");
}

// Every run starts in the C library, and each page its start-up touches
// costs a fault; a link without the start-up layout (the script left out,
// or a C library whose objects it no longer names) spreads that code and
// data over a dozen more pages and still runs, only slower.
TEST(ProductImage, TheCLibrarysStartUpIsGatheredInItsOwnSections) {
#ifdef XOV_SANITIZER_RUNTIME
    GTEST_SKIP() << "a sanitizer build links the C library dynamically";
#endif
    const std::string product_path = e2e::productPath();
    const auto sections = xov_test::sectionsOf(xov_test::readFile(product_path));
    const auto addresses = xov_test::symbolAddresses(product_path);
    const struct {
        const char* name;
        std::vector<const char*> symbols;
    } placed[] = {
        {".text.cstart",
         {"__libc_start_main", "_dl_aux_init", "__tunables_init", "__libc_setup_tls", "malloc", "strlen",
          "__register_frame_info", "pthread_create"}},
        {".data.rel.ro.cstart", {"tunable_list"}},
        {".data.cstart", {"main_arena", "_dl_pagesize", "__libc_enable_secure", "_IO_2_1_stderr_"}},
        {".bss.cstart", {"_dl_x86_cpu_features", "_dl_phdr", "__environ"}},
    };
    for (const auto& [name, symbols] : placed) {
        const Elf64_Shdr& header = xov_test::section(sections, name).header;
        EXPECT_GT(header.sh_size, 0u) << name;
        for (const char* symbol : symbols) {
            const uint64_t at = xov_test::symbolAddress(addresses, symbol);
            EXPECT_TRUE(at >= header.sh_addr && at < header.sh_addr + header.sh_size)
                << symbol << " is outside " << name;
        }
    }
    // Gathered means a few pages, not the library's whole text moved.
    EXPECT_LT(xov_test::section(sections, ".text.cstart").header.sh_size, uint64_t{192 * 1024});
}

TEST(ProductTerminal, StdinClosedOrNullChangesNothing) {
    auto options = product();
    options.stdin_null = true;
    auto r = run(options);
    EXPECT_EQ(r.err, product_lines);
    EXPECT_EQ(r.exitCode(), 0);
}

TEST(ProductTerminal, OnATerminalOnlyTheSummaryIsPrinted) {
    auto options = product();
    options.stderr_pty = true;
    auto r = run(options);
    EXPECT_EQ(r.err, "All 10 tests passed.\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.exitCode(), 0);
}

TEST(ProductTerminal, ClosedStandardErrorStillExitsCleanly) {
    // Every write fails with EPIPE; SIGPIPE is handled by a no-op, so the
    // run completes and reports its status.
    auto options = product();
    options.stderr_broken = true;
    auto r = run(options);
    EXPECT_EQ(r.exitCode(), 0);
    EXPECT_EQ(r.out, "");
    options = fixture("expect_fails");
    options.stderr_broken = true;
    EXPECT_EQ(run(options).exitCode(), 1);
}

TEST(ProductArguments, AnyOtherArgumentPanicsWithSigabrt) {
    for (const char* bad : {"--listen", "--listen=-x", "-h", "--listen=stdin"}) {
        auto r = run(product({bad}));
        EXPECT_TRUE(startsWith(r.err, "thread ")) << r.err;
        EXPECT_NE(r.err.find(" panic: unrecognized command line argument\n"), std::string::npos) << r.err;
        EXPECT_EQ(r.termSignal(), SIGABRT) << bad;
        EXPECT_EQ(r.out, "");
    }
    // Even after a valid flag, as soon as the loop reaches the bad one.
    auto r = run(product({"--listen=-", "--bogus"}));
    EXPECT_NE(r.err.find("panic: unrecognized command line argument\n"), std::string::npos);
    EXPECT_EQ(r.termSignal(), SIGABRT);
    EXPECT_EQ(r.out, "");
}

TEST(ProductArguments, CommandLineTooLargeForTheRegionPanics) {
    auto r = run(product({std::string(5000, 'x')}));
    EXPECT_NE(r.err.find("panic: unable to parse command line args\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.termSignal(), SIGABRT);
}

TEST(ProductArguments, ACommandLineFillingTheWholeRegionIsParsedAndOneByteMoreIsNot) {
    // Two entries of table (32 bytes), the program path and the argument,
    // each with its zero byte: exactly 4096 bytes. The argument is parsed,
    // then refused as unknown; one byte longer, the line does not fit.
    const size_t fits = 4096 - 32 - (e2e::productPath().size() + 1) - 1;
    auto r = run(product({std::string(fits, 'x')}));
    EXPECT_NE(r.err.find("panic: unrecognized command line argument\n"), std::string::npos) << r.err.substr(0, 200);
    EXPECT_EQ(r.termSignal(), SIGABRT);
    r = run(product({std::string(fits + 1, 'x')}));
    EXPECT_NE(r.err.find("panic: unable to parse command line args\n"), std::string::npos) << r.err.substr(0, 200);
    EXPECT_EQ(r.termSignal(), SIGABRT);
}

TEST(ProductArguments, ALongAbsolutePathToTheExecutableRunsAsUsual) {
    // 2,020 bytes, legal under PATH_MAX: directories of 200-byte names in a
    // temporary directory, and a link to the executable at the bottom.
    char made[] = "/tmp/xov_long_path_XXXXXX";
    ASSERT_NE(mkdtemp(made), nullptr);
    std::vector<std::string> dirs = {made};
    while (2020 - dirs.back().size() > 1 + 255) {
        dirs.push_back(dirs.back() + "/" + std::string(200, 'd'));
        ASSERT_EQ(mkdir(dirs.back().c_str(), 0700), 0) << dirs.back().size();
    }
    std::string leaf = "w4_input_tests";
    leaf += std::string(2020 - dirs.back().size() - 1 - leaf.size(), '_');
    const std::string path = dirs.back() + "/" + leaf;
    ASSERT_EQ(path.size(), 2020u);
    ASSERT_EQ(symlink(e2e::productPath().c_str(), path.c_str()), 0);

    e2e::SpawnOptions options;
    options.argv = {path};
    const auto r = run(options);
    EXPECT_EQ(r.err, product_lines);
    EXPECT_EQ(r.exitCode(), 0);

    unlink(path.c_str());
    for (auto d = dirs.rbegin(); d != dirs.rend(); ++d) rmdir(d->c_str());
}

TEST(FixtureTerminal, OneSkipIsNotAFailure) {
    auto r = run(fixture("one_skip"));
    EXPECT_EQ(r.err,
              "1/3 fixture.test.passes...OK\n"
              "2/3 fixture.test.skips...SKIP\n"
              "3/3 fixture.test.passes too...OK\n"
              "2 passed; 1 skipped; 0 failed.\n");
    EXPECT_EQ(r.exitCode(), 0);
}

TEST(FixtureTerminal, SkipOnATerminalPrintsTheFullLine) {
    auto options = fixture("one_skip");
    options.stderr_pty = true;
    auto r = run(options);
    EXPECT_EQ(r.err,
              "2/3 fixture.test.skips...SKIP\n"
              "2 passed; 1 skipped; 0 failed.\n");
    EXPECT_EQ(r.exitCode(), 0);
}

TEST(FixtureTerminal, FailedExpectPrintsTheVerdictThenATwoEntryTrace) {
    auto options = fixture("expect_fails");
    options.set_env.push_back("NO_COLOR=1");
    auto r = run(options);
    const std::string head =
        "1/3 fixture.test.passes...OK\n"
        "2/3 fixture.test.expect fails...FAIL (TestUnexpectedResult)\n";
    const std::string tail =
        "3/3 fixture.test.passes too...OK\n"
        "2 passed; 0 skipped; 1 failed.\n";
    ASSERT_TRUE(startsWith(r.err, head)) << r.err;
    ASSERT_TRUE(endsWith(r.err, tail)) << r.err;
    // Two trace entries, each a location line with an address.
    const std::string trace = r.err.substr(head.size(), r.err.size() - head.size() - tail.size());
    size_t entries = 0;
    for (size_t pos = 0; (pos = trace.find(": 0x", pos)) != std::string::npos; ++pos) ++entries;
    EXPECT_EQ(entries, 2u) << trace;
    EXPECT_EQ(r.exitCode(), 1);
}

TEST(FixtureTerminal, FailureOnATerminalPrintsTheFullLine) {
    auto options = fixture("expect_fails");
    options.stderr_pty = true;
    auto r = run(options);
    EXPECT_TRUE(startsWith(r.err, "2/3 fixture.test.expect fails...FAIL (TestUnexpectedResult)\n")) << r.err;
    EXPECT_TRUE(endsWith(r.err, "2 passed; 0 skipped; 1 failed.\n")) << r.err;
    EXPECT_EQ(r.exitCode(), 1);
}

TEST(FixtureTerminal, FailedApproxComparisonPrintsItsLineBeforeTheVerdict) {
    auto r = run(fixture("approx_fails"));
    EXPECT_TRUE(startsWith(r.err,
                           "1/1 fixture.test.approx fails..."
                           "actual 1e0, not within absolute tolerance 1e-10 of expected 5e-1\n"
                           "FAIL (TestExpectedApproxEqAbs)\n"))
        << r.err;
    EXPECT_TRUE(endsWith(r.err, "0 passed; 0 skipped; 1 failed.\n"));
    EXPECT_EQ(r.exitCode(), 1);
}

TEST(FixtureTerminal, AnyOtherErrorIsAFailureUnderItsOwnName) {
    auto r = run(fixture("other_error"));
    EXPECT_TRUE(startsWith(r.err, "1/1 fixture.test.other error...FAIL (OutOfMemory)\n")) << r.err;
    EXPECT_TRUE(endsWith(r.err, "0 passed; 0 skipped; 1 failed.\n"));
    EXPECT_EQ(r.exitCode(), 1);
}

TEST(FixtureTerminal, TestOutputStandsBetweenPrefixAndVerdict) {
    auto r = run(fixture("prints"));
    EXPECT_EQ(r.err,
              "1/1 fixture.test.prints...hello from a testOK\n"
              "All 1 tests passed.\n");
    EXPECT_EQ(r.exitCode(), 0);
}

TEST(FixtureTerminal, LoggedErrorsFailTheRunAfterAllPass) {
    auto r = run(fixture("logs"));
    EXPECT_EQ(r.err,
              "1/2 fixture.test.logs...[default] (err): an error: 42\n"
              "[default] (warn): a warning\n"
              "OK\n"
              "2/2 fixture.test.passes...OK\n"
              "All 2 tests passed.\n"
              "1 errors were logged.\n");
    EXPECT_EQ(r.exitCode(), 1);
}

TEST(FixtureTerminal, EmptyTablePassesWithZero) {
    auto r = run(fixture("empty"));
    EXPECT_EQ(r.err, "All 0 tests passed.\n");
    EXPECT_EQ(r.exitCode(), 0);
}

TEST(FixtureTerminal, MixedRunCountsEveryKind) {
    auto options = fixture("mixed");
    options.stderr_pty = true;
    auto r = run(options);
    EXPECT_TRUE(startsWith(r.err,
                           "2/4 fixture.test.skips...SKIP\n"
                           "3/4 fixture.test.expect fails...FAIL (TestUnexpectedResult)\n"))
        << r.err;
    EXPECT_TRUE(endsWith(r.err,
                         "[default] (err): an error: 42\n"
                         "[default] (warn): a warning\n"
                         "2 passed; 1 skipped; 1 failed.\n"
                         "1 errors were logged.\n"))
        << r.err;
    EXPECT_EQ(r.exitCode(), 1);
    EXPECT_EQ(r.out, "");
}

// ---- interrupted tests ----

// Starts the fixture table, waits until its blocking test says so on
// standard error, sends sig, and collects the rest. The bytes read while
// waiting come first in err.
e2e::Finished interruptWhenBlocking(e2e::SpawnOptions options, int sig) {
    e2e::Child child = e2e::Child::spawn(options);
    std::string err;
    for (int i = 0; i < 2000 && err.find("blocking now") == std::string::npos; ++i) {
        err += child.takeStderr();
        usleep(10'000);
    }
    EXPECT_NE(err.find("blocking now"), std::string::npos) << err;
    child.kill(sig);
    e2e::Finished finished = child.finish(std::chrono::seconds(30));
    finished.err = err + finished.err;
    return finished;
}

// The elapsed time of an interrupt's line: "after 1.25 s".
bool hasElapsedTime(const std::string& err, std::string_view line_start) {
    const size_t at = err.find(line_start);
    if (at == std::string::npos) return false;
    const std::string rest = err.substr(at + line_start.size(), 12);
    size_t i = 0;
    while (i < rest.size() && rest[i] >= '0' && rest[i] <= '9') ++i;
    return i > 0 && rest.size() >= i + 6 && rest[i] == '.' && isdigit(rest[i + 1]) && isdigit(rest[i + 2]) &&
           rest.compare(i + 3, 3, " s\n") == 0;
}

// On a pipe: the test's line as always, then the interrupt's line on the
// same line, then the main thread's stack from the blocking system call;
// the process then dies by the signal itself, as a shell or CI runner
// expects of a terminated program.
TEST(FixtureInterrupt, SigtermOnAPipeNamesTheTestAndTheBlockingFunctionThenDiesBySigterm) {
    auto options = fixture("interrupt_blocks");
    options.set_env = {"XOV_FIXTURE_TABLE=interrupt_blocks", "NO_COLOR=1"};
    const auto r = interruptWhenBlocking(options, SIGTERM);
    EXPECT_EQ(r.termSignal(), SIGTERM) << r.err;
    const std::string line = "2/3 interrupt.test.blocks...blocking now\n"
                             "interrupted by SIGTERM in test 2/3 \"interrupt.test.blocks\", after ";
    ASSERT_TRUE(startsWith(r.err, "1/3 interrupt.test.quick...OK\n" + line)) << r.err;
    EXPECT_TRUE(hasElapsedTime(r.err, line)) << r.err;
    const size_t blocking = r.err.find("blocksInPoll");
    ASSERT_NE(blocking, std::string::npos) << r.err;
    EXPECT_NE(r.err.find("::blocks (", blocking), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("never reached"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("passed"), std::string::npos) << r.err;
}

// On a terminal: the frame on the screen is erased before the line, no
// frame is drawn after it, and the trace follows; the status is a death
// by SIGINT, as Ctrl-C leaves it.
TEST(FixtureInterrupt, SigintOnATerminalErasesTheFrameThenNamesTheTestAndItsStack) {
    auto options = fixture("interrupt_blocks_after_frame");
    options.stderr_pty = true;
    options.set_env = {"XOV_FIXTURE_TABLE=interrupt_blocks_after_frame", "NO_COLOR=1"};
    const auto r = interruptWhenBlocking(options, SIGINT);
    EXPECT_EQ(r.termSignal(), SIGINT) << r.err;
    const std::string line = "interrupted by SIGINT in test 2/2 \"interrupt.test.blocks after a frame\", after ";
    const size_t line_at = r.err.find(line);
    ASSERT_NE(line_at, std::string::npos) << r.err;
    EXPECT_TRUE(hasElapsedTime(r.err, line)) << r.err;
    // The last frame before the line, then the erase, and nothing drawn
    // from then on.
    const std::string_view frame_end = "\x1b[?2026l";
    const size_t last_frame = r.err.rfind(frame_end, line_at);
    ASSERT_NE(last_frame, std::string::npos) << "no frame before the report";
    const size_t erase = r.err.find("\x1b[J", last_frame);
    EXPECT_LT(erase, line_at);
    EXPECT_EQ(r.err.find("\x1b[?2026h", line_at), std::string::npos) << "a frame after the report";
    EXPECT_EQ(r.err.find("\x1b(0", line_at), std::string::npos) << "line drawing after the report";
    // The test is not announced a second time.
    EXPECT_EQ(r.err.find("2/2 interrupt.test.blocks after a frame..."), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("blocksInPoll", line_at), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("blocksAfterAFrame", line_at), std::string::npos) << r.err;
    EXPECT_TRUE(endsWith(r.err, "\n")) << "the cursor is left mid-line";
}

// The report writes without the standard-error lock, which the
// interrupted test holds.
TEST(FixtureInterrupt, ATestHoldingTheStandardErrorLockIsStillReported) {
    auto options = fixture("interrupt_holds_stderr");
    options.set_env = {"XOV_FIXTURE_TABLE=interrupt_holds_stderr", "NO_COLOR=1"};
    const auto r = interruptWhenBlocking(options, SIGINT);
    EXPECT_EQ(r.termSignal(), SIGINT) << r.err;
    const std::string line = "1/1 interrupt.test.blocks holding the stderr lock...blocking now\n"
                             "interrupted by SIGINT in test 1/1 \"interrupt.test.blocks holding the stderr lock\", "
                             "after ";
    ASSERT_TRUE(startsWith(r.err, line)) << r.err;
    EXPECT_NE(r.err.find("blocksHoldingTheStderrLock"), std::string::npos) << r.err;
}

// A busy test is interrupted where it is, not only in a system call.
TEST(FixtureInterrupt, ASpinningTestIsReportedWhereItSpins) {
    auto options = fixture("interrupt_spins");
    options.set_env = {"XOV_FIXTURE_TABLE=interrupt_spins", "NO_COLOR=1"};
    const auto r = interruptWhenBlocking(options, SIGTERM);
    EXPECT_EQ(r.termSignal(), SIGTERM) << r.err;
    const size_t line_at = r.err.find("interrupted by SIGTERM in test 1/1 \"interrupt.test.spins\", after ");
    ASSERT_NE(line_at, std::string::npos) << r.err;
    EXPECT_NE(r.err.find("spinsForever", line_at), std::string::npos) << r.err;
}

// ---- every thread's stack ----

// One thread's part of a report: its heading line ("thread 42, the main
// thread:") and the trace below it, up to the next heading.
struct ThreadSection {
    std::string heading;
    std::string trace;
};

// The sections after the report's first line (from `from` on).
std::vector<ThreadSection> threadSections(const std::string& err, size_t from) {
    std::vector<ThreadSection> sections;
    size_t at = from;
    while ((at = err.find("\nthread ", at)) != std::string::npos) {
        const size_t start = at + 1;
        const size_t end_of_heading = err.find('\n', start);
        const size_t next = err.find("\nthread ", start);
        const size_t trace_end = next == std::string::npos ? err.size() : next;
        const size_t heading_end = end_of_heading == std::string::npos ? err.size() : end_of_heading;
        std::string heading = err.substr(start, heading_end - start);
        if (!heading.empty() && heading.back() == '\r') heading.pop_back();
        sections.push_back({heading, err.substr(heading_end, trace_end - heading_end)});
        at = start;
    }
    return sections;
}

// "thread <digits>, <role>" and what follows it.
bool headingIs(const ThreadSection& section, std::string_view role_and_rest) {
    const std::string& h = section.heading;
    size_t i = std::string_view("thread ").size();
    if (!startsWith(h, "thread ")) return false;
    const size_t digits = i;
    while (i < h.size() && isdigit(static_cast<unsigned char>(h[i]))) ++i;
    return i > digits && h.compare(i, std::string::npos, std::string(", ") + std::string(role_and_rest)) == 0;
}

// An entry of the function, not a quoted source line that names it.
bool showsFunction(const ThreadSection& section, std::string_view function) {
    return section.trace.find("::" + std::string(function) + " (") != std::string::npos;
}

const ThreadSection* sectionShowing(const std::vector<ThreadSection>& sections, std::string_view function) {
    for (const ThreadSection& section : sections)
        if (showsFunction(section, function)) return &section;
    return nullptr;
}

// SIGQUIT's default action may write a core file; none is wanted. Its
// disposition, were it ignored here, would be the child's too.
void quitWithoutACore() {
    const rlimit none{0, 0};
    (void)setrlimit(RLIMIT_CORE, &none);
    (void)signal(SIGQUIT, SIG_DFL);
}

// The two threads the test started and the main thread, each under its
// own heading, each showing where it blocks; then death by SIGQUIT.
void expectTheTestsThreads(const std::vector<ThreadSection>& sections, const std::string& err) {
    ASSERT_GE(sections.size(), 3u) << err;
    EXPECT_TRUE(headingIs(sections[0], "the main thread:")) << sections[0].heading;
    EXPECT_TRUE(showsFunction(sections[0], "blocksInPoll")) << err;
    EXPECT_TRUE(showsFunction(sections[0], "startsTwoThreads")) << err;
    const ThreadSection* const first = sectionShowing(sections, "firstThreadBody");
    const ThreadSection* const second = sectionShowing(sections, "secondThreadBody");
    ASSERT_NE(first, nullptr) << err;
    ASSERT_NE(second, nullptr) << err;
    EXPECT_TRUE(headingIs(*first, "started by a test:")) << first->heading;
    EXPECT_TRUE(headingIs(*second, "started by a test:")) << second->heading;
    EXPECT_TRUE(showsFunction(*first, "blocksInPoll")) << err;
    EXPECT_TRUE(showsFunction(*second, "readsForever")) << err;
    EXPECT_FALSE(showsFunction(*first, "startsTwoThreads")) << "another thread's stack: " << err;
    EXPECT_EQ(err.find("did not answer"), std::string::npos) << err;
}

// On a pipe there is no progress thread: exactly the main thread and the
// test's two.
TEST(FixtureQuit, SigquitShowsEveryThreadWhereItBlocksThenDiesBySigquit) {
    quitWithoutACore();
    auto options = fixture("interrupt_two_threads");
    options.set_env = {"XOV_FIXTURE_TABLE=interrupt_two_threads", "NO_COLOR=1"};
    const auto r = interruptWhenBlocking(options, SIGQUIT);
    EXPECT_EQ(r.termSignal(), SIGQUIT) << r.err;
    const std::string line = "2/2 interrupt.test.starts two threads...blocking now\n"
                             "interrupted by SIGQUIT in test 2/2 \"interrupt.test.starts two threads\", after ";
    ASSERT_TRUE(startsWith(r.err, "1/2 interrupt.test.quick...OK\n" + line)) << r.err;
    EXPECT_TRUE(hasElapsedTime(r.err, line)) << r.err;
    const std::vector<ThreadSection> sections = threadSections(r.err, line.size());
    EXPECT_EQ(sections.size(), 3u) << r.err;
    expectTheTestsThreads(sections, r.err);
    EXPECT_TRUE(endsWith(r.err, "\n")) << r.err;
}

// On a terminal the progress thread is there too, under its own name.
TEST(FixtureQuit, OnATerminalTheProgressThreadIsNamed) {
    quitWithoutACore();
    auto options = fixture("interrupt_two_threads");
    options.stderr_pty = true;
    options.set_env = {"XOV_FIXTURE_TABLE=interrupt_two_threads", "NO_COLOR=1"};
    const auto r = interruptWhenBlocking(options, SIGQUIT);
    EXPECT_EQ(r.termSignal(), SIGQUIT) << r.err;
    const size_t line_at = r.err.find("interrupted by SIGQUIT in test 2/2 \"interrupt.test.starts two threads\"");
    ASSERT_NE(line_at, std::string::npos) << r.err;
    const std::vector<ThreadSection> sections = threadSections(r.err, line_at);
    EXPECT_EQ(sections.size(), 4u) << r.err;
    expectTheTestsThreads(sections, r.err);
    const ThreadSection* const progress = sectionShowing(sections, "updateThreadRun");
    ASSERT_NE(progress, nullptr) << r.err;
    EXPECT_TRUE(headingIs(*progress, "the progress thread:")) << progress->heading;
}

// A thread that cannot take the request (every signal blocked) is listed
// as not answering, and the report goes on without it, in bounded time.
TEST(FixtureQuit, AThreadThatCannotAnswerIsListedAndTheReportStillEnds) {
    quitWithoutACore();
    auto options = fixture("interrupt_deaf_thread");
    options.set_env = {"XOV_FIXTURE_TABLE=interrupt_deaf_thread", "NO_COLOR=1"};
    const auto started = std::chrono::steady_clock::now();
    const auto r = interruptWhenBlocking(options, SIGQUIT);
    // Generous: only a report that waits on the thread for ever fails it.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
    EXPECT_EQ(r.termSignal(), SIGQUIT) << r.err;
    const size_t line_at = r.err.find("interrupted by SIGQUIT in test 1/1 \"interrupt.test.starts a deaf thread\"");
    ASSERT_NE(line_at, std::string::npos) << r.err;
    const std::vector<ThreadSection> sections = threadSections(r.err, line_at);
    ASSERT_EQ(sections.size(), 3u) << r.err;
    EXPECT_TRUE(headingIs(sections[0], "the main thread:")) << sections[0].heading;
    int silent = 0;
    for (const ThreadSection& section : sections) {
        if (!headingIs(section, "started by a test, did not answer within 200 ms")) continue;
        ++silent;
        EXPECT_EQ(section.trace.find_first_not_of("\r\n"), std::string::npos) << r.err;
    }
    EXPECT_EQ(silent, 1) << r.err;
    const ThreadSection* const first = sectionShowing(sections, "firstThreadBody");
    ASSERT_NE(first, nullptr) << r.err;
    EXPECT_TRUE(headingIs(*first, "started by a test:")) << first->heading;
    EXPECT_EQ(sectionShowing(sections, "deafThreadBody"), nullptr) << r.err;
}

// ---- the time limit ----

e2e::SpawnOptions underTheTimeLimit(const std::string& table) {
    auto options = fixture(table);
    options.argv[0] = XOV_FIXTURE_TIME_LIMIT_PATH;
    options.set_env = {"XOV_FIXTURE_TABLE=" + table, "NO_COLOR=1"};
    return options;
}

// A test that runs past the limit the program was built with is reported
// with the main thread's stack where it was, and the run ends by SIGABRT
// as a panic does.
TEST(FixtureTimeLimit, ASpinningTestIsStoppedAndReportedWhereItSpins) {
    const auto r = run(underTheTimeLimit("interrupt_spins"));
    EXPECT_EQ(r.termSignal(), SIGABRT) << r.err;
    ASSERT_TRUE(startsWith(r.err, "1/1 interrupt.test.spins...blocking now\n"
                                  "timed out in test 1/1 \"interrupt.test.spins\", after the time limit of 1 s\n"))
        << r.err;
    EXPECT_NE(r.err.find("spinsForever"), std::string::npos) << r.err;
}

TEST(FixtureTimeLimit, ATestBlockedInASystemCallIsStoppedToo) {
    const auto r = run(underTheTimeLimit("interrupt_blocks"));
    EXPECT_EQ(r.termSignal(), SIGABRT) << r.err;
    ASSERT_TRUE(startsWith(r.err, "1/3 interrupt.test.quick...OK\n"
                                  "2/3 interrupt.test.blocks...blocking now\n"
                                  "timed out in test 2/3 \"interrupt.test.blocks\", after the time limit of 1 s\n"))
        << r.err;
    EXPECT_NE(r.err.find("blocksInPoll"), std::string::npos) << r.err;
}

// Past the limit, every thread is shown as SIGQUIT shows them.
TEST(FixtureTimeLimit, EveryThreadOfATestThatRunsOverIsShown) {
    const auto r = run(underTheTimeLimit("interrupt_two_threads"));
    EXPECT_EQ(r.termSignal(), SIGABRT) << r.err;
    const std::string line = "2/2 interrupt.test.starts two threads...blocking now\n"
                             "timed out in test 2/2 \"interrupt.test.starts two threads\", after the time limit of 1 s\n";
    ASSERT_TRUE(startsWith(r.err, "1/2 interrupt.test.quick...OK\n" + line)) << r.err;
    const std::vector<ThreadSection> sections = threadSections(r.err, line.size() - 1);
    EXPECT_EQ(sections.size(), 3u) << r.err;
    expectTheTestsThreads(sections, r.err);
}

// Tests within the limit run as they would without one.
TEST(FixtureTimeLimit, TestsWithinTheLimitRunAsWithoutOne) {
    const auto r = run(underTheTimeLimit("one_skip"));
    EXPECT_EQ(r.err,
              "1/3 fixture.test.passes...OK\n"
              "2/3 fixture.test.skips...SKIP\n"
              "3/3 fixture.test.passes too...OK\n"
              "2 passed; 1 skipped; 0 failed.\n");
    EXPECT_EQ(r.exitCode(), 0);
}

}  // namespace
