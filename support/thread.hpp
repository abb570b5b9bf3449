// Threads for the runtime's background work: created with a fixed stack
// size through pthreads, joined by their creator. Every thread of the
// process, whoever creates it, runs with an alternate signal stack of its
// own (see the pthread_create wrapper in thread.cpp).
#pragma once
#include <csignal>
#include <pthread.h>

#include <atomic>
#include <span>

#include "support/error.hpp"
#include "support/types.hpp"

// The stack every runtime thread gets: the same 16 MiB the main thread is
// raised to at start-up, so deep formatting or trace printing on a
// background thread has the same room.
inline constexpr usize default_thread_stack_size = 16 * 1024 * 1024;

namespace sys {

// Alternate signal stack of every thread the program runs: the fault
// handler runs on it, so that a thread whose own stack is exhausted can
// still report. Sized for the whole report path (a first report opens
// and indexes the debug information on it) with a wide margin: the
// deepest use measured after a whole report (AlternateStack in
// tests/failure/panic_e2e_test.cpp) is 23 KiB in the static build and
// 34 KiB under AddressSanitizer. Untouched pages cost no memory.
inline constexpr usize alt_signal_stack_size = 256 * 1024;

// A mapping of one inaccessible guard page (an overflow of the alternate
// stack faults instead of writing over whatever lies below) and the
// stack above it.
struct AltSignalStack {
    void* mapping = nullptr;
    usize mapping_len = 0;
    [[nodiscard]] void* stackBase() const { return static_cast<char*>(mapping) + 4096; }
};

[[nodiscard]] Result<AltSignalStack> mapAltSignalStack();
void unmapAltSignalStack(const AltSignalStack& stack);
// Makes the stack the calling thread's alternate signal stack; the one in
// use before is stored in previous when given.
[[nodiscard]] Result<void> useAltSignalStack(const AltSignalStack& stack, stack_t* previous = nullptr);
// Maps a stack and gives it to the calling thread for the rest of its life
// (the main thread at start-up).
[[nodiscard]] Result<void> installAltSignalStack();

}  // namespace sys

class Thread {
  public:
    // The pthread signature: the only thing between the creator and the
    // body is the start that installs the thread's alternate signal stack,
    // and it allocates nothing beyond that stack.
    using Entry = void* (*)(void* context);

    // Starts entry(context) on a new thread, which runs it with an
    // alternate signal stack of its own (freed when the thread ends, so by
    // the time join returns). ThreadQuotaExceeded or SystemResources when
    // the kernel refuses.
    [[nodiscard]] static Result<Thread> spawn(Entry entry, void* context,
                                              usize stack_size = default_thread_stack_size);

    // Waits for the thread to return. Exactly once per spawned thread.
    void join();

  private:
    explicit Thread(pthread_t handle) : handle_(handle) {}
    pthread_t handle_;
};

namespace sys {

// Each thread started through pthread_create, listed while it runs (from
// its first instruction to its thread-specific destructors), for a report
// that shows every thread's stack. Lock-free: a thread claims a free slot
// for itself and frees it when it ends, and a reader in a signal handler
// sees each slot whole or free.
struct ThreadRecord {
    // 0: a free slot.
    std::atomic<i32> tid{0};
    // What the thread is, when the code that started it says ("the
    // progress thread"): a string with static storage duration. Null for
    // any other thread, which a test started.
    std::atomic<const char*> role{nullptr};
    // The register context the thread answered a report's request with,
    // from its own signal handler, which then never returns; null until
    // then.
    std::atomic<const void*> answer{nullptr};
};

inline constexpr usize thread_table_size = 128;

std::span<ThreadRecord, thread_table_size> threadTable();
// Threads that found the table full and are not listed.
usize unlistedThreads();
// The calling thread's record; null for the main thread, or one not
// listed.
ThreadRecord* thisThreadRecord();
// Names the calling thread for a report; role has static storage duration.
void nameThisThread(const char* role);
// Sends sig to thread tid of this process.
[[nodiscard]] Result<void> signalThread(i32 tid, int sig);

using SignalAction = void (*)(int sig, siginfo_t* info, void* context);

// sigaction with an empty mask and SA_SIGINFO | SA_RESTART.
[[nodiscard]] Result<void> installSignalAction(int sig, SignalAction action);

}  // namespace sys
