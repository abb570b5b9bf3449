// Cost of an allocate-then-free pair through the leak-checking allocator
// (traces included) beside the C library's malloc/free in the same run,
// and the cost of one 10-frame trace capture on its own.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "failure/stack_trace.hpp"
#include "memory/general_purpose_allocator.hpp"
#include "support/mutex.hpp"

namespace {

// A few frames of depth, as a test body calling a helper would have.
[[gnu::noinline]] void gpaPair(mem::Allocator a, usize n) {
    auto r = a.alloc<u8>(n);
    benchmark::DoNotOptimize(r->data());
    a.free(*r);
}

// An isolated pair: slots are never reused and an emptied bucket is
// released at once, so each pair creates and releases a bucket (two
// mappings and two unmappings) once the first bucket is full.
void BM_GpaAllocFree(benchmark::State& state) {
    testing::resetAllocatorInstance();
    const mem::Allocator a = testing::allocator();
    const usize n = static_cast<usize>(state.range(0));
    for (auto _ : state) gpaPair(a, n);
    if (testing::allocator_instance.deinit() != heap::general_purpose_allocator::Check::ok)
        state.SkipWithError("leak");
    testing::resetAllocatorInstance();
}
BENCHMARK(BM_GpaAllocFree)->Arg(16)->Arg(100)->Arg(1000)->Arg(5000);

[[gnu::noinline]] std::span<u8> gpaAllocThenFreePrevious(mem::Allocator a, usize n, std::span<u8> previous) {
    auto r = a.alloc<u8>(n);
    benchmark::DoNotOptimize(r->data());
    a.free(previous);
    return *r;
}

// The steady state of a test that keeps something live: allocate the next
// block, free the previous one. A bucket is created and released once per
// slot count of pairs.
void BM_GpaAllocFreeSliding(benchmark::State& state) {
    testing::resetAllocatorInstance();
    const mem::Allocator a = testing::allocator();
    const usize n = static_cast<usize>(state.range(0));
    std::span<u8> previous = *a.alloc<u8>(n);
    for (auto _ : state) previous = gpaAllocThenFreePrevious(a, n, previous);
    a.free(previous);
    if (testing::allocator_instance.deinit() != heap::general_purpose_allocator::Check::ok)
        state.SkipWithError("leak");
    testing::resetAllocatorInstance();
}
BENCHMARK(BM_GpaAllocFreeSliding)->Arg(16)->Arg(100)->Arg(1000)->Arg(5000);

[[gnu::noinline]] void mallocPair(usize n) {
    void* p = std::malloc(n);
    benchmark::DoNotOptimize(p);
    std::free(p);
}

void BM_MallocFree(benchmark::State& state) {
    const usize n = static_cast<usize>(state.range(0));
    for (auto _ : state) mallocPair(n);
}
BENCHMARK(BM_MallocFree)->Arg(16)->Arg(100)->Arg(1000)->Arg(5000);

[[gnu::noinline]] void* mallocThenFreePrevious(usize n, void* previous) {
    void* p = std::malloc(n);
    benchmark::DoNotOptimize(p);
    std::free(previous);
    return p;
}

void BM_MallocFreeSliding(benchmark::State& state) {
    const usize n = static_cast<usize>(state.range(0));
    void* previous = std::malloc(n);
    for (auto _ : state) previous = mallocThenFreePrevious(n, previous);
    std::free(previous);
}
BENCHMARK(BM_MallocFreeSliding)->Arg(16)->Arg(100)->Arg(1000)->Arg(5000);

// The allocator's mutex is taken once per operation; its lock asks the
// kernel for the thread id each time.
void BM_MutexLockUnlock(benchmark::State& state) {
    Mutex mutex;
    for (auto _ : state) {
        mutex.lock();
        mutex.unlock();
    }
}
BENCHMARK(BM_MutexLockUnlock);

[[gnu::noinline]] void captureFromHere(usize* words) {
    StackTrace trace{0, std::span<usize>(words, 10)};
    debug::captureStackTrace(0, &trace);
    benchmark::DoNotOptimize(trace.index);
}

void BM_CaptureTenFrames(benchmark::State& state) {
    usize words[10];
    for (auto _ : state) captureFromHere(words);
}
BENCHMARK(BM_CaptureTenFrames);

}  // namespace

BENCHMARK_MAIN();
