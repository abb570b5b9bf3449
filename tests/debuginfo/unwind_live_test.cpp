// The unwinder on this process's own stack: through frames without frame
// pointers, through the C library's qsort, and through a signal
// trampoline, checked against the return addresses the frames recorded
// themselves.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <ucontext.h>

#include <algorithm>
#include <cstdlib>

#include "debuginfo/unwind.hpp"
#include "debuginfo/debuginfo.hpp"
#include "tests/debuginfo/unwind_chain_helper.hpp"

namespace {

bool mapped(usize address) {
    const usize page = address & ~usize{4095};
    return page != 0 && msync(reinterpret_cast<void*>(page), 4096, MS_ASYNC) == 0;
}

// Return addresses of one walk. Fixed storage: walks also run inside a
// signal handler, where allocating is not allowed.
struct Frames {
    usize addresses[64] = {};
    usize count = 0;

    [[nodiscard]] usize size() const { return count; }
    [[nodiscard]] bool empty() const { return count == 0; }
    void clear() { count = 0; }
    usize operator[](usize i) const { return addresses[i]; }
    [[nodiscard]] bool contains(usize address) const {
        return std::find(addresses, addresses + count, address) != addresses + count;
    }
};

// Unwinds from ctx until the walk ends or fails; the return addresses.
Frames walk(dwarf::UnwindContext ctx, Error* last_error = nullptr) {
    Frames out;
    while (out.count < std::size(out.addresses) && ctx.pc != 0) {
        const auto ra = dwarf::unwindFrame(ctx);
        if (!ra) {
            if (last_error) *last_error = ra.error();
            break;
        }
        if (*ra == 0) break;
        out.addresses[out.count++] = *ra;
    }
    return out;
}

Frames captured;

[[gnu::noinline]] usize unwindHere(usize seed) {
    ucontext_t uc;
    getcontext(&uc);
    auto ctx = dwarf::UnwindContext::init(&uc, mapped);
    captured = ctx ? walk(*ctx) : Frames{};
    __asm__ volatile("" ::: "memory");
    return seed;
}

TEST(UnwindLive, WalksThroughFramesWithoutFramePointers) {
    captured.clear();
    (void)nofp::levelA(unwindHere);
    // unwindHere's caller (levelC), then levelB, levelA, and this test body,
    // exactly as the frames recorded them.
    ASSERT_GE(captured.size(), 4u);
    EXPECT_EQ(captured[1], nofp::recorded_returns[2]);
    EXPECT_EQ(captured[2], nofp::recorded_returns[1]);
    EXPECT_EQ(captured[3], nofp::recorded_returns[0]);
}

TEST(UnwindLive, FramesDescribedOnlyInDebugFrameAreWalkedOnceDebugInfoIsOpen) {
    // The file's .debug_frame is read through the debug information, which
    // the unwinder uses only when somebody has opened it already.
    ASSERT_TRUE(debug::getSelfDebugInfo().has_value());
    captured.clear();
    (void)dbgframe::levelA(unwindHere);
    ASSERT_GE(captured.size(), 4u);
    EXPECT_EQ(captured[1], dbgframe::recorded_returns[2]);
    EXPECT_EQ(captured[2], dbgframe::recorded_returns[1]);
    EXPECT_EQ(captured[3], dbgframe::recorded_returns[0]);
}

TEST(UnwindLive, WalkReachesTheOutermostFrameWithoutError) {
    captured.clear();
    Error last = Error::Success_;
    ucontext_t uc;
    getcontext(&uc);
    auto ctx = dwarf::UnwindContext::init(&uc, mapped);
    ASSERT_TRUE(ctx.has_value());
    const auto frames = walk(*ctx, &last);
    // The program's entry point marks its return address undefined: the
    // walk ends cleanly there instead of failing on garbage.
    EXPECT_EQ(last, Error::Success_) << errorName(last);
    EXPECT_GE(frames.size(), 3u);
}

usize sorter_return = 0;

int comparatorUnwinds(const void* a, const void* b) {
    if (captured.empty()) (void)unwindHere(0);
    return *static_cast<const int*>(a) - *static_cast<const int*>(b);
}

[[gnu::noinline]] void sortsWithUnwindingComparator() {
    sorter_return = reinterpret_cast<usize>(__builtin_return_address(0));
    int items[8] = {5, 3, 1, 4, 2, 8, 7, 6};
    std::qsort(items, 8, sizeof(int), comparatorUnwinds);
    __asm__ volatile("" ::: "memory");
}

TEST(UnwindLive, WalksFromAQsortComparatorBackToTheSortingFunction) {
    captured.clear();
    sortsWithUnwindingComparator();
    // Past qsort's own frames, the return address of the function that
    // called qsort, into this test.
    EXPECT_TRUE(captured.contains(sorter_return));
}

usize raiser_return = 0;
Frames from_handler_context;

void handlerUnwinds(int, siginfo_t*, void* context) {
    (void)unwindHere(0);
    auto ctx = dwarf::UnwindContext::init(static_cast<const ucontext_t*>(context), mapped);
    if (!ctx) return;
    ctx->exact_pc = true;
    from_handler_context = walk(*ctx);
}

[[gnu::noinline]] void raisesSignal() {
    raiser_return = reinterpret_cast<usize>(__builtin_return_address(0));
    raise(SIGUSR1);
    __asm__ volatile("" ::: "memory");
}

TEST(UnwindLive, WalksThroughTheSignalTrampolineAndFromASignalContext) {
    struct sigaction act {};
    struct sigaction old {};
    act.sa_sigaction = handlerUnwinds;
    act.sa_flags = SA_SIGINFO;
    sigemptyset(&act.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &act, &old), 0);
    captured.clear();
    from_handler_context.clear();
    raisesSignal();
    sigaction(SIGUSR1, &old, nullptr);
    // From inside the handler: through the trampoline and the interrupted
    // frames to the function that raised the signal, and on to its caller.
    EXPECT_TRUE(captured.contains(raiser_return));
    // From the machine context the kernel passed: the same caller.
    EXPECT_TRUE(from_handler_context.contains(raiser_return));
}

TEST(UnwindLive, AddressOutsideEveryModuleHasNoUnwindInformation) {
    dwarf::UnwindContext ctx;
    ctx.is_valid_memory = mapped;
    ctx.pc = 0x10;
    ctx.exact_pc = true;
    EXPECT_EQ(dwarf::unwindFrame(ctx).error(), Error::MissingDebugInfo);
    ctx.pc = 0;
    EXPECT_FALSE(dwarf::unwindFrame(ctx).has_value());
}

}  // namespace
