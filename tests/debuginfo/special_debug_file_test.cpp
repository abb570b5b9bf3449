// Debug files looked for by path (build id, debug link) may be anything:
// a pipe nobody writes must not block the reader, a device must not be
// read; both are simply no debug information.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "debuginfo/debuginfo.hpp"

namespace {

TEST(SpecialDebugFile, APipeOrADeviceIsNoDebugInformation) {
    alarm(30);
    const std::string fifo = "/tmp/debug_file_fifo_" + std::to_string(getpid());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const auto from_fifo = debug::Module::openFile(fifo);
    unlink(fifo.c_str());
    ASSERT_FALSE(from_fifo.has_value());
    EXPECT_EQ(from_fifo.error(), Error::MissingDebugInfo);
    const auto from_device = debug::Module::openFile("/dev/zero");
    ASSERT_FALSE(from_device.has_value());
    EXPECT_EQ(from_device.error(), Error::MissingDebugInfo);
    alarm(0);
}

}  // namespace
