// System calls through the C library's thin wrappers, errors as values.
#include "support/sys.hpp"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>


namespace sys {

Error errorFromErrno(int err) {
    switch (err) {
        case ENOMEM: return Error::SystemResources;
        case EPIPE: return Error::BrokenPipe;
        case EIO: return Error::InputOutput;
        case EACCES:
        case EPERM: return Error::AccessDenied;
        case ENOENT: return Error::FileNotFound;
        case ENAMETOOLONG: return Error::NameTooLong;
        case EISDIR: return Error::IsDir;
        case ENOTDIR: return Error::NotDir;
        case EAGAIN: return Error::WouldBlock;
        case ENOSPC: return Error::NoSpaceLeft;
        case ETIMEDOUT: return Error::Timeout;
        case EINVAL: return Error::InvalidArgument;
        case EMFILE: return Error::ProcessFdQuotaExceeded;
        case ENFILE: return Error::SystemFdQuotaExceeded;
        case EBUSY: return Error::DeviceBusy;
        case ECONNRESET: return Error::ConnectionResetByPeer;
        case EBADF: return Error::NotOpenForWriting;
        case ENOTTY: return Error::NotATerminal;
        case ENOSYS:
        case EOPNOTSUPP: return Error::OperationNotSupported;
        default: return Error::Unexpected;
    }
}

Result<usize> read(int fd, void* buf, usize len) {
    for (;;) {
        const ssize_t n = ::read(fd, buf, len);
        if (n >= 0) return static_cast<usize>(n);
        if (errno == EINTR) continue;
        if (errno == EBADF) return XOV_FAIL(Error::NotOpenForReading);
        return XOV_FAIL(errorFromErrno(errno));
    }
}

Result<usize> readAt(int fd, void* buf, usize len, u64 offset) {
    for (;;) {
        const ssize_t n = ::pread(fd, buf, len, static_cast<off_t>(offset));
        if (n >= 0) return static_cast<usize>(n);
        if (errno == EINTR) continue;
        if (errno == EBADF) return XOV_FAIL(Error::NotOpenForReading);
        return XOV_FAIL(errorFromErrno(errno));
    }
}

Result<usize> write(int fd, const void* buf, usize len) {
    for (;;) {
        const ssize_t n = ::write(fd, buf, len);
        if (n >= 0) return static_cast<usize>(n);
        if (errno == EINTR) continue;
        return XOV_FAIL(errorFromErrno(errno));
    }
}

Result<usize> writev(int fd, const iovec* iov, int iovcnt) {
    for (;;) {
        const ssize_t n = ::writev(fd, iov, iovcnt);
        if (n >= 0) return static_cast<usize>(n);
        if (errno == EINTR) continue;
        return XOV_FAIL(errorFromErrno(errno));
    }
}

short readyNow(int fd, short events) {
    pollfd p{fd, events, 0};
    for (;;) {
        const int n = ::poll(&p, 1, 0);
        if (n > 0) return p.revents;
        if (n == 0 || errno != EINTR) return 0;
    }
}

Result<int> open(const char* path, int flags, int mode) {
    for (;;) {
        const int fd = ::open(path, flags | O_CLOEXEC, mode);
        if (fd >= 0) return fd;
        if (errno == EINTR) continue;
        if (errno == EFAULT) return XOV_FAIL(Error::BadPathName);
        return XOV_FAIL(errorFromErrno(errno));
    }
}

void close(int fd) { ::close(fd); }

Result<void> pipe2(int fds[2], int flags) {
    if (::pipe2(fds, flags) != 0) return XOV_FAIL(errorFromErrno(errno));
    return {};
}

Result<int> fcntl(int fd, int cmd, long arg) {
    const int r = ::fcntl(fd, cmd, arg);
    if (r < 0) return XOV_FAIL(errorFromErrno(errno));
    return r;
}

Result<WinSize> terminalSize(int fd) {
    winsize ws{};
    for (;;) {
        if (::ioctl(fd, TIOCGWINSZ, &ws) == 0) return WinSize{ws.ws_row, ws.ws_col};
        if (errno == EINTR) continue;
        return XOV_FAIL(errorFromErrno(errno));
    }
}

bool isTerminal(int fd) { return terminalSize(fd).has_value(); }

Result<void*> mmap(void* hint, usize len, int prot, int flags, int fd, i64 offset) {
    void* p = ::mmap(hint, len, prot, flags, fd, offset);
    if (p == MAP_FAILED) return XOV_FAIL(errorFromErrno(errno));
    return p;
}

Result<void> munmap(void* addr, usize len) {
    if (::munmap(addr, len) != 0) return XOV_FAIL(errorFromErrno(errno));
    return {};
}

Result<void> msyncAsync(void* page, usize len) {
    if (::msync(page, len, MS_ASYNC) == 0) return {};
    if (errno == ENOMEM) return XOV_FAIL(Error::UnmappedMemory);
    return XOV_FAIL(errorFromErrno(errno));
}

Result<void> futexWait(const u32* word, u32 expected, i64 timeout_ns) {
    timespec ts{};
    timespec* tsp = nullptr;
    if (timeout_ns >= 0) {
        ts.tv_sec = timeout_ns / 1'000'000'000;
        ts.tv_nsec = timeout_ns % 1'000'000'000;
        tsp = &ts;
    }
    const long r = ::syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, expected, tsp, nullptr, 0);
    if (r == 0) return {};
    if (errno == ETIMEDOUT) return XOV_FAIL(Error::Timeout);
    return {};  // EAGAIN (value changed) and EINTR look like a wake-up
}

void futexWake(const u32* word, u32 count) {
    ::syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

// Asked each time: only panic and fault reports want it, and a cached copy
// would need renewing in every forked child.
i32 gettid() { return static_cast<i32>(::syscall(SYS_gettid)); }
i32 getpid() { return static_cast<i32>(::getpid()); }

void exitGroup(int status) {
    ::syscall(SYS_exit_group, status);
    __builtin_unreachable();
}

Result<i32> threadTimerCreate(i32 tid, int sig) {
    struct sigevent event {};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = sig;
    event._sigev_un._tid = tid;
    i32 timer = 0;
    // The kernel's own call: the C library's wrapper has nothing to add
    // for a signal to a thread.
    if (::syscall(SYS_timer_create, CLOCK_MONOTONIC, &event, &timer) != 0) return XOV_FAIL(errorFromErrno(errno));
    return timer;
}

Result<void> threadTimerArm(i32 timer, u64 ns) {
    struct itimerspec timer_value {};
    timer_value.it_value.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    timer_value.it_value.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    if (::syscall(SYS_timer_settime, timer, 0, &timer_value, nullptr) != 0) return XOV_FAIL(errorFromErrno(errno));
    return {};
}

Result<void> tkill(i32 tid, int sig) {
    if (::syscall(SYS_tkill, tid, sig) != 0) return XOV_FAIL(errorFromErrno(errno));
    return {};
}

Result<void> sigaction(int sig, const struct sigaction* act, struct sigaction* old) {
    if (::sigaction(sig, act, old) != 0) return XOV_FAIL(Error::OperationNotSupported);
    return {};
}

Result<void> sigprocmask(int how, const sigset_t* set, sigset_t* old) {
    const int r = ::pthread_sigmask(how, set, old);
    if (r != 0) return XOV_FAIL(errorFromErrno(r));
    return {};
}

Result<u64> fileSize(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return XOV_FAIL(errorFromErrno(errno));
    return static_cast<u64>(st.st_size);
}

Result<bool> isRegularFile(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return XOV_FAIL(errorFromErrno(errno));
    return S_ISREG(st.st_mode);
}

Result<usize> readLink(const char* path, std::span<char> buf) {
    const ssize_t n = ::readlink(path, buf.data(), buf.size());
    if (n < 0) return XOV_FAIL(errorFromErrno(errno));
    if (static_cast<usize>(n) == buf.size()) return XOV_FAIL(Error::NameTooLong);
    return static_cast<usize>(n);
}

bool onSignalStack() {
    stack_t ss{};
    if (::sigaltstack(nullptr, &ss) != 0) return false;
    return (ss.ss_flags & SS_ONSTACK) != 0;
}

u64 monotonicNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<u64>(ts.tv_sec) * 1'000'000'000u + static_cast<u64>(ts.tv_nsec);
}

void sleepNs(u64 ns) {
    timespec ts{static_cast<time_t>(ns / 1'000'000'000u), static_cast<long>(ns % 1'000'000'000u)};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

const char* getenv(const char* name) { return ::getenv(name); }

}  // namespace sys
