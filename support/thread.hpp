// Threads for the runtime's background work: created with a fixed stack
// size through pthreads, joined by their creator.
#pragma once
#include <csignal>
#include <pthread.h>

#include "support/error.hpp"
#include "support/types.hpp"

// The stack every runtime thread gets: the same 16 MiB the main thread is
// raised to at start-up, so deep formatting or trace printing on a
// background thread has the same room.
inline constexpr usize default_thread_stack_size = 16 * 1024 * 1024;

class Thread {
  public:
    // The pthread signature, so no trampoline (and no allocation for its
    // arguments) sits between the creator and the thread body.
    using Entry = void* (*)(void* context);

    // Starts entry(context) on a new thread. ThreadQuotaExceeded or
    // SystemResources when the kernel refuses.
    [[nodiscard]] static Result<Thread> spawn(Entry entry, void* context,
                                              usize stack_size = default_thread_stack_size);

    // Waits for the thread to return. Exactly once per spawned thread.
    void join();

  private:
    explicit Thread(pthread_t handle) : handle_(handle) {}
    pthread_t handle_;
};

namespace sys {

using SignalAction = void (*)(int sig, siginfo_t* info, void* context);

// sigaction with an empty mask and SA_SIGINFO | SA_RESTART.
[[nodiscard]] Result<void> installSignalAction(int sig, SignalAction action);

}  // namespace sys
