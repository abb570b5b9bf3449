// Futex-based Mutex and ResetEvent.
#include "support/mutex.hpp"

#include "support/panic.hpp"
#include "support/sys.hpp"

namespace {

// The futex calls take the word's address; std::atomic<u32> is layout
// compatible with u32 on this platform.
const u32* word(const std::atomic<u32>& a) { return reinterpret_cast<const u32*>(&a); }

}  // namespace

namespace mutex_detail {

constinit thread_local char thread_mark = 0;

void unlockedByStranger() { builtin::default_panic("Mutex unlocked by a thread that does not hold it", nullptr, 0); }

void wakeOne(const std::atomic<u32>& state) { sys::futexWake(word(state), 1); }

}  // namespace mutex_detail

void Mutex::lock() {
    const usize self = currentThread();
    u32 expected = 0;
    if (!state_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) {
        if (owner_.load(std::memory_order_relaxed) == self) builtin::default_panic("Deadlock detected", nullptr, 0);
        // Contended: mark waiters and sleep until the holder's unlock.
        while (state_.exchange(2, std::memory_order_acquire) != 0) (void)sys::futexWait(word(state_), 2);
    }
    owner_.store(self, std::memory_order_relaxed);
}

void ResetEvent::set() {
    // Release pairs with the acquire loads in isSet()/timedWait().
    if (state_.exchange(2, std::memory_order_release) == 1) sys::futexWake(word(state_), 0x7fffffff);
}

void ResetEvent::reset() {
    // Only set -> unset: a waiter's mark (1) must survive, or the next set()
    // would not know to wake it.
    u32 expected = 2;
    (void)state_.compare_exchange_strong(expected, 0, std::memory_order_relaxed, std::memory_order_relaxed);
}

bool ResetEvent::isSet() const { return state_.load(std::memory_order_acquire) == 2; }

Result<void> ResetEvent::timedWait(u64 timeout_ns) {
    if (isSet()) return {};
    const u64 deadline = sys::monotonicNs() + timeout_ns;
    u32 expected = 0;
    if (!state_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_acquire) &&
        expected == 2)
        return {};
    for (;;) {
        const u64 now = sys::monotonicNs();
        if (now >= deadline) return isSet() ? Result<void>{} : XOV_FAIL(Error::Timeout);
        (void)sys::futexWait(word(state_), 1, static_cast<i64>(deadline - now));
        if (isSet()) return {};
    }
}

void ResetEvent::wait() {
    while (!isSet()) {
        u32 expected = 0;
        (void)state_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_acquire);
        if (expected == 2) return;
        (void)sys::futexWait(word(state_), 1);
    }
}
