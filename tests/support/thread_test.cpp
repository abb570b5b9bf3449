// Runtime threads: each runs with an alternate signal stack of its own,
// so a fault on a thread whose stack is exhausted can still be reported;
// join gives the stack back.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

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

TEST(Thread, TwoThreadsGetDifferentStacks) {
    Seen a, b;
    auto first = Thread::spawn(recordsItsAltStack, &a);
    auto second = Thread::spawn(recordsItsAltStack, &b);
    ASSERT_TRUE(first.has_value());
    ASSERT_TRUE(second.has_value());
    first->join();
    second->join();
    EXPECT_NE(a.alt.ss_sp, b.alt.ss_sp);
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
