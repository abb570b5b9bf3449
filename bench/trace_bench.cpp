// Stack-trace costs inside one process: a 10-frame capture (the
// leak-checking allocator pays it on every allocation and free) beside a
// bare frame-pointer walk of the same 10 frames, the page check per frame
// with and without the known-stack shortcut, and resolving a 32-frame trace
// once the debug information is parsed. The cold whole-process comparison
// with addr2line and llvm-symbolizer is bench/trace_bench.sh.
#include <benchmark/benchmark.h>

#include "failure/stack_trace.hpp"
#include "support/sys.hpp"

namespace {

using Walk = void (*)(usize, StackTrace*);

// The floor of a capture: the same frames, from the return address into
// the caller, read with no check at all.
[[gnu::noinline]] void bareFramePointerWalk(usize, StackTrace* trace) {
    auto fp = static_cast<const usize*>(__builtin_frame_address(0));
    const usize capacity = trace->instruction_addresses.size();
    usize n = 0;
    while (n < capacity && fp != nullptr) {
        trace->instruction_addresses[n++] = fp[1];
        fp = reinterpret_cast<const usize*>(fp[0]);
    }
    trace->index = n;
}

// Both walks start from the same frames: one chain of calls, the walk
// passed down.
template <int depth>
[[gnu::noinline]] usize walkAtDepth(StackTrace* trace, Walk walk) {
    if constexpr (depth == 0) {
        walk(0, trace);
        return trace->index;
    } else {
        const usize n = walkAtDepth<depth - 1>(trace, walk);
        benchmark::DoNotOptimize(n);
        return n;
    }
}

template <int depth>
usize captureAtDepth(StackTrace* trace) {
    return walkAtDepth<depth>(trace, debug::captureStackTrace);
}

void BM_CaptureTenFrames(benchmark::State& state) {
    usize addresses[10];
    StackTrace trace{0, addresses};
    for (auto _ : state) benchmark::DoNotOptimize(captureAtDepth<12>(&trace));
    if (trace.index != 10) state.SkipWithError("walk ended early");
}
BENCHMARK(BM_CaptureTenFrames);

void BM_BareWalkTenFrames(benchmark::State& state) {
    usize addresses[10];
    StackTrace trace{0, addresses};
    for (auto _ : state) benchmark::DoNotOptimize(walkAtDepth<12>(&trace, bareFramePointerWalk));
    // Same frames as the capture, or the ratio means nothing.
    usize captured[10];
    StackTrace check{0, captured};
    captureAtDepth<12>(&check);
    for (usize i = 0; i < 10; ++i)
        if (addresses[i] != captured[i]) state.SkipWithError("bare walk and capture saw different frames");
}
BENCHMARK(BM_BareWalkTenFrames);

// The per-frame page check the walk makes: the shortcut for the thread's
// own stack beside the system call it replaces.
void BM_ValidMemoryOnOwnStack(benchmark::State& state) {
    const usize here = reinterpret_cast<usize>(__builtin_frame_address(0));
    for (auto _ : state) benchmark::DoNotOptimize(debug::isValidMemory(here));
}
BENCHMARK(BM_ValidMemoryOnOwnStack);

void BM_MsyncPageCheck(benchmark::State& state) {
    const usize page = reinterpret_cast<usize>(__builtin_frame_address(0)) & ~usize{4095};
    for (auto _ : state) benchmark::DoNotOptimize(sys::msyncAsync(reinterpret_cast<void*>(page), 4096).has_value());
}
BENCHMARK(BM_MsyncPageCheck);

struct NullWriter final : Writer {
    usize bytes = 0;
    Result<void> writeAll(std::string_view b) override {
        bytes += b.size();
        return {};
    }
};

// 32 frames of this program (warm: the debug information is parsed before
// timing starts), printed without source lines being the dominant cost
// as they would be on a real run: the entries include the source lines.
void BM_ResolveThirtyTwoFramesWarm(benchmark::State& state) {
    usize addresses[32];
    StackTrace captured{0, std::span<usize>(addresses, 10)};
    captureAtDepth<12>(&captured);
    for (usize i = 10; i < 32; ++i) addresses[i] = addresses[i % 10];
    const StackTrace trace{32, addresses};
    auto info = debug::getSelfDebugInfo();
    NullWriter sink;
    if (!info || !debug::writeStackTrace(trace, sink, **info, io::tty::Config::no_color)) {
        state.SkipWithError("no debug info");
        return;
    }
    for (auto _ : state) {
        NullWriter out;
        benchmark::DoNotOptimize(debug::writeStackTrace(trace, out, **info, io::tty::Config::no_color).has_value());
        benchmark::DoNotOptimize(out.bytes);
    }
}
BENCHMARK(BM_ResolveThirtyTwoFramesWarm)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
