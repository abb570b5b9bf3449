// Call-frame unwinding from a register context: the caller's registers
// computed from .eh_frame / .debug_frame rules, one frame at a time.
#pragma once
#include <ucontext.h>

#include "support/error.hpp"
#include "support/types.hpp"

namespace dwarf {

// Register state of one frame, in DWARF x86-64 numbering (0 rax, 1 rdx,
// 2 rcx, 3 rbx, 4 rsi, 5 rdi, 6 rbp, 7 rsp, 8-15 r8-r15, 16 the return
// address column / rip). Fixed size: nothing is allocated per frame.
struct UnwindContext {
    static constexpr usize register_count = 17;
    // The columns the unwinder itself reads: the frame and stack pointers,
    // and the return address.
    static constexpr usize rbp = 6, rsp = 7, return_address = 16;

    usize pc = 0;  // code address of this frame; 0 ends the walk
    u64 regs[register_count] = {};
    bool reg_valid[register_count] = {};
    // Whether a read of the 8 bytes at an address is safe.
    bool (*is_valid_memory)(usize address) = nullptr;
    // The canonical frame address of the frame last unwound (0 before).
    usize cfa = 0;
    // pc is the interrupted instruction itself (a signal context, or the
    // frame below a signal trampoline) rather than a return address, so the
    // rule lookup must not step back into the call instruction. Set it after
    // init() when the context comes from a signal.
    bool exact_pc = false;

    // From a captured context (getcontext or a signal's machine context).
    [[nodiscard]] static Result<UnwindContext> init(const ucontext_t* context, bool (*is_valid_memory)(usize));
    // The frame register (rbp), 0 when unknown.
    [[nodiscard]] usize getFp() const { return reg_valid[rbp] ? regs[rbp] : 0; }
};

// Unwinds one frame: finds the call-frame information covering ctx.pc,
// turns ctx into the caller's frame, and returns the caller's return
// address (the new ctx.pc). MissingDebugInfo when no rule covers pc.
[[nodiscard]] Result<usize> unwindFrame(UnwindContext& ctx);

// The address whose rules describe ctx's frame: pc - 1 for a return
// address (still inside the call instruction), pc itself when exact.
[[nodiscard]] inline usize lookupAddress(const UnwindContext& ctx) {
    return ctx.exact_pc || ctx.pc == 0 ? ctx.pc : ctx.pc - 1;
}

}  // namespace dwarf
