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

    usize pc = 0;  // code address of this frame; 0 ends the walk
    u64 regs[register_count] = {};
    bool reg_valid[register_count] = {};
    // Whether a read of the 8 bytes at an address is safe.
    bool (*is_valid_memory)(usize address) = nullptr;

    // From a captured context (getcontext or a signal's machine context).
    [[nodiscard]] static Result<UnwindContext> init(const ucontext_t* context, bool (*is_valid_memory)(usize));
    // The frame register (rbp), 0 when unknown.
    [[nodiscard]] usize getFp() const { return reg_valid[6] ? regs[6] : 0; }
};

// Unwinds one frame: finds the call-frame information covering ctx.pc,
// turns ctx into the caller's frame, and returns the caller's return
// address (the new ctx.pc). MissingDebugInfo when no rule covers pc.
[[nodiscard]] Result<usize> unwindFrame(UnwindContext& ctx);

}  // namespace dwarf
