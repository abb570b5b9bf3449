// The thin system-call layer: every call the program makes to the kernel
// goes through here and comes back as a Result with a named error.
#pragma once
#include <signal.h>
#include <sys/uio.h>

#include <span>

#include "support/error.hpp"
#include "support/types.hpp"


namespace sys {

// Maps an errno value to the program's error names (Unexpected for the rest).
Error errorFromErrno(int err);

// read/write/writev retry on EINTR; a would-block descriptor gives WouldBlock.
[[nodiscard]] Result<usize> read(int fd, void* buf, usize len);
// read at `offset` without moving the file position (pread), retried on EINTR.
[[nodiscard]] Result<usize> readAt(int fd, void* buf, usize len, u64 offset);
[[nodiscard]] Result<usize> write(int fd, const void* buf, usize len);
[[nodiscard]] Result<usize> writev(int fd, const iovec* iov, int iovcnt);
// Which of `events` (POLLIN, POLLOUT) fd is ready for right now, plus
// POLLERR, POLLHUP or POLLNVAL when they hold: poll with a zero timeout,
// which never waits and leaves the descriptor's file status flags alone.
// 0 when none, for a negative fd, and when the poll itself fails.
[[nodiscard]] short readyNow(int fd, short events);
[[nodiscard]] Result<int> open(const char* path, int flags, int mode = 0);
void close(int fd);
[[nodiscard]] Result<void> pipe2(int fds[2], int flags);
[[nodiscard]] Result<int> fcntl(int fd, int cmd, long arg);

struct WinSize {
    u16 rows;
    u16 cols;
};
// TIOCGWINSZ, retried on EINTR; an error when fd is not a terminal.
[[nodiscard]] Result<WinSize> terminalSize(int fd);
bool isTerminal(int fd);

[[nodiscard]] Result<void*> mmap(void* hint, usize len, int prot, int flags, int fd, i64 offset);
[[nodiscard]] Result<void> munmap(void* addr, usize len);
// msync(MS_ASYNC) on one page: UnmappedMemory when nothing is mapped there.
[[nodiscard]] Result<void> msyncAsync(void* page, usize len);

// Futex on a private 32-bit word. wait returns on wake, spurious wake-up,
// value mismatch or signal; Timeout when timeout_ns ran out.
[[nodiscard]] Result<void> futexWait(const u32* word, u32 expected, i64 timeout_ns = -1);
void futexWake(const u32* word, u32 count);

i32 gettid();
i32 getpid();
[[noreturn]] void exitGroup(int status);
[[nodiscard]] Result<void> tkill(i32 tid, int sig);
// A one-shot timer on the monotonic clock that sends sig to thread tid
// when it expires (the kernel's timer id).
[[nodiscard]] Result<i32> threadTimerCreate(i32 tid, int sig);
// Expires ns from now; 0 disarms.
[[nodiscard]] Result<void> threadTimerArm(i32 timer, u64 ns);

// rt_sigaction through the C library (which supplies the restorer);
// OperationNotSupported when the kernel rejects the action.
[[nodiscard]] Result<void> sigaction(int sig, const struct sigaction* act, struct sigaction* old);
// Signal mask of the calling thread.
[[nodiscard]] Result<void> sigprocmask(int how, const sigset_t* set, sigset_t* old);

// Size in bytes of an open file (fstat).
[[nodiscard]] Result<u64> fileSize(int fd);
// Whether an open file is a regular file (fstat): not a pipe, device,
// socket or directory, whose reads may block or never end.
[[nodiscard]] Result<bool> isRegularFile(int fd);
// Target of a symbolic link into buf (not terminated); NameTooLong when it
// does not fit.
[[nodiscard]] Result<usize> readLink(const char* path, std::span<char> buf);
// Whether the calling thread runs on its alternate signal stack.
[[nodiscard]] bool onSignalStack();

// Nanoseconds on the monotonic clock.
u64 monotonicNs();
void sleepNs(u64 ns);

// Environment lookup over the environment recorded at start-up (or the C
// library's when start-up has not run, as in unit tests).
const char* getenv(const char* name);

}  // namespace sys
