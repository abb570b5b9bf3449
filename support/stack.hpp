// The calling thread's stack: where it is known to be mapped, whether a
// frame on it may be read, one frame-pointer step, and the capture of
// return addresses into a StackTrace that the leak-checking allocator
// makes on every allocation and free.
#pragma once
#include <ucontext.h>

#include <optional>

#include "support/error.hpp"
#include "support/types.hpp"

namespace debug {

// Whether the two words at address (a saved frame pointer and the return
// address above it) can be read: their pages are mapped and readable. The
// current thread's own stack is known to be mapped, and is checked without
// a system call.
bool isValidMemory(usize address);

// Reads the two words at address (a frame's saved frame pointer and
// return address) without faulting: false when either cannot be read. Each
// load is listed with the place to resume at, and the fault handler sends a
// load that faults there (recoverFromFault), so a readable frame costs no
// more than two plain loads.
[[nodiscard, gnu::always_inline]] inline bool readFrameWords(usize address, usize& first, usize& second) {
    const auto* words = reinterpret_cast<const usize(*)[2]>(address);
    asm volatile goto(
        "1: movq 8(%[p]), %[b]\n\t"
        "2: movq (%[p]), %[a]\n\t"
        ".pushsection xov_read_fixups, \"a\"\n\t"
        ".balign 4\n\t"
        ".long 1b - ., %l[unreadable] - .\n\t"
        ".long 2b - ., %l[unreadable] - .\n\t"
        ".popsection"
        // The frame pointer is read last, so that it may take the
        // address's register: the walk's next address stays in one.
        : [a] "=r"(first), [b] "=&r"(second)
        : [p] "r"(words), "m"(*words)
        :
        : unreadable);
    return true;
unreadable:
    return false;
}

// For the fault handler, first thing on SIGSEGV or SIGBUS: a fault of one
// of the loads above resumes at its listed place (true); one inside
// runGuarded on this thread goes back to it (never returns); otherwise
// false, and the fault is the program's.
bool recoverFromFault(ucontext_t* context);

// Runs fn(context); a SIGSEGV or SIGBUS inside it on this thread (the
// reader touching a debug file truncated under it, say) ends it early and
// returns false. Whatever fn was doing is abandoned where it faulted, so
// only code that holds no lock and keeps no state it cannot redo belongs
// here.
[[nodiscard]] bool runGuarded(void (*fn)(void*), void* context);

enum class FrameStep : u8 {
    taken,       // fp now names the caller's frame (0: this was the last)
    unreadable,  // the frame at fp may not be read; fp is unchanged
    broken,      // its saved frame pointer does not lead up the stack
};

// One step up a frame-pointer chain from the frame at fp, which `readable`
// judges first. Callers' frames lie at strictly higher addresses: a frame
// pointing at itself is the loop a clobbered stack leaves and would repeat
// for ever, so it ends the walk; a saved frame pointer of 0 ends it after
// this frame. Every frame-pointer walk takes this one step, so they all
// end a chain alike; inlined, it costs no call per frame.
template <class Readable>
[[nodiscard, gnu::always_inline]] inline FrameStep stepFrame(usize& fp, usize& return_address, Readable readable) {
    if (!readable(fp)) [[unlikely]]
        return FrameStep::unreadable;
    usize saved_fp;
    // A frame inside the stack's bounds may still sit on a page made
    // unreadable (a guard page the program set up itself).
    if (!readFrameWords(fp, saved_fp, return_address)) [[unlikely]]
        return FrameStep::unreadable;
    // saved_fp in [1, fp], in one comparison.
    if (saved_fp - 1 < fp) [[unlikely]]
        return FrameStep::broken;
    fp = saved_fp;
    return FrameStep::taken;
}

// Walks the current stack by frame pointers, from first_address (0: from
// the return address into the caller of captureStackTrace), into
// trace->instruction_addresses; index = number stored. No allocation and
// no system call for frames on the current thread's own stack: the
// leak-checking allocator calls it on every allocation and free.
[[gnu::noinline]] void captureStackTrace(usize first_address, StackTrace* trace);
// The same walk from the frame at fp, a frame of the calling thread (the
// caller's or one above it), instead of from captureStackTrace's own: a
// caller that knows a frame nearer first_address (given, not 0) skips the
// frames below it. The leak-checking allocator starts at its entry point.
[[gnu::noinline]] void captureStackTraceFrom(usize fp, usize first_address, StackTrace* trace);

// Main thread, at start-up, off any signal stack: records where its stack
// lies from the soft stack size limit just put in place, so the first
// capture asks the kernel nothing (a clean run captures once, when the
// progress display starts).
void noteStartUpStack(u64 stack_limit);

// What this thread knows of its own stack, as [lo, hi), if it knows it:
// for tests of the above.
struct KnownStack {
    usize lo;
    usize hi;
};
[[nodiscard]] std::optional<KnownStack> knownStack();

}  // namespace debug
