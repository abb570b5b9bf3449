// The protocol driver end to end: against the product, against fixture
// tables with every outcome, against peers that break the protocol, and
// through CTest with the tests it registers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "support/types.hpp"
#include "tests/e2e/child.hpp"

namespace {

using namespace std::chrono_literals;

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

e2e::Finished drive(std::vector<std::string> args, std::vector<std::string> env = {}) {
    e2e::SpawnOptions options;
    options.argv = {XOV_DRIVER_PATH};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.set_env = std::move(env);
    options.stdin_null = true;
    // Every case ends on its own; the limit only turns a hang into a failure.
    e2e::Finished done = e2e::Child::spawn(options).finish(20s);
    EXPECT_FALSE(done.timed_out) << "the driver hung";
    return done;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        result.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return result;
}

bool hasLine(const std::string& text, const std::string& line) {
    for (const std::string& l : lines(text)) {
        if (l == line) return true;
    }
    return false;
}

TEST(DriverProduct, ListsTheTenTestsByName) {
    const e2e::Finished done = drive({"list", e2e::productPath()});
    EXPECT_EQ(done.exitCode(), 0) << done.err;
    EXPECT_EQ(lines(done.out), product_names);
    EXPECT_EQ(done.err, "");
}

TEST(DriverProduct, RunsEveryTestInTableOrder) {
    const e2e::Finished done = drive({"run", e2e::productPath()});
    EXPECT_EQ(done.exitCode(), 0) << done.err;
    std::string expected;
    for (size_t i = 0; i < product_names.size(); ++i)
        expected += std::to_string(i + 1) + "/10 " + product_names[i] + "...OK\n";
    EXPECT_EQ(done.err, expected + "All 10 tests passed.\n");
    EXPECT_EQ(done.out, "");
}

TEST(DriverProduct, RunsOnlyTheTestsAPatternNames) {
    e2e::Finished done = drive({"run", e2e::productPath(), "clearDeltas", "KeyMods"});
    EXPECT_EQ(done.exitCode(), 0) << done.err;
    EXPECT_EQ(done.err,
              "1/2 w4_input.test.Input: KeyMods is 1 byte...OK\n"
              "2/2 w4_input.test.Input: MouseState clearDeltas...OK\n"
              "All 2 tests passed.\n");

    // An exact name picks that test alone; a part of one picks nothing.
    done = drive({"run", "--exact", e2e::productPath(), "w4_input.test.Input: cameraMoveDir forward"});
    EXPECT_EQ(done.exitCode(), 0) << done.err;
    EXPECT_EQ(done.err, "1/1 w4_input.test.Input: cameraMoveDir forward...OK\nAll 1 tests passed.\n");
    done = drive({"run", "--exact", e2e::productPath(), "cameraMoveDir"});
    EXPECT_EQ(done.exitCode(), 1);
    EXPECT_TRUE(hasLine(done.err, "xov_driver: no test of " + e2e::productPath() + " matches the patterns given"))
        << done.err;
}

TEST(DriverCommandLine, AWrongCommandLineIsStatusTwo) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{}, {"list"}, {"run"}, {"walk", e2e::productPath()},
                                               {"run", "--skip-status=0", e2e::productPath()},
                                               {"run", "--skip-status=x", e2e::productPath()},
                                               {"run", "--bogus", e2e::productPath()}}) {
        const e2e::Finished done = drive(args);
        EXPECT_EQ(done.exitCode(), 2) << done.err;
        EXPECT_TRUE(done.err.starts_with("usage: xov_driver")) << done.err;
    }
    const e2e::Finished missing = drive({"list", "/nonexistent/exe"});
    EXPECT_EQ(missing.exitCode(), 1);
    EXPECT_EQ(missing.err, "xov_driver: cannot start /nonexistent/exe: No such file or directory\n");
}

// ---- outcomes through the fixture executable ----

TEST(DriverOutcomes, EachResultWordMapsToItsVerdict) {
    const e2e::Finished done = drive({"run", e2e::fixturePath()}, {"XOV_FIXTURE_TABLE=server_outcomes"});
    EXPECT_EQ(done.exitCode(), 1);
    // The executable's own reports (traces, leak reports, log lines) come
    // between a test's name and its verdict, on the same standard error; a
    // leak report is itself an error-level line.
    const std::vector<std::string> in_order = {
        "1/9 fixture.test.passes...OK\n",
        "2/9 fixture.test.skips...SKIP\n",
        "3/9 fixture.test.expect fails...",
        "FAIL (failed)\n",
        "4/9 fixture.test.leaks and fails...",
        "FAIL (failed, leaked memory, 1 error logged)\n",
        "5/9 fixture.test.leaks only...",
        "FAIL (leaked memory, 1 error logged)\n",
        "6/9 fixture.test.frees what it takes...OK\n",
        "7/9 fixture.test.logs two errors and fails...",
        "FAIL (failed, 2 errors logged)\n",
        "8/9 fixture.test.logs three errors...",
        "FAIL (3 errors logged)\n",
        "9/9 fixture.test.handles an error and passes...OK\n",
        "3 passed; 1 skipped; 5 failed.\n",
    };
    size_t at = 0;
    for (const std::string& part : in_order) {
        const size_t found = done.err.find(part, at);
        ASSERT_NE(found, std::string::npos) << "missing in order: " << part << "\n" << done.err;
        at = found + part.size();
    }
    EXPECT_EQ(at, done.err.size()) << done.err;
    EXPECT_NE(done.err.find("[fixture] (err): second problem: 2"), std::string::npos) << done.err;
}

TEST(DriverOutcomes, ASkipPassesAndCanSayItWasSkipped) {
    e2e::Finished done = drive({"run", "--exact", e2e::fixturePath(), "fixture.test.skips"},
                               {"XOV_FIXTURE_TABLE=server_outcomes"});
    EXPECT_EQ(done.exitCode(), 0) << done.err;
    EXPECT_EQ(done.err, "1/1 fixture.test.skips...SKIP\n0 passed; 1 skipped; 0 failed.\n");
    done = drive({"run", "--exact", "--skip-status=77", e2e::fixturePath(), "fixture.test.skips"},
                 {"XOV_FIXTURE_TABLE=server_outcomes"});
    EXPECT_EQ(done.exitCode(), 77) << done.err;
    // Not every test skipped: the skip status does not apply.
    done = drive({"run", "--skip-status=77", e2e::fixturePath(), "fixture.test.skips", "fixture.test.passes"},
                 {"XOV_FIXTURE_TABLE=server_outcomes"});
    EXPECT_EQ(done.exitCode(), 0) << done.err;
}

TEST(DriverOutcomes, ATestThatPanicsIsAFailureWithTheExecutablesReport) {
    const e2e::Finished done = drive({"run", e2e::fixturePath()}, {"XOV_FIXTURE_TABLE=panic_plain"});
    EXPECT_EQ(done.exitCode(), 1);
    EXPECT_TRUE(done.err.starts_with("1/1 fixture.test.panics...thread ")) << done.err;
    EXPECT_NE(done.err.find(" panic: plain panic 42\n"), std::string::npos) << done.err;
    EXPECT_TRUE(done.err.ends_with("FAIL\nxov_driver: " + e2e::fixturePath() +
                                   " ended its output while the driver waited for the test's result: it was killed by "
                                   "signal 6 (SIGABRT)\n"))
        << done.err;
}

// ---- peers that break the protocol ----

// A stand-in executable: a shell script that ignores its input and writes
// the given bytes to its output, then does `then`.
class FakePeer : public ::testing::Test {
  protected:
    std::string peer(const std::string& bytes, const std::string& then = "exit 0") {
        const std::string path = ::testing::TempDir() + "xov_fake_peer_" + std::to_string(count_++) + ".sh";
        std::string escaped;
        for (const unsigned char c : bytes) {
            const char digits[] = {'\\', char('0' + (c >> 6)), char('0' + ((c >> 3) & 7)), char('0' + (c & 7))};
            escaped.append(digits, sizeof digits);
        }
        std::ofstream(path) << "#!/bin/sh\nprintf '" << escaped << "'\n" << then << "\n";
        chmod(path.c_str(), 0755);
        paths_.push_back(path);
        return path;
    }
    void TearDown() override {
        for (const std::string& path : paths_) unlink(path.c_str());
    }

  private:
    int count_ = 0;
    std::vector<std::string> paths_;
};

std::string le32(u32 v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}
std::string message(u32 tag, const std::string& body) { return le32(tag) + le32(u32(body.size())) + body; }
// A test list: the string table, then one (name, panic message) offset pair per test.
std::string testList(const std::string& strings, std::vector<std::pair<u32, u32>> offsets) {
    std::string names, panics;
    for (const auto& [name, panic] : offsets) {
        names += le32(name);
        panics += le32(panic);
    }
    return message(3, le32(u32(strings.size())) + le32(u32(offsets.size())) + names + panics + strings);
}

// The version message and a list of one test "t": what most cases share.
const std::string version = message(0, "0.1.0");
const std::string one_test = testList(std::string("\0t\0", 3), {{1, 0}});

TEST_F(FakePeer, EachBrokenAnswerIsAClearFailureAndNeverAHang) {
    struct Case {
        std::string bytes;
        std::string then;
        std::string message;  // after "xov_driver: <peer> "
    };
    const std::vector<Case> cases = {
        {"", "exit 3", "ended its output while the driver waited for the version message: it exited with status 3"},
        {message(4, ""), "exit 0", "sent a message with tag 4 where the version message belongs"},
        {std::string(3, '\0'), "exit 0", "ended its output inside a message header: it exited with status 0"},
        {le32(0) + le32(0xFFFFFFFF), "exec sleep 30",
         "sent a message of 4294967295 bytes, more than the 16777216 a message may have"},
        {version + le32(0) + le32(0x10000) + "xy", "exit 0",
         "ended its output inside a message body: it exited with status 0"},
        {version + message(3, le32(0) + le32(1)), "exit 0",
         "sent a malformed test list: 1 tests and 0 string bytes need 16 bytes, the body has 8"},
        {version + message(3, ""), "exit 0", "sent a malformed test list: it is shorter than its header"},
        {version + testList(std::string("\0t", 2), {{7, 0}}), "exit 0",
         "sent a malformed test list: test 0: offset 7 lies outside the string table"},
        {version + testList(std::string("\0t", 2), {{1, 0}}), "exec sleep 30",
         "sent a malformed test list: test 0: the string at offset 1 has no terminating zero"},
        {version + testList(std::string("\0t\0", 3), {{1, 9}}), "exit 0",
         "sent a malformed test list: test 0: offset 9 lies outside the string table"},
        {version + one_test + message(4, le32(1) + le32(0)), "exit 0",
         "answered for test index 1 when test index 0 was run"},
        {version + one_test + message(4, le32(0)), "exit 0", "sent a test result of 4 bytes instead of 8"},
        {version + one_test + message(0, ""), "exit 0", "sent a message with tag 0 where a test result belongs"},
        {version + one_test, "kill -SEGV $$",
         "ended its output while the driver waited for the test's result: it was killed by signal 11 (SIGSEGV)"},
    };
    for (const Case& c : cases) {
        const std::string exe = peer(c.bytes, c.then);
        const auto started = std::chrono::steady_clock::now();
        const e2e::Finished done = drive({"run", exe});
        EXPECT_LT(std::chrono::steady_clock::now() - started, 15s) << c.message;
        EXPECT_EQ(done.exitCode(), 1) << c.message << "\n" << done.err;
        EXPECT_NE(done.err.find("xov_driver: " + exe + " " + c.message + "\n"), std::string::npos)
            << "wanted: " << c.message << "\ngot: " << done.err;
    }
}

TEST_F(FakePeer, AnUncleanEndAfterTheExitMessageIsAFailure) {
    const std::string exe = peer(version + one_test + message(4, le32(0) + le32(0)), "exit 5");
    const e2e::Finished done = drive({"run", exe});
    EXPECT_EQ(done.exitCode(), 1);
    EXPECT_TRUE(done.err.starts_with("1/1 t...OK\n")) << done.err;
    EXPECT_NE(done.err.find("xov_driver: " + exe + " exited with status 5 after the exit message\n"),
              std::string::npos)
        << done.err;
}

// ---- CTest ----

// The tests registered for the product and for a copy whose ninth test
// fails, run by CTest as a user runs them.
e2e::Finished ctest(const std::string& dir, std::vector<std::string> args) {
    e2e::SpawnOptions options;
    options.argv = {XOV_CTEST_PATH, "--test-dir", dir};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.stdin_null = true;
    return e2e::Child::spawn(options).finish(120s);
}

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) n += 1;
    return n;
}

TEST(DriverCTest, TheProductsTestsAreListedFilteredAndReportedOneByOne) {
    e2e::Finished done = ctest(XOV_PRODUCT_CTEST_DIR, {"-L", "^product$", "-N"});
    ASSERT_EQ(done.exitCode(), 0) << done.out;
    EXPECT_NE(done.out.find("Total Tests: 10\n"), std::string::npos) << done.out;
    for (const std::string& name : product_names) EXPECT_NE(done.out.find(": " + name + "\n"), std::string::npos);

    done = ctest(XOV_PRODUCT_CTEST_DIR, {"-L", "^product$", "-R", "clearDeltas"});
    EXPECT_EQ(done.exitCode(), 0) << done.out;
    EXPECT_NE(done.out.find("100% tests passed, 0 tests failed out of 1\n"), std::string::npos) << done.out;

    const std::string junit = ::testing::TempDir() + "xov_product_junit.xml";
    done = ctest(XOV_PRODUCT_CTEST_DIR, {"-L", "^product$", "-j2", "--output-junit", junit});
    EXPECT_EQ(done.exitCode(), 0) << done.out;
    const std::string xml = slurp(junit);
    EXPECT_EQ(count(xml, "<testcase "), 10u) << xml;
    EXPECT_NE(xml.find("name=\"w4_input.test.Input: KeyAction enum values\""), std::string::npos) << xml;
    unlink(junit.c_str());
}

TEST(DriverCTest, AMutantWhoseNinthTestFailsFailsThatTestAlone) {
    // The mutant's tests are written out but registered nowhere: this test
    // runs them in a CTest folder of its own.
    const std::string dir = ::testing::TempDir() + "xov_mutant_ctest";
    mkdir(dir.c_str(), 0755);
    std::ofstream(dir + "/CTestTestfile.cmake") << "include(\"" << XOV_MUTANT_TESTS_FILE << "\")\n";
    const std::string junit = dir + "/junit.xml";
    const e2e::Finished done = ctest(dir, {"-j2", "--output-on-failure", "--output-junit", junit});
    EXPECT_NE(done.exitCode(), 0);
    EXPECT_NE(done.out.find("90% tests passed, 1 tests failed out of 10\n"), std::string::npos) << done.out;
    EXPECT_NE(done.out.find("- w4_input.test.Input: KeyAction enum values (Failed)"), std::string::npos) << done.out;
    // --output-on-failure shows the executable's own error-return trace.
    EXPECT_NE(done.out.find("keyActionEnumValues"), std::string::npos) << done.out;
    EXPECT_NE(done.out.find("\nFAIL (failed)\n"), std::string::npos) << done.out;
    const std::string xml = slurp(junit);
    EXPECT_EQ(count(xml, "<testcase "), 10u);
    EXPECT_EQ(count(xml, "status=\"fail\""), 1u) << xml;
    unlink(junit.c_str());
    unlink((dir + "/CTestTestfile.cmake").c_str());
}

}  // namespace
