// Call-frame unwinding.
// FIXME: not built yet; every unwind reports MissingDebugInfo so callers
// fall back to frame pointers.
#include "debuginfo/unwind.hpp"

namespace dwarf {

Result<UnwindContext> UnwindContext::init(const ucontext_t* context, bool (*is_valid_memory)(usize)) {
    UnwindContext ctx;
    ctx.is_valid_memory = is_valid_memory;
    const auto& g = context->uc_mcontext.gregs;
    constexpr int map[UnwindContext::register_count] = {REG_RAX, REG_RDX, REG_RCX, REG_RBX, REG_RSI, REG_RDI,
                                                        REG_RBP, REG_RSP, REG_R8,  REG_R9,  REG_R10, REG_R11,
                                                        REG_R12, REG_R13, REG_R14, REG_R15, REG_RIP};
    for (usize i = 0; i < UnwindContext::register_count; ++i) {
        ctx.regs[i] = static_cast<u64>(g[map[i]]);
        ctx.reg_valid[i] = true;
    }
    ctx.pc = static_cast<usize>(g[REG_RIP]);
    return ctx;
}

Result<usize> unwindFrame(UnwindContext&) { return XOV_FAIL(Error::MissingDebugInfo); }

}  // namespace dwarf
