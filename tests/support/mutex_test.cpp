// Mutex ownership and the reset event.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/mutex.hpp"
#include "support/sys.hpp"

namespace {

TEST(Mutex, SerialisesIncrementsFromManyThreads) {
    Mutex m;
    u64 counter = 0;  // guarded by m only: TSan flags any missing ordering
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                m.lock();
                counter += 1;
                m.unlock();
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(counter, 80000u);
}

TEST(Mutex, TryLockFailsWhileHeldAndRecordsOwner) {
    Mutex m;
    EXPECT_EQ(m.owner(), 0u);
    ASSERT_TRUE(m.tryLock());
    EXPECT_EQ(m.owner(), Mutex::currentThread());
    bool other = true;
    std::thread([&] { other = m.tryLock(); }).join();
    EXPECT_FALSE(other);
    m.unlock();
    EXPECT_EQ(m.owner(), 0u);
}

TEST(MutexDeathTest, RelockingFromTheOwnerPanicsDeadlock) {
    EXPECT_DEATH(
        {
            Mutex m;
            m.lock();
            m.lock();
        },
        "panic: Deadlock detected");
}

TEST(MutexDeathTest, UnlockingFromAThreadThatDoesNotHoldItPanics) {
    EXPECT_DEATH(
        {
            Mutex m;
            m.lock();
            std::thread([&] { m.unlock(); }).join();
        },
        "panic: Mutex unlocked by a thread that does not hold it");
    // Locked by a thread that has ended since.
    EXPECT_DEATH(
        {
            Mutex m;
            std::thread([&] { ASSERT_TRUE(m.tryLock()); }).join();
            m.unlock();
        },
        "panic: Mutex unlocked by a thread that does not hold it");
}

TEST(MutexDeathTest, UnlockingAFreeMutexPanics) {
    EXPECT_DEATH(
        {
            Mutex m;
            m.unlock();
        },
        "panic: Mutex unlocked by a thread that does not hold it");
    EXPECT_DEATH(
        {
            Mutex m;
            m.lock();
            m.unlock();
            m.unlock();
        },
        "panic: Mutex unlocked by a thread that does not hold it");
}

TEST(Mutex, TheHolderUnlocksAndTheNextLockerBecomesTheOwner) {
    Mutex m;
    m.lock();
    usize seen = 0;
    std::thread other([&] {
        m.lock();
        seen = m.owner();
        m.unlock();
    });
    sys::sleepNs(5'000'000);
    m.unlock();
    other.join();
    EXPECT_NE(seen, 0u);
    EXPECT_NE(seen, Mutex::currentThread());
    EXPECT_EQ(m.owner(), 0u);
}

// The holder's mark is no system call's answer: it must still tell live
// threads apart, and a forked child's one thread is the copy of the thread
// that forked, holding what it held.
TEST(Mutex, EveryLiveThreadHasItsOwnMarkAndAForkedChildKeepsItsParents) {
    constexpr int n = 4;
    usize marks[n] = {};
    std::vector<std::thread> threads;
    std::atomic<int> arrived{0};
    for (int t = 0; t < n; ++t)
        threads.emplace_back([&, t] {
            marks[t] = Mutex::currentThread();
            arrived.fetch_add(1);
            while (arrived.load() < n) sys::sleepNs(100'000);  // all alive at once
        });
    for (auto& th : threads) th.join();
    for (int i = 0; i < n; ++i) {
        EXPECT_NE(marks[i], 0u);
        EXPECT_NE(marks[i], Mutex::currentThread());
        for (int j = i + 1; j < n; ++j) EXPECT_NE(marks[i], marks[j]);
    }
    Mutex m;
    m.lock();
    const pid_t pid = fork();
    if (pid == 0) {
        m.unlock();
        _exit(m.owner() == 0 && m.tryLock() && m.owner() == Mutex::currentThread() ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    m.unlock();
}

TEST(ResetEvent, TimedWaitTimesOutWhenUnsetAndReturnsAtOnceWhenSet) {
    ResetEvent e;
    auto r = e.timedWait(5'000'000);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), Error::Timeout);
    e.set();
    EXPECT_TRUE(e.isSet());
    EXPECT_TRUE(e.timedWait(0).has_value());
    e.reset();
    EXPECT_FALSE(e.isSet());
}

TEST(ResetEvent, SetFromAnotherThreadWakesAWaiter) {
    ResetEvent e;
    std::thread setter([&] {
        sys::sleepNs(20'000'000);
        e.set();
    });
    const u64 start = sys::monotonicNs();
    EXPECT_TRUE(e.timedWait(10'000'000'000ull).has_value());
    EXPECT_LT(sys::monotonicNs() - start, 5'000'000'000ull);
    setter.join();
}

}  // namespace

namespace {

TEST(ThreadId, RightInEveryThreadAndInAForkedChild) {
    const i32 mine = sys::gettid();
    EXPECT_EQ(mine, static_cast<i32>(syscall(SYS_gettid)));
    i32 other = 0;
    std::thread([&] { other = sys::gettid(); }).join();
    EXPECT_NE(other, mine);
    EXPECT_NE(other, 0);
    const pid_t pid = fork();
    if (pid == 0) _exit(sys::gettid() == static_cast<i32>(syscall(SYS_gettid)) && sys::gettid() != mine ? 0 : 1);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
