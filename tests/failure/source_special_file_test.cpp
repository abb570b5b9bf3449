// Source paths from damaged debug information that name no ordinary file:
// an endless device, a pipe nobody writes, a /proc file that never ends,
// a socket, a symbolic-link loop, a directory, process memory, and a
// process out of descriptors. The entry keeps its location line and simply
// has no source line; nothing blocks or runs forever (the alarm ends the
// test process if it does), and the trace goes on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include "failure/stack_trace.hpp"

namespace {

struct BoundedStringWriter final : Writer {
    std::string text;
    Result<void> writeAll(std::string_view bytes) override {
        // Bounded: an endless source line must show up as a failure, not
        // as a test that eats all memory.
        if (text.size() + bytes.size() > (1u << 20)) return std::unexpected(Error::NoSpaceLeft);
        text.append(bytes);
        return {};
    }
};

class SpecialSource : public ::testing::Test {
  protected:
    void SetUp() override { alarm(30); }
    void TearDown() override { alarm(0); }
};

TEST_F(SpecialSource, AnEndlessDeviceGivesNoSourceLineForAnyLine) {
    for (u64 line : {1u, 2u, 1000u}) {
        BoundedStringWriter w;
        const debug::LineInfo info{line, 3, "/dev/zero"};
        ASSERT_TRUE(debug::printLineInfo(w, info, 0x10, "fn", "cu", io::tty::Config::no_color).has_value()) << line;
        EXPECT_EQ(w.text, "/dev/zero:" + std::to_string(line) + ":3: 0x10 in fn (cu)\n");
    }
}

TEST_F(SpecialSource, APipeWithoutWriterDoesNotBlockTheEntry) {
    const std::string path = "/tmp/trace_source_fifo_" + std::to_string(getpid());
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    BoundedStringWriter w;
    const debug::LineInfo info{1, 1, path};
    const auto printed = debug::printLineInfo(w, info, 0x10, "fn", "cu", io::tty::Config::no_color);
    unlink(path.c_str());
    ASSERT_TRUE(printed.has_value());
    EXPECT_EQ(w.text, path + ":1:1: 0x10 in fn (cu)\n");
}

// Bytes this process has read through read system calls so far.
u64 processBytesRead() {
    std::ifstream io("/proc/self/io");
    std::string key;
    u64 value = 0;
    while (io >> key >> value)
        if (key == "rchar:") return value;
    ADD_FAILURE() << "no rchar in /proc/self/io";
    return 0;
}

std::string tempPath(const char* what) { return "/tmp/trace_source_" + std::string(what) + std::to_string(getpid()); }

// The entry for line `line` of `path` is its location line alone, and
// printing it succeeds.
void expectLocationLineOnly(const std::string& path, u64 line) {
    BoundedStringWriter w;
    const debug::LineInfo info{line, 2, path};
    const auto printed = debug::printLineInfo(w, info, 0x10, "fn", "cu", io::tty::Config::no_color);
    ASSERT_TRUE(printed.has_value()) << path << ": " << static_cast<int>(printed.error());
    EXPECT_EQ(w.text, path + ":" + std::to_string(line) + ":2: 0x10 in fn (cu)\n");
}

TEST_F(SpecialSource, AnEndlessProcFileBehindASymlinkIsReadOnlyUpToTheReach) {
    // A regular file by its type that never ends: looking for a far line
    // once read it for ever.
    const std::string link = tempPath("pagemap_link_");
    ASSERT_EQ(symlink("/proc/self/pagemap", link.c_str()), 0);
    const u64 before = processBytesRead();
    expectLocationLineOnly(link, 1000000);
    const u64 read = processBytesRead() - before;
    unlink(link.c_str());
    EXPECT_LE(read, debug::source_line_reach + 65536);
}

TEST_F(SpecialSource, ALineStartingPastTheReachOfAHugeFileIsNotShown) {
    char path[] = "/tmp/trace_source_sparse_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string near = "\nnear\n";
    const std::string far = "\nfar\n";
    ASSERT_EQ(pwrite(fd, near.data(), near.size(), (16 << 20) - 6), static_cast<ssize_t>(near.size()));
    ASSERT_EQ(pwrite(fd, far.data(), far.size(), 20 << 20), static_cast<ssize_t>(far.size()));
    close(fd);
    BoundedStringWriter w;
    ASSERT_TRUE(debug::printLineFromFileAnyOs(w, debug::LineInfo{2, 0, path}).has_value());
    EXPECT_EQ(w.text, "near\n");
    const u64 before = processBytesRead();
    expectLocationLineOnly(path, 4);
    const u64 read = processBytesRead() - before;
    unlink(path);
    EXPECT_LE(read, debug::source_line_reach + 65536);
}

TEST_F(SpecialSource, ASocketGivesNoSourceLine) {
    const std::string path = tempPath("socket_");
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    expectLocationLineOnly(path, 1);
    close(fd);
    unlink(path.c_str());
}

TEST_F(SpecialSource, ASymbolicLinkLoopGivesNoSourceLine) {
    const std::string path = tempPath("loop_");
    ASSERT_EQ(symlink(path.c_str(), path.c_str()), 0);
    expectLocationLineOnly(path, 1);
    unlink(path.c_str());
}

TEST_F(SpecialSource, ProcessMemoryAndADirectoryGiveNoSourceLine) {
    // /proc/self/mem is a regular file whose first page is never mapped.
    expectLocationLineOnly("/proc/self/mem", 1);
    expectLocationLineOnly("/proc/self/mem", 3);
    expectLocationLineOnly("/tmp", 1);
}

TEST_F(SpecialSource, NoDescriptorLeftGivesNoSourceLineAndTheNextEntryStillPrintsItsOwn) {
    char path[] = "/tmp/trace_source_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "one\ntwo\n", 8), 8);
    close(fd);
    // The lowest free descriptor becomes the limit: no open succeeds.
    const int lowest = dup(0);
    ASSERT_GE(lowest, 0);
    close(lowest);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowest);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    BoundedStringWriter w;
    const auto starved = debug::printLineInfo(w, debug::LineInfo{2, 1, path}, 0x10, "fn", "cu", io::tty::Config::no_color);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    ASSERT_TRUE(starved.has_value());
    const auto next = debug::printLineInfo(w, debug::LineInfo{2, 1, path}, 0x10, "fn", "cu", io::tty::Config::no_color);
    unlink(path);
    ASSERT_TRUE(next.has_value());
    const std::string location = std::string(path) + ":2:1: 0x10 in fn (cu)\n";
    EXPECT_EQ(w.text, location + location + "two\n^\n");
}

TEST_F(SpecialSource, TheLineOfAnOrdinaryFileIsStillPrinted) {
    char path[] = "/tmp/trace_source_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "one\ntwo\n", 8), 8);
    close(fd);
    BoundedStringWriter w;
    const debug::LineInfo info{2, 0, path};
    ASSERT_TRUE(debug::printLineFromFileAnyOs(w, info).has_value());
    unlink(path);
    EXPECT_EQ(w.text, "two\n");
}

}  // namespace
