// Starting the display without a terminal, the standard-error lock's erase,
// waits, sizes and the descriptor parser.
#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>

#include "support/print.hpp"
#include "support/sys.hpp"
#include "tests/progress/helpers.hpp"

namespace {

using namespace progress_test;
using Progress::Node;
using Progress::global_progress;

class Lifecycle : public Tree {
  protected:
    char draw_buffer[256];
    void SetUp() override {
        Tree::SetUp();
        unsetenv("XOV_PROGRESS");
    }
};

TEST_F(Lifecycle, SilentStartKeepsTheRootRecordButHandsOutANoOp) {
    const Node root = Progress::start({
        .draw_buffer = draw_buffer,
        .refresh_rate_ns = 5,
        .initial_delay_ns = 7,
        .estimated_total_items = 4,
        .root_name = "Test",
        .disable_printing = true,
    });
    EXPECT_EQ(root.index, Node::OptionalIndex::none);
    EXPECT_EQ(global_progress.node_end_index.load(), 1u);
    EXPECT_EQ(nameOf(Progress::storageByIndex(0)), "Test");
    EXPECT_EQ(Progress::storageByIndex(0).estimated_total_count, 4u);
    EXPECT_EQ(global_progress.refresh_rate_ns, 5u);
    EXPECT_EQ(global_progress.initial_delay_ns, 7u);
    EXPECT_EQ(global_progress.draw_buffer.data(), draw_buffer);
    EXPECT_FALSE(global_progress.update_thread.has_value());
}

TEST_F(Lifecycle, StandardErrorThatIsNoTerminalStartsNoThread) {
    // Under ctest standard error is a pipe or file.
    if (sys::isTerminal(2)) GTEST_SKIP() << "standard error is a terminal here";
    const Node root = Progress::start({.draw_buffer = draw_buffer, .root_name = "Test"});
    EXPECT_EQ(root.index, Node::OptionalIndex::none);
    EXPECT_FALSE(global_progress.update_thread.has_value());
    EXPECT_EQ(global_progress.terminal_mode, Progress::TerminalMode::off);
}

TEST_F(Lifecycle, ARelayThreadStartsAndStopsPromptlyWhenTheRootEnds) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    setenv("XOV_PROGRESS", std::to_string(fds[1]).c_str(), 1);
    const Node root = Progress::start({.draw_buffer = draw_buffer,
                                       .refresh_rate_ns = 1'000'000,
                                       .initial_delay_ns = 1'000'000,
                                       .estimated_total_items = 1,
                                       .root_name = "Test"});
    unsetenv("XOV_PROGRESS");
    ASSERT_EQ(slotOf(root), 0);
    EXPECT_TRUE(global_progress.update_thread.has_value());
    const Node child = root.start("work", 0);
    sys::sleepNs(30'000'000);
    child.end();
    const u64 before = sys::monotonicNs();
    root.end();
    EXPECT_LT(sys::monotonicNs() - before, 100'000'000u);
    char buf[65536];
    const ssize_t n = ::read(fds[0], buf, sizeof buf);
    ASSERT_GE(n, 50);
    // Whole messages only, each a root named Test.
    ssize_t at = 0;
    while (at < n) {
        const usize count = static_cast<u8>(buf[at]);
        ASSERT_GE(count, 1u);
        ASSERT_LE(at + static_cast<ssize_t>(1 + 49 * count), n);
        EXPECT_EQ(std::string(buf + at + 1 + 8, 4), "Test");
        EXPECT_EQ(static_cast<u8>(buf[at + 1 + 48 * count]), 255);
        at += static_cast<ssize_t>(1 + 49 * count);
    }
    close(fds[0]);
    close(fds[1]);
}

// Standard error on a pseudo-terminal for one test, restored afterwards.
struct StdErrOnTerminal {
    int master = -1;
    int slave = -1;
    int saved = -1;
    StdErrOnTerminal() {
        winsize ws{};
        ws.ws_row = 10;
        ws.ws_col = 60;
        EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, &ws), 0);
        termios t{};
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
        fcntl(master, F_SETFL, O_NONBLOCK);
        saved = dup(2);
        dup2(slave, 2);
    }
    ~StdErrOnTerminal() {
        dup2(saved, 2);
        close(saved);
        close(slave);
        close(master);
    }
    std::string drain(std::string& into) const {
        char buf[65536];
        for (;;) {
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n <= 0) break;
            into.append(buf, static_cast<usize>(n));
        }
        return into;
    }
};

TEST_F(Lifecycle, PrintsOnOtherThreadsEraseTheFrameAndNeverSplitOne) {
    unsetenv("TERM");
    StdErrOnTerminal terminal;
    char buffer[4096];
    const Node root = Progress::start({.draw_buffer = buffer,
                                       .refresh_rate_ns = 1'000'000,
                                       .initial_delay_ns = 1'000'000,
                                       .estimated_total_items = 50,
                                       .root_name = "Test"});
    ASSERT_EQ(slotOf(root), 0);
    ASSERT_EQ(global_progress.terminal_mode, Progress::TerminalMode::ansi_escape_codes);
    std::string out;
    for (int k = 0; k < 50; ++k) {
        const Node item = root.start("item", 0);
        sys::sleepNs(2'000'000);
        debug::print("line {d}\n", k);
        item.end();
        terminal.drain(out);
    }
    root.end();
    terminal.drain(out);

    // Frames are whole; each print starts on an erased screen when a frame
    // was drawn since the last erase; the last frame is erased at the end.
    const std::string frame_start = "\x1b[?2026h\x1b[J";
    const std::string frame_end = "\x1b[?2026l";
    usize frames = 0;
    bool drawn = false;
    usize at = 0;
    int next_line = 0;
    while (at < out.size()) {
        if (out.compare(at, frame_start.size(), frame_start) == 0) {
            const usize end = out.find(frame_end, at);
            ASSERT_NE(end, std::string::npos) << "unfinished frame";
            EXPECT_EQ(out.substr(at, end - at).find("line "), std::string::npos) << "a print inside a frame";
            EXPECT_NE(out.substr(at, end - at).find("] Test\n"), std::string::npos);
            at = end + frame_end.size();
            ++frames;
            drawn = true;
        } else if (out.compare(at, 3, "\x1b[J") == 0) {
            at += 3;
            drawn = false;
        } else {
            const std::string expected = "line " + std::to_string(next_line++) + "\n";
            ASSERT_EQ(out.compare(at, expected.size(), expected), 0) << "at " << at << ": " << out.substr(at, 40);
            EXPECT_FALSE(drawn) << "a print over a drawn frame";
            at += expected.size();
        }
    }
    EXPECT_EQ(next_line, 50);
    EXPECT_FALSE(drawn) << "a frame left on the screen";
    EXPECT_GT(frames, 5u);
}

// Waits up to two seconds for `needle` in the terminal's output.
bool awaitOutput(const StdErrOnTerminal& terminal, std::string& out, std::string_view needle) {
    for (int k = 0; k < 200; ++k) {
        terminal.drain(out);
        if (out.find(needle) != std::string::npos) return true;
        sys::sleepNs(10'000'000);
    }
    return false;
}

TEST_F(Lifecycle, AResizeEndsTheInitialDelayAndTheNextFrameUsesTheNewWidth) {
    unsetenv("TERM");
    StdErrOnTerminal terminal;
    char buffer[4096];
    // Periods far longer than the test: every frame here is a resize's.
    const Node root = Progress::start({.draw_buffer = buffer,
                                       .refresh_rate_ns = 60'000'000'000,
                                       .initial_delay_ns = 60'000'000'000,
                                       .estimated_total_items = 3,
                                       .root_name = "Test"});
    ASSERT_EQ(slotOf(root), 0);
    const Node child = root.start("a child with a long enough name", 0);
    std::string out;
    raise(SIGWINCH);
    ASSERT_TRUE(awaitOutput(terminal, out, "\x1b[?2026l")) << "no frame after the resize";
    EXPECT_NE(out.find("[0/3] Test\n\x1b(0mq\x1b(B a child with a long enough name\n"), std::string::npos) << out;

    winsize narrow{};
    narrow.ws_row = 10;
    narrow.ws_col = 20;
    ASSERT_EQ(ioctl(terminal.master, TIOCSWINSZ, &narrow), 0);
    out.clear();
    raise(SIGWINCH);
    ASSERT_TRUE(awaitOutput(terminal, out, "\x1b[?2026l")) << "no frame after the second resize";
    EXPECT_NE(out.find("[0/3] Test\n\x1b(0mq\x1b(B a child wit\n"), std::string::npos) << out;

    child.end();
    const u64 before = sys::monotonicNs();
    root.end();
    EXPECT_LT(sys::monotonicNs() - before, 1'000'000'000u);
    terminal.drain(out);
    EXPECT_TRUE(out.ends_with("\x1b[?2026l\x1b[J")) << "the last frame was not erased";
    signal(SIGWINCH, SIG_DFL);
}

TEST(IpcFdText, ParsesUnsignedDecimalOfAtMost31Bits) {
    EXPECT_EQ(Progress::parseIpcFd("3"), 3u);
    EXPECT_EQ(Progress::parseIpcFd("2147483647"), 2147483647u);
    EXPECT_EQ(Progress::parseIpcFd("2147483648").error(), Error::Overflow);
    EXPECT_EQ(Progress::parseIpcFd("99999999999999999999999").error(), Error::Overflow);
    EXPECT_EQ(Progress::parseIpcFd("abc").error(), Error::InvalidCharacter);
    EXPECT_EQ(Progress::parseIpcFd("-1").error(), Error::InvalidCharacter);
    EXPECT_EQ(Progress::parseIpcFd("").error(), Error::InvalidCharacter);
}

class StdErrLock : public Tree {
  protected:
    int fds[2] = {-1, -1};
    void SetUp() override {
        Tree::SetUp();
        ASSERT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
        global_progress.terminal = fds[1];
    }
    void TearDown() override {
        close(fds[0]);
        close(fds[1]);
        Tree::TearDown();
    }
    std::string drain() {
        char buf[256];
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<usize>(n)) : std::string();
    }
};

TEST_F(StdErrLock, ErasesADrawnFrameOnceBeforeTheHoldersOutput) {
    global_progress.need_clear = true;
    Progress::lockStdErr();
    Progress::unlockStdErr();
    EXPECT_EQ(drain(), "\x1b[J");
    EXPECT_FALSE(global_progress.need_clear);
    Progress::lockStdErr();
    Progress::unlockStdErr();
    EXPECT_EQ(drain(), "");
}

// A report erases the frame even while another thread holds the
// standard-error lock (a report never waits for it), once.
TEST_F(StdErrLock, AReportErasesTheFrameWithoutTheLockAndOnlyOnce) {
    global_progress.terminal_mode = Progress::TerminalMode::ansi_escape_codes;
    global_progress.need_clear = true;
    Progress::stderr_mutex.lock();
    std::thread reporter([] { Progress::haltForReport(); });
    reporter.join();
    Progress::stderr_mutex.unlock();
    EXPECT_EQ(drain(), "\x1b[J");
    EXPECT_FALSE(global_progress.need_clear);
    global_progress.need_clear = true;
    Progress::haltForReport();
    EXPECT_EQ(drain(), "");
}

TEST_F(StdErrLock, AReportWithNothingDrawnWritesNothing) {
    global_progress.terminal_mode = Progress::TerminalMode::ansi_escape_codes;
    Progress::haltForReport();
    EXPECT_EQ(drain(), "");
}

// After a report has started the update thread draws no frame: it ends at
// its first frame instead.
TEST_F(StdErrLock, NoFrameIsDrawnOnceAReportStarted) {
    global_progress.terminal_mode = Progress::TerminalMode::ansi_escape_codes;
    global_progress.initial_delay_ns = 0;
    global_progress.refresh_rate_ns = 1'000'000;
    global_progress.rows = 25;
    global_progress.cols = 80;
    char frame_buffer[4096];
    global_progress.draw_buffer = frame_buffer;
    (void)Progress::initTree("Test", 1);
    Progress::haltForReport();
    std::thread update([] { (void)Progress::updateThreadRun(nullptr); });
    // Many refresh periods pass: the thread stays (a report of every
    // thread lists it) but draws nothing, until the run is done.
    sys::sleepNs(50'000'000);
    global_progress.done.store(true, std::memory_order_release);
    global_progress.redraw_event.set();
    update.join();
    EXPECT_EQ(drain(), "");
    EXPECT_FALSE(global_progress.need_clear);
}

TEST(Wait, ASetEventEndsTheWaitAndIsReset) {
    Progress::resetForTesting();
    global_progress.cols = 80;
    global_progress.redraw_event.set();
    const u64 before = sys::monotonicNs();
    EXPECT_TRUE(Progress::wait(5'000'000'000));
    EXPECT_LT(sys::monotonicNs() - before, 1'000'000'000u);
    EXPECT_FALSE(global_progress.redraw_event.isSet());
    EXPECT_FALSE(Progress::wait(1'000'000));
    // An unknown width asks for the size again, resize or not.
    global_progress.cols = 0;
    EXPECT_TRUE(Progress::wait(1'000'000));
}

TEST(Wait, TheResizeHandlerWakesTheWaiter) {
    Progress::resetForTesting();
    global_progress.cols = 80;
    ASSERT_TRUE(sys::installSignalAction(SIGWINCH, Progress::handleSigWinch));
    raise(SIGWINCH);
    EXPECT_TRUE(Progress::wait(5'000'000'000));
    signal(SIGWINCH, SIG_DFL);
}

TEST(TerminalSize, AFailedQueryFallsBackTo80By25) {
    Progress::resetForTesting();
    global_progress.terminal = -1;
    Progress::maybeUpdateSize(false);
    EXPECT_EQ(global_progress.cols, 0);
    Progress::maybeUpdateSize(true);
    EXPECT_EQ(global_progress.rows, 25);
    EXPECT_EQ(global_progress.cols, 80);
}

using LifecycleDeathTest = Lifecycle;

TEST_F(LifecycleDeathTest, ASecondStartShowsTheFirstAndPanics) {
    EXPECT_DEATH(
        {
            (void)Progress::start({.draw_buffer = draw_buffer, .root_name = "Test", .disable_printing = true});
            (void)Progress::start({.draw_buffer = draw_buffer, .root_name = "Test", .disable_printing = true});
        },
        "first initialized here:\n[^\n]*lifecycle_test.cpp(.|\n)*panic: reached unreachable code");
}

TEST_F(LifecycleDeathTest, ADrawBufferUnder200BytesPanics) {
    EXPECT_DEATH((void)Progress::start({.draw_buffer = std::span(draw_buffer, 199), .root_name = "Test"}),
                 "reached unreachable code");
}

}  // namespace
