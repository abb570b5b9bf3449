// A futex mutex that remembers its owner, and a one-word reset event.
#pragma once
#include <atomic>

#include "support/error.hpp"
#include "support/types.hpp"

// Not re-entrant: locking it again from the owning thread is a bug that
// would hang forever, so it panics "Deadlock detected" instead. Unlocking
// from any thread but the holder (or unlocking a free mutex) panics too.
class Mutex {
  public:
    void lock();
    [[nodiscard]] bool tryLock();
    void unlock();
    // currentThread() of the holder, 0 when free.
    [[nodiscard]] usize owner() const { return owner_.load(std::memory_order_relaxed); }
    // The calling thread's mark: the address of a thread-local byte, unique
    // among live threads and known without a system call (the kernel's
    // thread id takes one, and every lock records its holder). A forked
    // child's thread keeps the mark of the thread it copies, as it keeps
    // what that thread held.
    [[nodiscard]] static usize currentThread();

  private:
    // 0 unlocked, 1 locked, 2 locked with waiters.
    std::atomic<u32> state_{0};
    std::atomic<usize> owner_{0};
};

// Set, reset and a timed wait. set() is async-signal-safe (one atomic
// exchange and a futex wake), so a signal handler may call it.
class ResetEvent {
  public:
    void set();
    void reset();
    [[nodiscard]] bool isSet() const;
    // Returns at once when set; otherwise waits up to timeout_ns for a set.
    [[nodiscard]] Result<void> timedWait(u64 timeout_ns);
    void wait();

  private:
    // 0 unset, 1 unset with a waiter, 2 set.
    std::atomic<u32> state_{0};
};
