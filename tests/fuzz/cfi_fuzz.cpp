// Call-frame tables and DWARF expressions as the unwinder meets them in a
// damaged executable: arbitrary records (as .eh_frame or .debug_frame)
// run for a pc inside them, and arbitrary expressions evaluated, over a
// register context whose stack is a local buffer. Reads must stay where
// the memory check allows (anything else faults), and nothing may crash
// or hang. Input: a control byte, then the table bytes, which double as
// the stack's contents and as an expression.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "debuginfo/cfi.hpp"
#include "debuginfo/unwind.hpp"

namespace {

constexpr usize stack_words = 512;
alignas(16) u64 stack[stack_words];

// Only the fake stack may be read.
bool onFakeStack(usize address) {
    const usize lo = reinterpret_cast<usize>(stack);
    return address >= lo && address <= lo + sizeof stack - 8;
}

dwarf::UnwindContext contextOverStack(u8 control, usize pc) {
    dwarf::UnwindContext ctx;
    ctx.pc = pc;
    ctx.is_valid_memory = onFakeStack;
    ctx.exact_pc = (control & 2) != 0;
    const usize middle = reinterpret_cast<usize>(stack + stack_words / 2);
    for (usize r = 0; r < dwarf::UnwindContext::register_count; ++r) {
        ctx.regs[r] = middle + 8 * (r % 5);
        ctx.reg_valid[r] = (control >> 2 & 1) != 0 || r == dwarf::UnwindContext::rbp || r == dwarf::UnwindContext::rsp;
    }
    ctx.regs[dwarf::UnwindContext::return_address] = pc;
    ctx.reg_valid[dwarf::UnwindContext::return_address] = true;
    return ctx;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8* data, usize size) {
    if (size < 1) return 0;
    const u8 control = data[0];
    const std::span<const u8> bytes(data + 1, size - 1);

    std::memset(stack, 0, sizeof stack);
    std::memcpy(stack, bytes.data(), bytes.size() < sizeof stack ? bytes.size() : sizeof stack);

    // The table as if loaded at a fixed address, probed at pcs spread over
    // the addresses its records could name.
    const usize table_address = 0x400000;
    const dwarf::cfi::Section section{
        .bytes = bytes,
        .address = table_address,
        .kind = (control & 1) != 0 ? dwarf::cfi::SectionKind::debug_frame : dwarf::cfi::SectionKind::eh_frame,
        .data_base = 0,
        .load_bias = 0,
    };
    for (usize k = 0; k < 4; ++k) {
        // Around the table for pc-relative records, and near 0 for the
        // absolute ones of an unrelocated .debug_frame.
        const usize probes[4] = {table_address, table_address - 0x800, table_address + 0x800, 0x10};
        const usize pc = probes[k] + (control >> 4);
        dwarf::UnwindContext ctx = contextOverStack(control, pc);
        (void)dwarf::cfi::unwindFrameInSection(ctx, section);
        dwarf::cfi::Cie cie;
        if (auto fde = dwarf::cfi::findFdeLinear(section, pc, &cie)) {
            if (!fde->covers(pc)) std::abort();
            (void)dwarf::cfi::runProgram(cie, *fde, section, pc);
        }
    }
    for (usize offset = 0; offset < bytes.size() && offset < 64; offset += 16)
        if (dwarf::cfi::Cie cie; true) (void)dwarf::cfi::parseEntry(section, offset, &cie);

    const dwarf::UnwindContext ctx = contextOverStack(control, 0x401000);
    (void)dwarf::cfi::evaluateExpression(bytes, ctx, std::nullopt);
    (void)dwarf::cfi::evaluateExpression(bytes, ctx, reinterpret_cast<usize>(stack + 8));
    return 0;
}
