// Stack walks over a stack of random words: frame pointers, return
// addresses into this very executable (so the walk follows its real
// call-frame tables) and register contexts all come from the input. Every
// walk must end by its own rules (each step strictly up the stack), within
// what the fake stack can hold, and a trace shows no more entries
// than its cap; reads stay on the fake stack (anything else faults).
// Input: a control byte, then 8-byte words for the registers and the stack.
#include <ucontext.h>

#include <cstdlib>
#include <cstring>

#include "failure/stack_trace.hpp"

extern "C" char __executable_start[];
extern "C" char etext[];

namespace {

constexpr usize stack_words = 512;
alignas(16) u64 stack[stack_words];

// Both words of a frame (saved frame pointer, return address) on the fake
// stack; the call-frame unwinder reads one word through the same check.
bool onFakeStack(usize address) {
    const usize lo = reinterpret_cast<usize>(stack);
    return address >= lo && address <= lo + sizeof stack - 16;
}

// A word of the input as the walk should meet it: its two low bits pick a
// fake-stack address, a code address of this executable, the raw word or
// a small number.
u64 shaped(u64 word, bool keep_misaligned) {
    const u64 rest = word >> 2;
    switch (word & 3) {
        case 0: {
            usize offset = rest % sizeof stack;
            if (!keep_misaligned) offset &= ~usize{7};
            return reinterpret_cast<usize>(stack) + offset;
        }
        case 1: {
            const usize lo = reinterpret_cast<usize>(__executable_start);
            const usize len = reinterpret_cast<usize>(etext) - lo;
            return lo + rest % len;
        }
        case 2: return word;
        default: return rest & 0xff;
    }
}

struct Counter final : debug::WalkSink {
    usize entries = 0;
    usize skipped_frames = 0;
    usize skipped_lines = 0;
    usize errors = 0;
    bool entry_after_skip = false;
    Result<void> entry(usize) override {
        entries += 1;
        return {};
    }
    Result<void> skipped(usize count) override {
        if (count == 0 || entries != debug::trace_head_entries) std::abort();
        skipped_frames += count;
        skipped_lines += 1;
        return {};
    }
    void unwindError(const debug::StackIterator::UnwindError&) override { errors += 1; }
};

void checkWalk(debug::StackIterator& it, std::optional<usize> first_entry) {
    Counter counter;
    if (!debug::walkBounded(it, counter, first_entry)) std::abort();
    if (counter.entries > debug::trace_head_entries + debug::trace_tail_entries) std::abort();
    if (counter.skipped_lines > 1) std::abort();
    // A failed unwind happens once and is reported once.
    if (counter.errors > 1) std::abort();
    // Ended by the rules: a call-frame step reads a word above the last
    // one it read, on the fake stack (twice over, for the outermost frames
    // walked again by rules after frame pointers), a frame-pointer step
    // reads a frame above the last.
    if (it.steps > 2 * sizeof stack + stack_words + 1) std::abort();
    it.deinit();
}

u64 wordAt(const u8* data, usize size, usize index) {
    u64 w = 0;
    const usize at = index * 8;
    if (at < size) std::memcpy(&w, data + at, size - at < 8 ? size - at : 8);
    return w;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8* data, usize size) {
    if (size < 1) return 0;
    const u8 control = data[0];
    const u8* words = data + 1;
    const usize word_count = (size - 1 + 7) / 8;
    const bool misaligned = (control & 1) != 0;

    // Registers first (rip, rsp, rbp, then the rest), then the stack.
    constexpr int regs[] = {REG_RIP, REG_RSP, REG_RBP, REG_RAX, REG_RBX, REG_RCX, REG_RDX, REG_RSI, REG_RDI,
                            REG_R8,  REG_R9,  REG_R10, REG_R11, REG_R12, REG_R13, REG_R14, REG_R15};
    constexpr usize reg_words = sizeof regs / sizeof regs[0];
    for (usize i = 0; i < stack_words; ++i)
        stack[i] = i + reg_words < word_count ? shaped(wordAt(words, size - 1, i + reg_words), misaligned) : 0;

    ucontext_t context{};
    for (usize r = 0; r < reg_words; ++r) {
        const u64 w = wordAt(words, size - 1, r);
        // rip, rsp and rbp keep their kinds' meaning most often.
        u64 value = shaped(w, misaligned);
        if (r == 0 && (w & 3) != 2) value = shaped((w & ~u64{3}) | 1, misaligned);
        if ((r == 1 || r == 2) && (w & 3) != 2) value = shaped(w & ~u64{3}, misaligned);
        context.uc_mcontext.gregs[regs[r]] = static_cast<greg_t>(value);
    }

    // A signal context's walk: call-frame rules, then frame pointers.
    auto with_context = debug::StackIterator::initWithContext(std::nullopt, nullptr, &context, onFakeStack);
    if (!with_context) return 0;
    with_context->unwind_state->dwarf_context.exact_pc = (control & 2) != 0;
    checkWalk(*with_context, with_context->unwind_state->dwarf_context.pc);

    // Frame pointers alone, as captures walk.
    auto by_fp = debug::StackIterator::init(std::nullopt, static_cast<usize>(context.uc_mcontext.gregs[REG_RBP]));
    by_fp.is_valid_memory = onFakeStack;
    Counter counter;
    if (!debug::walkBounded(by_fp, counter, std::nullopt)) std::abort();
    if (counter.entries > debug::trace_head_entries + debug::trace_tail_entries) std::abort();
    // Strictly rising, 8-aligned frames on 512 words: fewer than 512 of
    // them, and one more step to find the end.
    if (by_fp.steps > stack_words + 1) std::abort();

    // Skipping to a first address ends as fast, found or not.
    auto skipping = debug::StackIterator::init(usize{0x1234567}, static_cast<usize>(context.uc_mcontext.gregs[REG_RBP]));
    skipping.is_valid_memory = onFakeStack;
    for (usize i = 0; skipping.next().has_value(); ++i)
        if (i > stack_words) std::abort();
    if (skipping.steps > stack_words + 1) std::abort();
    return 0;
}
