// A futex mutex that remembers its owner, and a one-word reset event.
#pragma once
#include <atomic>

#include "support/error.hpp"
#include "support/types.hpp"

// Not re-entrant: locking it again from the owning thread is a bug that
// would hang forever, so it panics "Deadlock detected" instead. Unlocking
// from any thread but the holder (or unlocking a free mutex) panics too.
namespace mutex_detail {
// The mark currentThread() hands out; its address is all that counts.
extern constinit thread_local char thread_mark;
[[noreturn, gnu::cold]] void unlockedByStranger();
void wakeOne(const std::atomic<u32>& state);
}  // namespace mutex_detail

class Mutex {
  public:
    void lock();
    // tryLock and unlock are inline: the leak-checking allocator takes the
    // mutex twice per allocation and free, and a call each way was a fifth
    // of the locking's instructions.
    [[nodiscard]] bool tryLock() {
        u32 expected = 0;
        if (!state_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed))
            return false;
        owner_.store(currentThread(), std::memory_order_relaxed);
        return true;
    }
    void unlock() {
        // Only the holder may unlock: another thread's unlock would let a
        // third one in while the holder is still inside, and an unlock of a
        // free mutex would wrap the next holder's lock. Both are bugs of the
        // caller.
        if (owner_.load(std::memory_order_relaxed) != currentThread()) [[unlikely]]
            mutex_detail::unlockedByStranger();
        owner_.store(0, std::memory_order_relaxed);
        // Release pairs with the acquire of the next lock.
        if (state_.exchange(0, std::memory_order_release) == 2) [[unlikely]]
            mutex_detail::wakeOne(state_);
    }
    // currentThread() of the holder, 0 when free.
    [[nodiscard]] usize owner() const { return owner_.load(std::memory_order_relaxed); }
    // The calling thread's mark: the address of a thread-local byte, unique
    // among live threads and known without a system call (the kernel's
    // thread id takes one, and every lock records its holder). A forked
    // child's thread keeps the mark of the thread it copies, as it keeps
    // what that thread held.
    [[nodiscard]] static usize currentThread() { return reinterpret_cast<usize>(&mutex_detail::thread_mark); }

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
