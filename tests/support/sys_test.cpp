// Kinds of open files as the source-line printer sees them: only regular
// files are read, since a pipe, a device or a directory named by damaged
// debug information could block or never end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "support/sys.hpp"

namespace {

TEST(SysIsRegularFile, OnlyAnOrdinaryFileIsRegular) {
    char path[] = "/tmp/sys_regular_XXXXXX";
    const int file = mkstemp(path);
    ASSERT_GE(file, 0);
    unlink(path);
    EXPECT_EQ(sys::isRegularFile(file), Result<bool>(true));
    close(file);

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_EQ(sys::isRegularFile(fds[0]), Result<bool>(false));
    close(fds[0]);
    close(fds[1]);

    for (const char* other : {"/dev/zero", "/tmp"}) {
        const int fd = open(other, O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0) << other;
        EXPECT_EQ(sys::isRegularFile(fd), Result<bool>(false)) << other;
        close(fd);
    }
}

TEST(SysIsRegularFile, AClosedDescriptorIsAnErrorNotAnAnswer) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    close(fds[1]);
    EXPECT_FALSE(sys::isRegularFile(fds[0]).has_value());
}

}  // namespace
