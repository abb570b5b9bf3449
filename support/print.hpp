// debug::print: one formatted message to standard error under the
// standard-error lock, in one write when it fits in 4096 bytes (nothing is
// kept after the call returns), write errors ignored.
#pragma once
#include "support/format.hpp"
#include "support/mutex.hpp"

namespace debug {

// The process-wide standard-error lock: whatever writes standard error
// line by line takes it, so that no line tears another.
extern Mutex stderr_mutex;

// Runs right after lockStdErr takes the lock, so that whatever the holder
// prints lands on a clean screen: the progress display, a few layers up,
// installs the erasing of its frame here when it starts. Until then
// nothing is drawn and nothing runs.
void setStdErrLockedHook(void (*hook)());

// stderr_mutex with the hook; the caller's error-return trace is set aside
// until unlockStdErr.
void lockStdErr();
void unlockStdErr();

void printArgs(std::string_view format, std::span<const fmt::Arg> args);

template <class... Args>
void print(std::string_view format, const Args&... args) {
    const fmt::Arg packed[] = {fmt::Arg(args)..., fmt::Arg(false)};
    printArgs(format, std::span<const fmt::Arg>(packed, sizeof...(Args)));
}

}  // namespace debug
