// Server mode end to end: the product and the fixture executable started
// with "--listen=-" and driven through pipes by a small build driver.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/types.hpp"
#include "tests/e2e/child.hpp"
#include "tests/e2e/pattern.hpp"

namespace {

using namespace std::chrono_literals;

std::string le32(u32 v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}
u32 readLe32(std::string_view s, size_t at) {
    u32 v = 0;
    for (int i = 0; i < 4; ++i) v |= u32(static_cast<unsigned char>(s[at + i])) << (8 * i);
    return v;
}
std::string header(u32 tag, u32 len) { return le32(tag) + le32(len); }
std::string runTest(u32 index) { return header(5, 4) + le32(index); }
std::string results(u32 index, u32 flags) { return header(4, 8) + le32(index) + le32(flags); }
const std::string query = header(4, 0);
const std::string exit_request = header(0, 0);

bool contains(const std::string& s, std::string_view part) { return s.find(part) != std::string::npos; }

// Trace text without its code addresses, which move between runs of a
// position-independent build.
std::string withoutAddresses(const std::string& s) {
    static const e2e::Pattern address("0x[0-9a-f]+");
    return address.replaceAll(s, "0x?");
}

const std::vector<std::string> product_names = {
    "w4_input.test.Input: KeyMods is 1 byte",
    "w4_input.test.Input: MouseState initial values",
    "w4_input.test.Input: InputState initial state",
    "w4_input.test.Input: cameraMoveDir with no input",
    "w4_input.test.Input: cameraMoveDir forward",
    "w4_input.test.Input: cameraMoveDir normalized diagonal",
    "w4_input.test.Input: InputEvent tagged union size",
    "w4_input.test.Input: MouseButton enum values",
    "w4_input.test.Input: KeyAction enum values",
    "w4_input.test.Input: MouseState clearDeltas",
};

// Plays the build driver against one child.
class Driver {
  public:
    explicit Driver(e2e::SpawnOptions options) : child_(e2e::Child::spawn(withListen(std::move(options)))) {}

    // The version message every session starts with.
    void expectVersion() {
        const std::string version = XOV_VERSION;
        EXPECT_EQ(child_.readStdout(8 + version.size()), header(0, u32(version.size())) + version);
    }
    void send(std::string_view bytes) { ASSERT_TRUE(child_.write(bytes)); }
    std::string read(size_t n, std::chrono::milliseconds timeout = 10s) { return child_.readStdout(n, timeout); }
    // One whole message: header, then its body.
    std::string readMessage() {
        std::string h = read(8);
        if (h.size() != 8) return h;
        return h + read(readLe32(h, 4));
    }
    std::string takeStderr() { return child_.takeStderr(); }
    void kill(int sig) { child_.kill(sig); }
    pid_t pid() const { return child_.pid(); }
    e2e::Finished finish() { return child_.finish(30s); }
    void closeStdin() { child_.closeStdin(); }

  private:
    static e2e::SpawnOptions withListen(e2e::SpawnOptions options) {
        options.argv.push_back("--listen=-");
        return options;
    }
    e2e::Child child_;
};

std::string expectedProductMetadata() {
    std::string table(1, '\0');
    std::string names;
    for (const auto& n : product_names) {
        names += le32(u32(table.size()));
        table += n;
        table += '\0';
    }
    std::string panics;
    for (size_t i = 0; i < product_names.size(); ++i) panics += le32(0);
    return header(3, u32(8 + 8 * product_names.size() + table.size())) + le32(u32(table.size())) +
           le32(u32(product_names.size())) + names + panics + table;
}

// ---- the product ----

TEST(ServerProduct, TheVersionComesFirstAndExitEndsWithStatusZero) {
    Driver d(e2e::product());
    d.expectVersion();
    d.send(exit_request);
    const auto f = d.finish();
    EXPECT_EQ(f.out, "");
    EXPECT_EQ(f.err, "");
    EXPECT_EQ(f.exitCode(), 0);
}

TEST(ServerProduct, TheTestListIsTheDocumented550ByteBodyAndRepeatsIdentically) {
    Driver d(e2e::product());
    d.expectVersion();
    d.send(query);
    const std::string first = d.readMessage();
    d.send(query);
    const std::string second = d.readMessage();
    ASSERT_EQ(first.size(), 8u + 550u);
    EXPECT_EQ(first.substr(0, 8), header(3, 550));
    EXPECT_EQ(readLe32(first, 8), 462u);
    EXPECT_EQ(readLe32(first, 12), 10u);
    const u32 offsets[] = {1, 40, 87, 133, 182, 225, 280, 330, 375, 418};
    for (size_t i = 0; i < 10; ++i) {
        EXPECT_EQ(readLe32(first, 16 + 4 * i), offsets[i]) << i;
        EXPECT_EQ(readLe32(first, 56 + 4 * i), 0u) << i;
    }
    EXPECT_EQ(first, expectedProductMetadata());
    EXPECT_EQ(second, first);
    d.send(exit_request);
    const auto f = d.finish();
    EXPECT_EQ(f.err, "");
    EXPECT_EQ(f.exitCode(), 0);
}

TEST(ServerProduct, EveryTestPassesWithFlagsZero) {
    Driver d(e2e::product());
    d.expectVersion();
    for (u32 i = 0; i < 10; ++i) {
        d.send(runTest(i));
        EXPECT_EQ(d.read(16), results(i, 0)) << i;
    }
    // And in reverse, the index echoed each time.
    for (u32 i = 10; i-- > 0;) {
        d.send(runTest(i));
        EXPECT_EQ(d.read(16), results(i, 0)) << i;
    }
    d.send(exit_request);
    const auto f = d.finish();
    EXPECT_EQ(f.out, "");
    EXPECT_EQ(f.err, "");
    EXPECT_EQ(f.exitCode(), 0);
}

TEST(ServerProduct, ABatchOfRequestsInOneWriteIsAnsweredInOrder) {
    Driver d(e2e::product());
    std::string batch = query;
    std::string expected = expectedProductMetadata();
    for (u32 i = 0; i < 10; ++i) {
        batch += runTest(9 - i);
        expected += results(9 - i, 0);
    }
    batch += query + exit_request;
    expected += expectedProductMetadata();
    d.expectVersion();
    d.send(batch);
    const auto f = d.finish();
    EXPECT_EQ(f.out, expected);
    EXPECT_EQ(f.err, "");
    EXPECT_EQ(f.exitCode(), 0);
}

TEST(ServerProduct, ARequestSplitIntoPiecesIsAnsweredOnlyWhenWhole) {
    Driver d(e2e::product());
    d.expectVersion();
    const std::string request = runTest(6);
    d.send(request.substr(0, 3));
    EXPECT_EQ(d.read(1, 150ms), "");
    d.send(request.substr(3, 5));
    EXPECT_EQ(d.read(1, 150ms), "");
    d.send(request.substr(8, 2));
    EXPECT_EQ(d.read(1, 150ms), "");
    d.send(request.substr(10));
    EXPECT_EQ(d.read(16), results(6, 0));
    // A piece that ends one request and starts the next.
    const std::string two = runTest(1) + runTest(2);
    d.send(two.substr(0, 17));
    EXPECT_EQ(d.read(16), results(1, 0));
    d.send(two.substr(17));
    EXPECT_EQ(d.read(16), results(2, 0));
    d.send(exit_request);
    EXPECT_EQ(d.finish().exitCode(), 0);
}

TEST(ServerProduct, EachUnsupportedTagIsNamedInHexAndEndsWithStatusOne) {
    const std::pair<u32, std::string> cases[] = {{1, "1"}, {2, "2"}, {3, "3"}, {6, "6"}, {10, "a"}, {255, "ff"},
                                                 {0xDEADBEEF, "deadbeef"}};
    for (const auto& [tag, hex] : cases) {
        Driver d(e2e::product());
        d.expectVersion();
        d.send(header(tag, 0) + runTest(0));
        const auto f = d.finish();
        EXPECT_EQ(f.err, "unsupported message: " + hex) << tag;
        EXPECT_EQ(f.out, "") << tag;
        EXPECT_EQ(f.exitCode(), 1) << tag;
    }
}

TEST(ServerProduct, InputEndingBetweenMessagesEndsLikeExit) {
    {
        Driver d(e2e::product());
        d.expectVersion();
        const auto f = d.finish();  // nothing sent at all
        EXPECT_EQ(f.out, "");
        EXPECT_EQ(f.err, "");
        EXPECT_EQ(f.exitCode(), 0);
    }
    {
        Driver d(e2e::product());
        d.expectVersion();
        d.send(runTest(4) + query);
        const auto f = d.finish();
        EXPECT_EQ(f.out, results(4, 0) + expectedProductMetadata());
        EXPECT_EQ(f.err, "");
        EXPECT_EQ(f.exitCode(), 0);
        EXPECT_FALSE(f.timed_out);
    }
}

TEST(ServerProduct, InputEndingInsideAMessageIsAnInternalFailure) {
    const std::string partials[] = {runTest(2).substr(0, 3), runTest(2).substr(0, 8), runTest(2).substr(0, 11)};
    for (const auto& partial : partials) {
        Driver d(e2e::product());
        d.expectVersion();
        d.send(runTest(0) + partial);
        EXPECT_EQ(d.read(16), results(0, 0));
        const auto f = d.finish();
        EXPECT_EQ(f.out, "") << partial.size();
        EXPECT_TRUE(contains(f.err, "panic: internal test runner failure")) << f.err;
        EXPECT_EQ(f.termSignal(), SIGABRT) << partial.size();
    }
}

TEST(ServerProduct, AnIndexBeyondTheTableIsRefusedWithoutRunningAnything) {
    const std::pair<u32, std::string> cases[] = {
        {10, "run_test index 10 is out of range: there are 10 tests\n"},
        {0xFFFFFFFF, "run_test index 4294967295 is out of range: there are 10 tests\n"},
    };
    for (const auto& [index, message] : cases) {
        Driver d(e2e::product());
        d.expectVersion();
        d.send(runTest(index) + runTest(0));
        const auto f = d.finish();
        EXPECT_EQ(f.out, "");
        EXPECT_EQ(f.err, message);
        EXPECT_EQ(f.exitCode(), 1);
    }
}

TEST(ServerProduct, ARunBodyShorterThanAnIndexIsRefused) {
    Driver d(e2e::product());
    d.expectVersion();
    d.send(header(5, 2) + "\x01\x00" + runTest(0));
    const auto f = d.finish();
    EXPECT_EQ(f.out, "");
    EXPECT_EQ(f.err, "run_test body has 2 bytes; a test index needs 4\n");
    EXPECT_EQ(f.exitCode(), 1);
}

TEST(ServerProduct, LongerBodiesAreSkippedSoTheNextRequestIsFramed) {
    Driver d(e2e::product());
    d.expectVersion();
    d.send(header(5, 9) + le32(3) + "extra" + header(4, 3) + "abc" + runTest(8) + exit_request);
    const auto f = d.finish();
    EXPECT_EQ(f.out, results(3, 0) + expectedProductMetadata() + results(8, 0));
    EXPECT_EQ(f.err, "");
    EXPECT_EQ(f.exitCode(), 0);
}

TEST(ServerProduct, AMessageOf2048BytesIsReadAndOneByteMoreIsOutOfMemory) {
    {
        Driver d(e2e::product());
        d.expectVersion();
        d.send(header(1, 2040) + std::string(2040, 'u'));
        const auto f = d.finish();
        EXPECT_EQ(f.err, "unsupported message: 1");
        EXPECT_EQ(f.exitCode(), 1);
    }
    {
        Driver d(e2e::product());
        d.expectVersion();
        d.send(header(1, 2041) + std::string(2041, 'u'));
        const auto f = d.finish();
        EXPECT_EQ(f.out, "");
        EXPECT_TRUE(contains(f.err, "panic: internal test runner failure")) << f.err;
        EXPECT_FALSE(contains(f.err, "unsupported")) << f.err;
        EXPECT_EQ(f.termSignal(), SIGABRT);
    }
}

// ---- outcomes through the fixture executable ----

TEST(ServerFixture, ASkippedTestIsFlagsTwoWithNothingPrinted) {
    Driver d(e2e::fixture("one_skip"));
    d.expectVersion();
    d.send(runTest(1));
    EXPECT_EQ(d.read(16), results(1, 2));
    d.send(runTest(0));
    EXPECT_EQ(d.read(16), results(0, 0));
    d.send(exit_request);
    const auto f = d.finish();
    EXPECT_EQ(f.err, "");
    EXPECT_EQ(f.exitCode(), 0);
}

TEST(ServerFixture, AFailedTestIsFlagsOneWithItsTraceOnStandardError) {
    Driver d(e2e::fixture("expect_fails"));
    d.expectVersion();
    d.send(runTest(1));
    EXPECT_EQ(d.read(16), results(1, 1));
    d.send(runTest(2));
    EXPECT_EQ(d.read(16), results(2, 0));
    d.send(exit_request);
    const auto f = d.finish();
    EXPECT_EQ(f.exitCode(), 0);
    // The trace names the assertion and the failing test; the error's name
    // is not printed in this mode.
    EXPECT_TRUE(contains(f.err, "expect")) << f.err;
    EXPECT_TRUE(contains(f.err, "failsExpect")) << f.err;
    EXPECT_FALSE(contains(f.err, "TestUnexpectedResult")) << f.err;
    EXPECT_FALSE(contains(f.err, "FAIL")) << f.err;
}

TEST(ServerFixture, ErrorLogsAreCountedPerTestFromBitThree) {
    Driver d(e2e::fixture("logs"));
    d.expectVersion();
    d.send(runTest(0));
    EXPECT_EQ(d.read(16), results(0, 1 << 3));
    // Cleared before each test: nothing carries into the next one.
    d.send(runTest(1));
    EXPECT_EQ(d.read(16), results(1, 0));
    d.send(runTest(0) + runTest(0));
    EXPECT_EQ(d.read(32), results(0, 1 << 3) + results(0, 1 << 3));
    d.send(exit_request);
    const auto f = d.finish();
    EXPECT_TRUE(contains(f.err, "[default] (err): an error: 42\n")) << f.err;
    EXPECT_EQ(f.exitCode(), 0);
}

TEST(ServerFixture, OutcomeBitsCombine) {
    Driver d(e2e::fixture("server_outcomes"));
    d.expectVersion();
    const std::pair<u32, u32> cases[] = {
        {0, 0},                 // passes
        {1, 2},                 // skips
        {2, 1},                 // fails
        {3, 1 | 4 | (1 << 3)},  // fails and leaks: the leak report is an error log
        {4, 4 | (1 << 3)},      // leaks only
        {5, 0},                 // frees what it takes
        {6, 1 | (2 << 3)},      // two error logs and a failure: 0x11
        {7, 3 << 3},            // three error logs
        {8, 0},                 // handles an error and passes
    };
    for (const auto& [index, flags] : cases) {
        d.send(runTest(index));
        EXPECT_EQ(d.read(16), results(index, flags)) << index;
    }
    d.send(exit_request);
    const auto f = d.finish();
    EXPECT_EQ(f.exitCode(), 0);
    EXPECT_TRUE(contains(f.err, "leaked")) << f.err;
}

TEST(ServerFixture, ALeakAndAFailureAreReportedTogetherAsThirteen) {
    Driver d(e2e::fixture("server_outcomes"));
    d.expectVersion();
    d.send(runTest(3));
    EXPECT_EQ(d.read(16), results(3, 13));
    d.send(exit_request);
    const auto f = d.finish();
    EXPECT_TRUE(contains(f.err, "leaksAndFails")) << f.err;
    EXPECT_TRUE(contains(f.err, "[gpa] (err): memory address 0x")) << f.err;
}

TEST(ServerFixture, AFailuresTraceIsTheSameAfterAPassingTestThatHandledErrors) {
    std::string alone;
    {
        Driver d(e2e::fixture("server_outcomes"));
        d.expectVersion();
        d.send(runTest(2));
        EXPECT_EQ(d.read(16), results(2, 1));
        d.send(exit_request);
        alone = d.finish().err;
    }
    Driver d(e2e::fixture("server_outcomes"));
    d.expectVersion();
    d.send(runTest(8));
    EXPECT_EQ(d.read(16), results(8, 0));
    EXPECT_EQ(d.takeStderr(), "");
    d.send(runTest(2));
    EXPECT_EQ(d.read(16), results(2, 1));
    d.send(exit_request);
    const auto f = d.finish();
    ASSERT_FALSE(alone.empty());
    EXPECT_EQ(withoutAddresses(f.err), withoutAddresses(alone));
    EXPECT_FALSE(contains(f.err, "alwaysFails")) << f.err;
}

TEST(ServerFixture, AnEmptyTableListsNoTestsAndRefusesIndexZero) {
    Driver d(e2e::fixture("empty"));
    d.expectVersion();
    d.send(query);
    EXPECT_EQ(d.readMessage(), header(3, 9) + le32(1) + le32(0) + std::string(1, '\0'));
    d.send(runTest(0));
    const auto f = d.finish();
    EXPECT_EQ(f.out, "");
    EXPECT_EQ(f.err, "run_test index 0 is out of range: there are 0 tests\n");
    EXPECT_EQ(f.exitCode(), 1);
}

// ---- interrupted sessions ----

// Standard error until the running test says it blocks (ten seconds at most).
std::string stderrUntilBlocking(Driver& d) {
    std::string err;
    for (int i = 0; i < 1000 && !contains(err, "blocking now"); ++i) {
        err += d.takeStderr();
        usleep(10'000);
    }
    return err;
}

// Whether the child's main thread sleeps in the kernel right now.
bool mainThreadSleeps(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/stat";
    std::ifstream in(path);
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'S';
}

// A build driver that gives up on a hung test: the report names the test
// by its table index, the main thread's stack shows where it blocks, and
// the process dies by the driver's signal with no result sent.
TEST(ServerFixture, SigtermDuringARunTestNamesTheIndexAndTheStack) {
    Driver d(e2e::fixture("interrupt_blocks"));
    d.expectVersion();
    d.send(runTest(1));
    const std::string before = stderrUntilBlocking(d);
    ASSERT_EQ(before, "blocking now\n");
    d.kill(SIGTERM);
    const auto f = d.finish();
    EXPECT_EQ(f.termSignal(), SIGTERM) << f.err;
    EXPECT_EQ(f.out, "");
    const std::string line = "interrupted by SIGTERM in test index 1 \"interrupt.test.blocks\", after ";
    ASSERT_EQ(f.err.compare(0, line.size(), line), 0) << f.err;
    const size_t blocking = f.err.find("blocksInPoll");
    ASSERT_NE(blocking, std::string::npos) << f.err;
    EXPECT_NE(f.err.find("mainServer", blocking), std::string::npos) << f.err;
}

// Between requests no test runs: the line says what the server was doing,
// and no stack follows.
TEST(ServerFixture, SigintBetweenRequestsSaysTheServerWasWaiting) {
    Driver d(e2e::fixture("interrupt_blocks"));
    d.expectVersion();
    d.send(runTest(0));
    EXPECT_EQ(d.read(16), results(0, 0));
    for (int i = 0; i < 1000 && !mainThreadSleeps(d.pid()); ++i) usleep(10'000);
    d.kill(SIGINT);
    const auto f = d.finish();
    EXPECT_EQ(f.termSignal(), SIGINT) << f.err;
    EXPECT_EQ(f.err, "interrupted by SIGINT while waiting for a request\n");
}

// The time limit holds in server mode too: the report names the index,
// and the process ends by SIGABRT with no result sent.
TEST(ServerFixture, ATestPastTheTimeLimitIsReportedByIndexAndEndsBySigabrt) {
    e2e::SpawnOptions options = e2e::fixture("interrupt_blocks");
    options.argv[0] = XOV_FIXTURE_TIME_LIMIT_PATH;
    options.set_env = {"XOV_FIXTURE_TABLE=interrupt_blocks", "NO_COLOR=1"};
    Driver d(options);
    d.expectVersion();
    d.send(runTest(1));
    const auto f = d.finish();
    EXPECT_EQ(f.termSignal(), SIGABRT) << f.err;
    EXPECT_EQ(f.out, "");
    const std::string head = "blocking now\n"
                             "timed out in test index 1 \"interrupt.test.blocks\", after the time limit of 1 s\n";
    ASSERT_EQ(f.err.compare(0, head.size(), head), 0) << f.err;
    EXPECT_NE(f.err.find("blocksInPoll"), std::string::npos) << f.err;
}

}  // namespace
