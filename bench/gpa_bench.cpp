// Cost of an allocate-then-free pair through the leak-checking allocator
// (traces included) beside the C library's malloc/free in the same run.
// The capture on its own is in trace_bench, beside a bare walk.
//
// Each allocator figure carries three counters: "syscalls", the mmap and
// munmap calls per pair (every call into the backing page allocator is
// one), "pages", the fresh pages mapped per pair, and "sys_share", the
// kernel's share of the thread's CPU time over the timed loop (those calls
// and the page faults on the fresh pages they map).
//
// A fresh page costs more than its fault: on a virtual machine whose
// hypervisor shadows the guest's page tables, its first touch also traps
// to the hypervisor, and the guest charges that time to the user-mode
// instruction that touched it. BM_FirstTouch measures that charge per
// page, and BM_GpaWindow64Recycled runs the window over a bench-only
// backing allocator that hands released blocks out again, so that its
// figure is the allocator's own code with no fresh page at all.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <sys/mman.h>

#include <cstdlib>
#include <vector>

#include "memory/general_purpose_allocator.hpp"
#include "support/mutex.hpp"

namespace {

usize pagesOf(usize len) { return (len + heap::general_purpose_allocator::page_size - 1) / heap::general_purpose_allocator::page_size; }

// The page allocator, counting calls and fresh pages.
struct CountingPages {
    static inline u64 calls = 0;
    static inline u64 pages = 0;
    static u8* alloc(void* ctx, usize len, u8 log2_align, usize ret_addr) {
        ++calls;
        pages += pagesOf(len);
        return heap::PageAllocator::alloc(ctx, len, log2_align, ret_addr);
    }
    static bool resize(void* ctx, std::span<u8> buf, u8 log2_align, usize new_len, usize ret_addr) {
        ++calls;
        return heap::PageAllocator::resize(ctx, buf, log2_align, new_len, ret_addr);
    }
    static void free(void* ctx, std::span<u8> buf, u8 log2_align, usize ret_addr) {
        ++calls;
        heap::PageAllocator::free(ctx, buf, log2_align, ret_addr);
    }
    static constexpr mem::Allocator::VTable vtable{alloc, resize, free};
};

// Bench only: blocks given back are kept and handed out again to a request
// of the same length, so a bucket's page and record are ones already
// touched. The allocator itself gives every block back at once.
struct RecyclingPages {
    static inline std::vector<std::span<u8>> kept;
    static u8* alloc(void* ctx, usize len, u8 log2_align, usize ret_addr) {
        for (usize i = kept.size(); i-- > 0;) {
            if (kept[i].size() != len) continue;
            u8* p = kept[i].data();
            kept.erase(kept.begin() + static_cast<std::ptrdiff_t>(i));
            return p;
        }
        return CountingPages::alloc(ctx, len, log2_align, ret_addr);
    }
    static bool resize(void* ctx, std::span<u8> buf, u8 log2_align, usize new_len, usize ret_addr) {
        return CountingPages::resize(ctx, buf, log2_align, new_len, ret_addr);
    }
    static void free(void*, std::span<u8> buf, u8, usize) { kept.push_back(buf); }
    static void release() {
        for (auto block : kept) heap::PageAllocator::free(nullptr, block, 0, 0);
        kept.clear();
    }
    static constexpr mem::Allocator::VTable vtable{alloc, resize, free};
};

double cpuSeconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; }

// Brackets a timed loop: a fresh allocator instance over the counting page
// allocator, the thread's user and kernel time, and the counters above.
class Measured {
  public:
    explicit Measured(const mem::Allocator::VTable* backing = &CountingPages::vtable) {
        testing::resetAllocatorInstance();
        testing::allocator_instance.backing_allocator = mem::Allocator{nullptr, backing};
    }
    void start() {
        calls_ = CountingPages::calls;
        pages_ = CountingPages::pages;
        getrusage(RUSAGE_THREAD, &usage_);
    }
    void stop(benchmark::State& state) {
        rusage now{};
        getrusage(RUSAGE_THREAD, &now);
        const double user = cpuSeconds(now.ru_utime) - cpuSeconds(usage_.ru_utime);
        const double kernel = cpuSeconds(now.ru_stime) - cpuSeconds(usage_.ru_stime);
        const auto pairs = static_cast<double>(state.iterations());
        state.counters["syscalls"] = static_cast<double>(CountingPages::calls - calls_) / pairs;
        state.counters["pages"] = static_cast<double>(CountingPages::pages - pages_) / pairs;
        state.counters["sys_share"] = user + kernel > 0 ? kernel / (user + kernel) : 0.0;
    }
    ~Measured() { testing::resetAllocatorInstance(); }

  private:
    u64 calls_ = 0;
    u64 pages_ = 0;
    rusage usage_{};
};

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
    Measured measured;
    const mem::Allocator a = testing::allocator();
    const usize n = static_cast<usize>(state.range(0));
    measured.start();
    for (auto _ : state) gpaPair(a, n);
    measured.stop(state);
    if (testing::allocator_instance.deinit() != heap::general_purpose_allocator::Check::ok)
        state.SkipWithError("leak");
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
    Measured measured;
    const mem::Allocator a = testing::allocator();
    const usize n = static_cast<usize>(state.range(0));
    std::span<u8> previous = *a.alloc<u8>(n);
    measured.start();
    for (auto _ : state) previous = gpaAllocThenFreePrevious(a, n, previous);
    measured.stop(state);
    a.free(previous);
    if (testing::allocator_instance.deinit() != heap::general_purpose_allocator::Check::ok)
        state.SkipWithError("leak");
}
BENCHMARK(BM_GpaAllocFreeSliding)->Arg(16)->Arg(100)->Arg(1000)->Arg(5000);

constexpr usize window = 64;

// A test holding a working set: 64 blocks live, each pair allocates one
// and frees the oldest. Buckets empty only long after they fill, so the
// map and unmap cycles are spread over a bucket's slot count of pairs.
void runWindow(benchmark::State& state, Measured& measured) {
    const mem::Allocator a = testing::allocator();
    const usize n = static_cast<usize>(state.range(0));
    std::span<u8> live[window];
    for (auto& block : live) block = *a.alloc<u8>(n);
    usize oldest = 0;
    measured.start();
    for (auto _ : state) {
        live[oldest] = gpaAllocThenFreePrevious(a, n, live[oldest]);
        oldest = oldest + 1 == window ? 0 : oldest + 1;
    }
    measured.stop(state);
    for (auto& block : live) a.free(block);
    if (testing::allocator_instance.deinit() != heap::general_purpose_allocator::Check::ok)
        state.SkipWithError("leak");
}

void BM_GpaWindow64(benchmark::State& state) {
    Measured measured;
    runWindow(state, measured);
}
BENCHMARK(BM_GpaWindow64)->Arg(16)->Arg(100)->Arg(1000)->Arg(5000);

// The same window with released pages and records handed out again (a
// bench-only backing allocator): no system call and no first touch, only
// the allocator's own work per pair.
void BM_GpaWindow64Recycled(benchmark::State& state) {
    {
        Measured measured(&RecyclingPages::vtable);
        runWindow(state, measured);
    }
    RecyclingPages::release();
}
BENCHMARK(BM_GpaWindow64Recycled)->Arg(16);

// One fresh page: map it, write one word, unmap it. Its "user_ns" counter
// is the user-mode time the first touch is charged per page, the part of a
// fresh page's cost that shows outside the kernel.
void BM_FirstTouch(benchmark::State& state) {
    rusage before{};
    getrusage(RUSAGE_THREAD, &before);
    for (auto _ : state) {
        void* p = mmap(nullptr, heap::general_purpose_allocator::page_size, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) {
            state.SkipWithError("mmap");
            break;
        }
        *static_cast<volatile usize*>(p) = 1;
        munmap(p, heap::general_purpose_allocator::page_size);
    }
    rusage after{};
    getrusage(RUSAGE_THREAD, &after);
    const auto pages = static_cast<double>(state.iterations());
    state.counters["user_ns"] = (cpuSeconds(after.ru_utime) - cpuSeconds(before.ru_utime)) * 1e9 / pages;
    state.counters["sys_ns"] = (cpuSeconds(after.ru_stime) - cpuSeconds(before.ru_stime)) * 1e9 / pages;
}
BENCHMARK(BM_FirstTouch);

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

void BM_MallocWindow64(benchmark::State& state) {
    const usize n = static_cast<usize>(state.range(0));
    void* live[window];
    for (auto& block : live) block = std::malloc(n);
    usize oldest = 0;
    for (auto _ : state) {
        live[oldest] = mallocThenFreePrevious(n, live[oldest]);
        oldest = oldest + 1 == window ? 0 : oldest + 1;
    }
    for (auto* block : live) std::free(block);
}
BENCHMARK(BM_MallocWindow64)->Arg(16)->Arg(100)->Arg(1000)->Arg(5000);

// The allocator's mutex is taken once per operation; its lock reads the
// calling thread's id (cached per thread).
void BM_MutexLockUnlock(benchmark::State& state) {
    Mutex mutex;
    for (auto _ : state) {
        mutex.lock();
        mutex.unlock();
    }
}
BENCHMARK(BM_MutexLockUnlock);

}  // namespace

BENCHMARK_MAIN();
