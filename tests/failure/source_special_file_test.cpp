// Source paths from damaged debug information that name no ordinary file:
// an endless device and a pipe nobody writes. The entry keeps its location
// line and simply has no source line; nothing blocks or runs forever (the
// alarm ends the test process if it does).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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
