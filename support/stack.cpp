// Where the calling thread's stack lies, whether a frame may be read, and
// the frame-pointer capture the leak-checking allocator runs on every
// allocation and free.
#include "support/stack.hpp"

#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/auxv.h>
#include <sys/resource.h>

#include <bit>

#include "support/sys.hpp"

namespace debug {

namespace {

// Where this thread's stack is known to be mapped, learned once per thread
// without reading a file (reading /proc/self/maps took a tenth of a clean
// run): a thread the C library started knows its stack block; the main
// thread's stack runs up to the executable's name the kernel put at its
// top (AT_EXECFN), and down at least to the deepest frame seen on it,
// since a stack mapping grows down from its top and never shrinks. Frames
// inside are readable without asking the kernel; everything else still
// goes through msync. Not learned while on an alternate signal stack,
// which may be unmapped later.
struct StackBounds {
    usize lo = 0;
    usize hi = 0;
    // Main thread: the lowest address its stack may grow to (the stack
    // size limit below the top); lo moves down to frames above it.
    usize floor = 0;
    u8 state = 0;  // 0 not looked up, 1 known, 2 unknown for good
    bool main_thread = false;
};
thread_local StackBounds thread_stack_bounds;

// The start-up stack of the main thread, from a frame on it and the soft
// stack size limit.
void learnStartUpStack(StackBounds& bounds, usize here, u64 limit) {
    // The kernel puts the executable's name at the top of the start-up
    // stack, above every frame.
    const usize top = getauxval(AT_EXECFN);
    const usize size = limit == RLIM_INFINITY || limit > top ? top : limit;
    // A thread that forked this process is its main thread now, on a stack
    // of its own: not the start-up stack.
    if (here >= top || here < top - size) return;
    bounds.lo = here & ~usize{4095};
    bounds.hi = top;
    bounds.floor = top - size;
    bounds.main_thread = true;
    bounds.state = 1;
}

[[gnu::noinline, gnu::cold]] void learnStackBounds(StackBounds& bounds) {
    if (sys::onSignalStack()) return;  // try again off the signal stack
    bounds.state = 2;
    const usize here = reinterpret_cast<usize>(__builtin_frame_address(0));
    if (sys::gettid() == sys::getpid()) {
        rlimit limit{};
        if (getrlimit(RLIMIT_STACK, &limit) != 0) return;
        learnStartUpStack(bounds, here, limit.rlim_cur);
        return;
    }
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
    void* stack = nullptr;
    usize size = 0;
    const bool known = pthread_attr_getstack(&attr, &stack, &size) == 0;
    pthread_attr_destroy(&attr);
    const usize lo = reinterpret_cast<usize>(stack);
    if (!known || here < lo || here >= lo + size) return;
    bounds.lo = lo;
    bounds.hi = lo + size;
    bounds.state = 1;
}

// The main thread's frame at fp lies below what is known of its stack:
// the stack has grown, unless this runs on an alternate signal stack.
[[gnu::noinline, gnu::cold]] void extendMainThreadStack(StackBounds& bounds, usize fp) {
    if (fp >= bounds.floor && !sys::onSignalStack()) bounds.lo = fp & ~usize{4095};
}

bool pageIsMapped(usize address) {
    const usize page = address & ~usize{4095};
    if (page == 0) return false;
    return sys::msyncAsync(reinterpret_cast<void*>(page), 4096).has_value();
}

}  // namespace

void noteStartUpStack(u64 stack_limit) {
    StackBounds& bounds = thread_stack_bounds;
    if (bounds.state != 0) return;
    bounds.state = 2;
    learnStartUpStack(bounds, reinterpret_cast<usize>(__builtin_frame_address(0)), stack_limit);
}

std::optional<KnownStack> knownStack() {
    const StackBounds& bounds = thread_stack_bounds;
    if (bounds.state != 1) return std::nullopt;
    return KnownStack{bounds.lo, bounds.hi};
}

bool isValidMemory(usize address) {
    StackBounds& bounds = thread_stack_bounds;
    if (bounds.state == 0) [[unlikely]]
        learnStackBounds(bounds);
    const bool on_stack = bounds.state == 1 && address >= bounds.lo && address < bounds.hi - 8;
    if (!on_stack) {
        if (!pageIsMapped(address)) return false;
        // The word at address + 8 may start the next page.
        const usize last = address + 15;
        if ((last & ~usize{4095}) != (address & ~usize{4095}) && !pageIsMapped(last)) return false;
    }
    // Mapped is not readable: a page made PROT_NONE is mapped too, inside
    // the stack's bounds or out of them. Trying the read says which.
    usize first;
    usize second;
    return readFrameWords(address, first, second);
}

// Where each listed load resumes when it faults, both as offsets from the
// entry's own fields.
struct ReadFixup {
    i32 load;
    i32 resume;
};

namespace {

// This thread's runGuarded, innermost first.
thread_local sigjmp_buf* fault_recovery = nullptr;

}  // namespace

}  // namespace debug

// The linker's bounds of the loads' list.
extern const debug::ReadFixup read_fixups_begin[] __asm__("__start_xov_read_fixups")
    __attribute__((weak, visibility("hidden")));
extern const debug::ReadFixup read_fixups_end[] __asm__("__stop_xov_read_fixups")
    __attribute__((weak, visibility("hidden")));

namespace debug {

namespace {

usize fixupTarget(const i32& field) {
    return reinterpret_cast<usize>(&field) + static_cast<usize>(static_cast<isize>(field));
}

}  // namespace

bool recoverFromFault(ucontext_t* context) {
    greg_t& pc = context->uc_mcontext.gregs[REG_RIP];
    for (const ReadFixup* fixup = read_fixups_begin; fixup < read_fixups_end; ++fixup) {
        if (fixupTarget(fixup->load) != static_cast<usize>(pc)) continue;
        const usize resume = fixupTarget(fixup->resume);
        pc = static_cast<greg_t>(resume);
        return true;
    }
    if (fault_recovery != nullptr) siglongjmp(*fault_recovery, 1);
    return false;
}

bool runGuarded(void (*fn)(void*), void* context) {
    sigjmp_buf recovery;
    sigjmp_buf* const outer = fault_recovery;
    // The mask is not saved: that would be a system call on every run.
    // Only the signal that was delivered is left blocked by the jump back.
    if (sigsetjmp(recovery, 0) != 0) {
        fault_recovery = outer;
        sigset_t faults;
        sigemptyset(&faults);
        sigaddset(&faults, SIGSEGV);
        sigaddset(&faults, SIGBUS);
        (void)sys::sigprocmask(SIG_UNBLOCK, &faults, nullptr);
        return false;
    }
    fault_recovery = &recovery;
    fn(context);
    fault_recovery = outer;
    return true;
}

namespace {

// One walk's progress: frames up to the one returning to first_address are
// passed over while skipping, the rest stored until the trace is full.
struct Walk {
    usize fp;
    usize first_address;
    bool skipping;
    usize* next;  // the next address goes here
    usize* end;   // one past the trace's last slot

    usize stored(const StackTrace* trace) const {
        return static_cast<usize>(next - trace->instruction_addresses.data());
    }
};

// Takes frames while `readable` accepts them and the trace has room;
// returns the step that ended the walk (taken: the trace is full).
template <class Readable>
[[gnu::always_inline]] inline FrameStep walkFrames(Walk& walk, Readable readable) {
    usize return_address = 0;
    FrameStep step;
    if (walk.skipping) {
        do step = stepFrame(walk.fp, return_address, readable);
        while (step == FrameStep::taken && return_address != walk.first_address);
        if (step != FrameStep::taken) return step;
        walk.skipping = false;
        *walk.next++ = return_address;
    }
    while (walk.next != walk.end) {
        step = stepFrame(walk.fp, return_address, readable);
        if (step != FrameStep::taken) return step;
        *walk.next++ = return_address;
    }
    return FrameStep::taken;
}

// The rest of a walk that left the thread's known stack (or never knew
// it): every frame has its pages checked. Each step goes strictly up, so
// the memory the chain lies in bounds it, however deep the stack.
[[gnu::noinline]] void walkCheckedFrames(Walk& walk) {
    (void)walkFrames(walk, [](usize frame) { return frame != 0 && frame % 8 == 0 && isValidMemory(frame); });
}

// The leak-checking allocator captures twice per allocation and free, so
// the walk over the thread's own stack (every frame, in practice) is
// inlined with no call per frame: a frame is read there when it lies,
// aligned, within the stack's known mapping. The walk leaves it only for a
// frame elsewhere, whose pages are then checked.
[[gnu::always_inline]] inline void captureFrom(usize fp, usize first_address, StackTrace* trace) {
    const std::span<usize> out = trace->instruction_addresses;
    Walk walk{fp, first_address, true, out.data(), out.data() + out.size()};
    if (out.empty()) [[unlikely]] {
        trace->index = 0;
        return;
    }
    StackBounds& bounds = thread_stack_bounds;
    if (bounds.state == 0) [[unlikely]]
        learnStackBounds(bounds);
    if (fp < bounds.lo && bounds.main_thread) [[unlikely]]
        extendMainThreadStack(bounds, fp);
    if (bounds.state == 1) [[likely]] {
        // Frames start at multiples of 8 in [lo, hi - 16], both their words
        // (saved frame pointer, return address) below hi. One comparison
        // checks both: rotated right by 3, an offset from lo (rounded up to
        // a multiple of 8) that is not a multiple of 8 has its low bits on
        // top, far out of range.
        const usize lo = (bounds.lo + 7) & ~usize{7};
        const usize last_slot = (bounds.hi - 16 - lo) / 8;
        const FrameStep step =
            walkFrames(walk, [lo, last_slot](usize frame) { return std::rotr(frame - lo, 3) <= last_slot; });
        // A null or misaligned frame pointer ends the walk with no page to
        // check: the usual end of a chain, where code without frame
        // pointers (the C library's start-up) holds the outermost frame.
        if (step != FrameStep::unreadable || walk.fp == 0 || walk.fp % 8 != 0) {
            trace->index = walk.stored(trace);
            return;
        }
    }
    // A copy: the walk above stays in registers, its address never taken.
    Walk rest = walk;
    walkCheckedFrames(rest);
    trace->index = rest.stored(trace);
}

}  // namespace

void captureStackTrace(usize first_address, StackTrace* trace) {
    if (first_address == 0) first_address = reinterpret_cast<usize>(__builtin_return_address(0));
    captureFrom(reinterpret_cast<usize>(__builtin_frame_address(0)), first_address, trace);
}

void captureStackTraceFrom(usize fp, usize first_address, StackTrace* trace) {
    captureFrom(fp, first_address, trace);
}

}  // namespace debug
