// Runtime threads: each runs with an alternate signal stack of its own,
// so a fault on a thread whose stack is exhausted can still be reported;
// join gives the stack back.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

#include "support/thread.hpp"

namespace {

struct Seen {
    stack_t alt{};
    int status = -1;
    int value = 0;
};

void* recordsItsAltStack(void* context) {
    auto* seen = static_cast<Seen*>(context);
    seen->status = sigaltstack(nullptr, &seen->alt);
    seen->value = 42;
    return nullptr;
}

TEST(Thread, RunsItsBodyWithAnAlternateSignalStackOfItsOwn) {
    Seen seen;
    auto thread = Thread::spawn(recordsItsAltStack, &seen);
    ASSERT_TRUE(thread.has_value());
    thread->join();
    EXPECT_EQ(seen.value, 42);
    ASSERT_EQ(seen.status, 0);
    EXPECT_EQ(seen.alt.ss_flags & SS_DISABLE, 0);
    EXPECT_EQ(seen.alt.ss_size, sys::alt_signal_stack_size);
    // Not the creator's: each thread has its own.
    stack_t mine{};
    ASSERT_EQ(sigaltstack(nullptr, &mine), 0);
    EXPECT_NE(mine.ss_sp, seen.alt.ss_sp);
    // Join unmapped it (and the guard page below it).
    EXPECT_NE(msync(seen.alt.ss_sp, 4096, MS_ASYNC), 0);
    EXPECT_NE(msync(static_cast<char*>(seen.alt.ss_sp) - 4096, 4096, MS_ASYNC), 0);
}

// Both threads keep running until each has seen its stack: a thread's
// stack is freed when it ends, and the next thread may get the same one.
std::atomic<int> threads_recorded{0};

void* recordsThenWaitsForTheOther(void* context) {
    recordsItsAltStack(context);
    threads_recorded.fetch_add(1, std::memory_order_seq_cst);
    while (threads_recorded.load(std::memory_order_seq_cst) < 2) sched_yield();
    return nullptr;
}

TEST(Thread, TwoThreadsGetDifferentStacks) {
    threads_recorded.store(0, std::memory_order_seq_cst);
    Seen a, b;
    auto first = Thread::spawn(recordsThenWaitsForTheOther, &a);
    auto second = Thread::spawn(recordsThenWaitsForTheOther, &b);
    ASSERT_TRUE(first.has_value());
    ASSERT_TRUE(second.has_value());
    first->join();
    second->join();
    EXPECT_NE(a.alt.ss_sp, b.alt.ss_sp);
}

// Gone with its guard page: the thread's end gave the mapping back.
void expectUnmapped(const stack_t& alt) {
    EXPECT_NE(msync(alt.ss_sp, 4096, MS_ASYNC), 0);
    EXPECT_NE(msync(static_cast<char*>(alt.ss_sp) - 4096, 4096, MS_ASYNC), 0);
}

void expectOwnAltStack(const Seen& seen) {
    EXPECT_EQ(seen.value, 42);
    ASSERT_EQ(seen.status, 0);
    EXPECT_EQ(seen.alt.ss_flags & SS_DISABLE, 0);
    EXPECT_EQ(seen.alt.ss_size, sys::alt_signal_stack_size);
    stack_t mine{};
    ASSERT_EQ(sigaltstack(nullptr, &mine), 0);
    EXPECT_NE(mine.ss_sp, seen.alt.ss_sp);
}

// Threads the runtime did not start get one too: a plain pthread_create,
// as a test's job system would call it. (std::thread's call lies in the C++
// library, which this dynamically linked test does not wrap; the static
// fixture's end-to-end tests cover it.)
TEST(ForeignThread, APlainPthreadRunsWithAnAlternateSignalStackFreedAtItsEnd) {
    Seen seen;
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, nullptr, recordsItsAltStack, &seen), 0);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
    expectOwnAltStack(seen);
    expectUnmapped(seen.alt);
}

void* recordsThenExits(void* context) {
    recordsItsAltStack(context);
    pthread_exit(nullptr);
}

// pthread_exit skips the rest of the start routine; the stack is freed all
// the same.
TEST(ForeignThread, AThreadEndedByPthreadExitFreesItsAlternateStack) {
    Seen seen;
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, nullptr, recordsThenExits, &seen), 0);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
    expectOwnAltStack(seen);
    expectUnmapped(seen.alt);
}

// A hundred threads one after another, ended by return or by pthread_exit,
// leave none of their stacks mapped.
TEST(ForeignThread, ManyThreadsLeaveNoAlternateStackBehind) {
    static Seen seen[100];
    for (int i = 0; i < 100; ++i) {
        pthread_t thread;
        ASSERT_EQ(pthread_create(&thread, nullptr, i % 2 == 0 ? recordsItsAltStack : recordsThenExits, &seen[i]), 0);
        ASSERT_EQ(pthread_join(thread, nullptr), 0);
    }
    for (const Seen& s : seen) {
        ASSERT_EQ(s.status, 0);
        expectUnmapped(s.alt);
    }
}

// The page below the stack is a guard: an overflow of the alternate stack
// faults rather than writing over a neighbouring mapping.
TEST(AltSignalStack, HasAnInaccessibleGuardPageBelowTheStack) {
    auto stack = sys::mapAltSignalStack();
    ASSERT_TRUE(stack.has_value());
    // Mapped, but not readable: the kernel's read of it (a pipe write)
    // reports EFAULT, while the stack above it reads fine.
    EXPECT_EQ(msync(stack->mapping, 4096, MS_ASYNC), 0);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_EQ(write(fds[1], stack->mapping, 1), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(write(fds[1], stack->stackBase(), 1), 1);
    close(fds[0]);
    close(fds[1]);
    sys::unmapAltSignalStack(*stack);
}

}  // namespace
