// The display end to end: the fixture executable on a pseudo-terminal and
// with a relay pipe, checked byte for byte and through a small terminal
// model of what stays on the screen.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/types.hpp"
#include "tests/e2e/child.hpp"

namespace {

// Enough of a VT100 for progress frames: printable bytes, newline (as a
// terminal in cooked mode sees it: carriage return and line feed), carriage
// return, reverse index, erase below, and the ignored mode and charset
// switches. The line-drawing glyphs are kept as their ASCII letters.
class Screen {
  public:
    Screen(int rows, int cols) : rows_(rows), cols_(cols), cells_(rows, std::string(cols, ' ')) {}

    void feed(std::string_view bytes) {
        for (usize k = 0; k < bytes.size(); ++k) {
            const char c = bytes[k];
            if (c == '\x1b') {
                k = escape(bytes, k);
                continue;
            }
            if (c == '\n') {
                col_ = 0;
                lineFeed();
            } else if (c == '\r') {
                col_ = 0;
            } else {
                if (col_ == cols_) {
                    col_ = 0;
                    lineFeed();
                }
                cells_[row_][col_++] = c;
            }
        }
    }

    std::vector<std::string> nonEmptyRows() const {
        std::vector<std::string> out;
        for (const auto& r : cells_) {
            const auto last = r.find_last_not_of(' ');
            if (last != std::string::npos) out.push_back(r.substr(0, last + 1));
        }
        return out;
    }

  private:
    void lineFeed() {
        if (row_ + 1 < rows_) {
            ++row_;
            return;
        }
        cells_.erase(cells_.begin());
        cells_.emplace_back(cols_, ' ');
    }

    usize escape(std::string_view b, usize k) {
        const std::string_view rest = b.substr(k);
        if (rest.starts_with("\x1b[?2026h") || rest.starts_with("\x1b[?2026l")) return k + 7;
        if (rest.starts_with("\x1b[J")) {
            std::fill(cells_[row_].begin() + col_, cells_[row_].end(), ' ');
            for (int r = row_ + 1; r < rows_; ++r) cells_[r].assign(cols_, ' ');
            return k + 2;
        }
        if (rest.starts_with("\x1bM")) {
            if (row_ > 0) --row_;
            return k + 1;
        }
        if (rest.starts_with("\x1b(0") || rest.starts_with("\x1b(B")) return k + 2;
        ADD_FAILURE() << "unexpected escape sequence at byte " << k;
        return k;
    }

    int rows_;
    int cols_;
    int row_ = 0;
    int col_ = 0;
    std::vector<std::string> cells_;
};

e2e::SpawnOptions onTerminal(std::string_view table) {
    e2e::SpawnOptions options = e2e::fixture(table);
    options.stderr_pty = true;
    options.rows = 25;
    options.cols = 80;
    return options;
}

constexpr std::string_view frame_start = "\x1b[?2026h\x1b[J";
constexpr std::string_view frame_end = "\x1b[?2026l";
constexpr std::string_view erase = "\x1b[J";
constexpr std::string_view langle = "\x1b(0mq\x1b(B ";

TEST(ProgressOnTerminal, FramesShowTheRunAndLeaveOnlyTheRunnersLines) {
    const e2e::Finished run = e2e::run(onTerminal("progress_slow"));
    ASSERT_TRUE(run.exited());
    EXPECT_EQ(run.exitCode(), 0);
    const std::string& err = run.err;

    // Frames appeared, with the running test below the root.
    EXPECT_NE(err.find(std::string(frame_start) + "[0/3] Test\n" + std::string(langle) +
                       "progress.test.sleeps first\n\r\x1bM\x1bM" + std::string(frame_end)),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("[2/3] Test\n" + std::string(langle) + "progress.test.sleeps last\n"), std::string::npos);

    // The runner's line erases the frame before it, and the final erase
    // comes after the last frame and before the summary.
    const std::string skip_line = "2/3 progress.test.sleeps then skips...SKIP\n";
    const usize skip_at = err.find(skip_line);
    ASSERT_NE(skip_at, std::string::npos) << err;
    ASSERT_NE(err.rfind(frame_end, skip_at), std::string::npos) << "no frame before the skip line";
    EXPECT_EQ(err.substr(skip_at - erase.size(), erase.size()), erase);
    EXPECT_TRUE(err.ends_with(std::string(frame_end) + std::string(erase) + "2 passed; 1 skipped; 0 failed.\n"))
        << err;

    Screen screen(25, 80);
    screen.feed(err);
    EXPECT_EQ(screen.nonEmptyRows(),
              (std::vector<std::string>{"2/3 progress.test.sleeps then skips...SKIP", "2 passed; 1 skipped; 0 failed."}));
}

TEST(ProgressOnTerminal, ARunShorterThanTheInitialDelayDrawsNothing) {
    // (That ending the root wakes the thread at once, rather than after the
    // delay, is timed in-process by the lifecycle tests.)
    const e2e::Finished run = e2e::run(onTerminal("progress_fast"));
    EXPECT_EQ(run.exitCode(), 0);
    EXPECT_EQ(run.err, "All 2 tests passed.\n");
}

TEST(ProgressOnTerminal, ADumbTerminalGetsNoFrames) {
    e2e::SpawnOptions options = onTerminal("progress_slow_pair");
    options.set_env = {"XOV_FIXTURE_TABLE=progress_slow_pair", "TERM=dumb"};
    const e2e::Finished run = e2e::run(options);
    EXPECT_EQ(run.exitCode(), 0);
    EXPECT_EQ(run.err, "All 2 tests passed.\n");
}

TEST(ProgressOnTerminal, ASmallTerminalGetsLinesCutToItsWidth) {
    e2e::SpawnOptions options = onTerminal("progress_slow_pair");
    options.cols = 20;
    const e2e::Finished run = e2e::run(options);
    EXPECT_EQ(run.exitCode(), 0);
    EXPECT_NE(run.err.find("[0/2] Test\n" + std::string(langle) + "progress.te\n"), std::string::npos) << run.err;
}

// A report takes the terminal from the display: the frame on the screen
// when it starts is erased, and no frame is drawn inside it, even though
// the report writes without the standard-error lock. It starts with the
// running test's line, as a pipe shows it, since the erased frame was the
// only thing on the screen naming the test.
TEST(ProgressOnTerminal, APanicOrFaultReportErasesTheFrameAndNoFrameIsDrawnInsideIt) {
    for (const std::string table : {"progress_slow_panic", "progress_slow_fault"}) {
        e2e::SpawnOptions options = onTerminal(table);
        options.set_env = {"XOV_FIXTURE_TABLE=" + table, "NO_COLOR=1"};
        const e2e::Finished run = e2e::run(options);
        EXPECT_EQ(run.termSignal(), SIGABRT) << table;
        const std::string& err = run.err;
        const bool panics = table == "progress_slow_panic";
        const std::string test_line =
            std::string("1/1 progress.test.sleeps then ") + (panics ? "panics..." : "faults...");
        const usize line_at = err.find(test_line);
        ASSERT_NE(line_at, std::string::npos) << table << "\n" << err.substr(0, 2000);
        EXPECT_EQ(err.find(test_line, line_at + 1), std::string::npos) << table << ": the line twice";
        const usize report_at = line_at + test_line.size();
        const std::string report_start = panics ? "thread " : "Segmentation fault at address 0x10\n";
        EXPECT_EQ(err.compare(report_at, report_start.size(), report_start), 0)
            << table << "\n" << err.substr(line_at, 200);
        // A frame was drawn before the report (its end may share the line
        // the report starts on: a frame ends by moving the cursor up); the
        // last thing before the report is the erase.
        const usize last_frame = err.rfind(frame_end, line_at);
        ASSERT_NE(last_frame, std::string::npos) << table << ": no frame before the report";
        EXPECT_NE(err.find(erase, last_frame), std::string::npos);
        EXPECT_LT(err.find(erase, last_frame), line_at) << table;
        EXPECT_EQ(err.find(std::string(frame_start), line_at), std::string::npos) << table << ": a frame inside the report";

        // On the screen (tall enough that nothing scrolls away): the
        // report, the test named by its line alone, and no line of any
        // frame.
        Screen screen(20000, 80);
        screen.feed(err);
        const auto rows = screen.nonEmptyRows();
        ASSERT_FALSE(rows.empty());
        EXPECT_TRUE(rows.front().starts_with(test_line)) << table << ": " << rows.front();
        for (usize i = 1; i < rows.size(); ++i) {
            EXPECT_EQ(rows[i].find("] Test"), std::string::npos) << table << ": " << rows[i];
            EXPECT_EQ(rows[i].find("progress.test."), std::string::npos) << table << ": " << rows[i];
        }
    }
}

struct RelayPipe {
    int fds[2] = {-1, -1};
    RelayPipe() { EXPECT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0); }
    ~RelayPipe() {
        close(fds[0]);
        if (fds[1] >= 0) close(fds[1]);
    }
    std::string drain() {
        std::string out;
        char buf[65536];
        for (;;) {
            const ssize_t n = ::read(fds[0], buf, sizeof buf);
            if (n <= 0) break;
            out.append(buf, static_cast<usize>(n));
        }
        return out;
    }
};

TEST(ProgressRelay, AParentPipeGetsWellFormedMessagesAndNothingIsDrawn) {
    RelayPipe pipe;
    e2e::SpawnOptions options = onTerminal("progress_slow_pair");
    options.inherit_fds = {pipe.fds[1]};
    options.set_env = {"XOV_FIXTURE_TABLE=progress_slow_pair", "XOV_PROGRESS=" + std::to_string(pipe.fds[1])};
    const e2e::Finished run = e2e::run(options);
    EXPECT_EQ(run.exitCode(), 0);
    EXPECT_EQ(run.err, "All 2 tests passed.\n");

    const std::string bytes = pipe.drain();
    usize at = 0;
    int messages = 0;
    int with_child = 0;
    while (at < bytes.size()) {
        const usize n = static_cast<u8>(bytes[at]);
        ASSERT_TRUE(n == 1 || n == 2) << "node count " << n;
        ASSERT_LE(at + 1 + 49 * n, bytes.size()) << "cut message";
        const std::string root = bytes.substr(at + 1, 48);
        const u32 completed = static_cast<u8>(root[0]);
        EXPECT_LE(completed, 2u);
        EXPECT_EQ(root.substr(1, 3), std::string(3, '\0'));
        EXPECT_EQ(root.substr(4, 4), std::string("\x02\0\0\0", 4));
        EXPECT_EQ(root.substr(8), "Test" + std::string(36, '\0'));
        const std::string parents = bytes.substr(at + 1 + 48 * n, n);
        EXPECT_EQ(static_cast<u8>(parents[0]), 255);
        if (n == 2) {
            ++with_child;
            EXPECT_EQ(parents[1], 0);
            const std::string child_record = bytes.substr(at + 1 + 48 + 8, 40);
            const std::string child_name = child_record.substr(0, child_record.find('\0'));
            EXPECT_TRUE(child_name == "progress.test.sleeps first" || child_name == "progress.test.sleeps last")
                << child_name;
        }
        ++messages;
        at += 1 + 49 * n;
    }
    // 700 ms of tests: first message at 200 ms, then every 80 ms.
    EXPECT_GE(messages, 3);
    EXPECT_GE(with_child, 3);
}

TEST(ProgressRelay, AFullBlockingPipeThatIsNeverReadDropsTheMessagesAndTheRunEnds) {
    // A parent that made a plain pipe and reads it only after the child
    // ends; the pipe is full before the child starts.
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    ASSERT_EQ(fcntl(fds[1], F_SETFL, O_NONBLOCK), 0);
    const std::string page(4096, 'p');
    usize filled = 0;
    for (ssize_t n; (n = ::write(fds[1], page.data(), page.size())) > 0;) filled += static_cast<usize>(n);
    ASSERT_GT(filled, 0u);
    ASSERT_EQ(fcntl(fds[1], F_SETFL, 0), 0);

    e2e::SpawnOptions options = onTerminal("progress_slow_pair");
    options.inherit_fds = {fds[1]};
    options.set_env = {"XOV_FIXTURE_TABLE=progress_slow_pair", "XOV_PROGRESS=" + std::to_string(fds[1])};
    const e2e::Finished run = e2e::run(options, {}, std::chrono::seconds(15));
    EXPECT_FALSE(run.timed_out) << "the relay waited on the full pipe";
    EXPECT_EQ(run.exitCode(), 0);
    EXPECT_EQ(run.err, "All 2 tests passed.\n");
    // The child shared our write end's file description and left its mode.
    EXPECT_EQ(fcntl(fds[1], F_GETFL) & O_NONBLOCK, 0);

    close(fds[1]);
    std::string bytes;
    char buf[65536];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) bytes.append(buf, static_cast<usize>(n));
    close(fds[0]);
    EXPECT_EQ(bytes, std::string(filled, 'p')) << "relay bytes got into the full pipe";
}

TEST(ProgressRelay, AnUnparsableDescriptorWarnsOnceAndShowsNothing) {
    for (const auto& [text, error] : std::vector<std::pair<std::string, std::string>>{
             {"abc", "InvalidCharacter"}, {"2147483648", "Overflow"}}) {
        e2e::SpawnOptions options = onTerminal("progress_slow_pair");
        options.set_env = {"XOV_FIXTURE_TABLE=progress_slow_pair", "XOV_PROGRESS=" + text};
        const e2e::Finished run = e2e::run(options);
        EXPECT_EQ(run.exitCode(), 0);
        EXPECT_EQ(run.err, "[default] (warn): invalid XOV_PROGRESS file descriptor integer: " + error +
                               "\nAll 2 tests passed.\n");
    }
}

}  // namespace
