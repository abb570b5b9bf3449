// The leak-checking allocator: size classes and buckets, the misuse
// reports with their numbers, leak reports at deinit, resize rules, the
// bucket release, the mutex, and many threads at once.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "memory/general_purpose_allocator.hpp"
#include "runner/testing.hpp"
#include "support/log.hpp"
#include "tests/failure/function_name.hpp"
#include "tests/memory/memory_test_support.hpp"

namespace builtin {
const std::span<const TestFn> test_functions{};
}

namespace {

namespace gpa = heap::general_purpose_allocator;
using heap::GeneralPurposeAllocator;
using memtest::isMapped;

// Captures standard error (where the log sink writes) and the error count.
class Reports {
  public:
    Reports() : errors_before_(test_runner::log_err_count.load()) {
        testing::log_level.store(logging::Level::warn);
        ::testing::internal::CaptureStderr();
    }
    ~Reports() {
        if (!taken_) (void)::testing::internal::GetCapturedStderr();
    }
    std::string take() {
        taken_ = true;
        return ::testing::internal::GetCapturedStderr();
    }
    u64 errors() const { return test_runner::log_err_count.load() - errors_before_; }

  private:
    u64 errors_before_;
    bool taken_ = false;
};

usize countOf(const std::string& text, const std::string& needle) {
    usize n = 0;
    for (usize at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

std::string hex(const void* p) {
    char buf[32];
    snprintf(buf, sizeof buf, "%lx", static_cast<unsigned long>(reinterpret_cast<usize>(p)));
    return buf;
}

// Every test gets its own instance; the process-wide one is for the
// multi-threaded test and the runners.
class Gpa : public ::testing::Test {
  protected:
    GeneralPurposeAllocator instance;
    mem::Allocator a = instance.allocator();

    u8* raw(usize len, u8 log2_align = 0) { return a.rawAlloc(len, log2_align, 0); }
    std::span<u8> bytes(usize len, u8 log2_align = 0) { return {raw(len, log2_align), len}; }
    bool inClass(usize class_index, const void* p) {
        return instance.searchBucket(class_index, reinterpret_cast<usize>(p)) != nullptr;
    }
};

using GpaDeathTest = Gpa;

// ---- size classes ----

TEST_F(Gpa, HalfAPageIsTheLargestSmallRequest) {
    u8* p = raw(2048);
    u8* q = raw(2048);
    EXPECT_TRUE(inClass(11, p));
    EXPECT_EQ(q, p + 2048);  // two slots per page
    EXPECT_EQ(instance.large_allocations.count(), 0u);
    u8* large = raw(2049);
    EXPECT_EQ(instance.large_allocations.count(), 1u);
    EXPECT_FALSE(inClass(11, large));
    a.rawFree({p, 2048}, 0, 0);
    a.rawFree({q, 2048}, 0, 0);
    a.rawFree({large, 2049}, 0, 0);
    Reports reports;
    EXPECT_EQ(instance.deinit(), gpa::Check::ok);
    EXPECT_EQ(reports.take(), "");
}

TEST_F(Gpa, AlignmentCountsTowardsTheSizeClass) {
    u8* page_aligned = raw(1, 12);
    EXPECT_EQ(instance.large_allocations.count(), 1u);
    EXPECT_EQ(reinterpret_cast<usize>(page_aligned) % 4096, 0u);
    u8* p = raw(100, 3);
    EXPECT_TRUE(inClass(7, p));
    EXPECT_EQ(raw(100, 3), p + 128);
    u8* aligned_small = raw(3, 9);  // class 512
    EXPECT_TRUE(inClass(9, aligned_small));
    EXPECT_EQ(reinterpret_cast<usize>(aligned_small) % 512, 0u);
}

TEST_F(Gpa, LargeAllocationsAlignedAboveAPageAreServedAndFreed) {
    // Every try succeeds: the page allocator aligns above a page itself, so
    // the backing block is never the refused, misaligned one.
    std::vector<std::span<u8>> blocks;
    for (int i = 0; i < 16; ++i) {
        auto r = a.alignedAlloc<u8, 8192>(10);
        ASSERT_TRUE(r.has_value()) << "try " << i;
        EXPECT_EQ(reinterpret_cast<usize>(r->data()) % 8192, 0u);
        blocks.push_back(*r);
    }
    auto big = a.alignedAlloc<u8, 65536>(3 * 4096);
    ASSERT_TRUE(big.has_value());
    EXPECT_EQ(reinterpret_cast<usize>(big->data()) % 65536, 0u);
    EXPECT_EQ(instance.large_allocations.count(), 17u);
    for (auto block : blocks) a.free<u8, 8192>(block);
    a.free<u8, 65536>(*big);
    EXPECT_FALSE(isMapped(big->data()));
    Reports reports;
    EXPECT_EQ(instance.deinit(), gpa::Check::ok);
    EXPECT_EQ(reports.take(), "");
}

TEST_F(Gpa, AlignmentsTheBackingAllocatorCannotHonourAreNeverMisaligned) {
    // Whatever the backing allocator serves, each try either fails or is
    // properly aligned.
    usize served = 0;
    for (int i = 0; i < 16; ++i) {
        auto r = a.alignedAlloc<u8, 8192>(10);
        if (!r) continue;
        ++served;
        EXPECT_EQ(reinterpret_cast<usize>(r->data()) % 8192, 0u);
    }
    EXPECT_EQ(instance.large_allocations.count(), served);
}

TEST_F(Gpa, OneBucketHoldsExactly4096OneByteSlotsAndSlotsAreNeverReused) {
    std::vector<u8*> slots;
    for (int i = 0; i < 4096; ++i) slots.push_back(raw(1));
    for (int i = 1; i < 4096; ++i) ASSERT_EQ(slots[i], slots[0] + i);
    EXPECT_EQ(reinterpret_cast<usize>(slots[0]) % 4096, 0u);
    a.rawFree({slots[5], 1}, 0, 0);
    a.rawFree({slots[6], 1}, 0, 0);
    u8* next = raw(1);
    EXPECT_NE(next, slots[5]);
    EXPECT_EQ(reinterpret_cast<usize>(next) % 4096, 0u);  // slot 0 of a new page
    EXPECT_NE(next, slots[0]);
    EXPECT_TRUE(inClass(0, slots[0]));
    EXPECT_TRUE(inClass(0, next));
    for (int i = 0; i < 4096; ++i)
        if (i != 5 && i != 6) a.rawFree({slots[i], 1}, 0, 0);
    EXPECT_FALSE(inClass(0, slots[0]));  // emptied, released
    a.rawFree({next, 1}, 0, 0);
    Reports reports;
    EXPECT_EQ(instance.deinit(), gpa::Check::ok);
    EXPECT_EQ(reports.take(), "");
}

TEST_F(Gpa, SlotsKeepTheirContentsAndFreedBytesTurnAA) {
    auto x = a.alloc<u32>(4);
    auto y = a.alloc<u32>(4);
    ASSERT_TRUE(x && y);
    for (u32 i = 0; i < 4; ++i) (*x)[i] = i, (*y)[i] = 100 + i;
    EXPECT_EQ((*y)[3], 103u);
    a.rawFree(std::span<u8>(reinterpret_cast<u8*>(x->data()), 16), 2, 0);  // bypasses the interface's own fill
    for (u32 i = 0; i < 4; ++i) EXPECT_EQ((*x)[i], 0xAAAAAAAAu);
    EXPECT_EQ((*y)[0], 100u);
    a.free(*y);
}

// The fill of freed bytes is two overlapping word stores from 8 to 16
// bytes: it must cover the freed length exactly, not the slot's rest.
TEST_F(Gpa, FreedBytesTurnAAExactlyAtEveryLengthAroundAWord) {
    for (usize n = 1; n <= 40; ++n) {
        SCOPED_TRACE(n);
        const usize slot_size = n <= 1 ? 1 : usize{1} << (64 - __builtin_clzll(n - 1));
        u8* keep = raw(n);  // keeps the bucket, so the free fills instead of unmapping
        u8* p = raw(n);
        ASSERT_EQ(p, keep + slot_size);
        std::memset(keep, 0x11, slot_size);
        std::memset(p, 0x22, slot_size);
        a.rawFree({p, n}, 0, 0);
        for (usize i = 0; i < slot_size; ++i) ASSERT_EQ(p[i], i < n ? 0xAA : 0x22) << "byte " << i;
        for (usize i = 0; i < slot_size; ++i) ASSERT_EQ(keep[i], 0x11) << "neighbour byte " << i;
        a.rawFree({keep, n}, 0, 0);
    }
    Reports reports;
    EXPECT_EQ(instance.deinit(), gpa::Check::ok);
    EXPECT_EQ(reports.take(), "");
}

// ---- free checks ----

TEST_F(Gpa, FreeWithTheWrongLengthIsReportedAndStillFrees) {
    u8* keep = raw(100);
    u8* p = raw(100);
    Reports reports;
    a.rawFree({p, 99}, 0, 0);
    const std::string out = reports.take();
    EXPECT_EQ(countOf(out, "[gpa] (err): Allocation size 100 bytes does not match free size 99. Allocation: \n"), 1u);
    EXPECT_EQ(countOf(out, " Free: \n"), 1u);
    EXPECT_EQ(countOf(out, "[gpa]"), 1u);
    EXPECT_EQ(reports.errors(), 1u);
    a.rawFree({keep, 100}, 0, 0);
    Reports at_end;
    EXPECT_EQ(instance.deinit(), gpa::Check::ok);
    EXPECT_EQ(at_end.take(), "");
}

TEST_F(Gpa, FreeWithTheWrongAlignmentIsReportedInBytes) {
    u8* keep = raw(100, 3);
    u8* p = raw(100, 3);
    Reports reports;
    a.rawFree({p, 100}, 4, 0);
    const std::string out = reports.take();
    EXPECT_EQ(countOf(out, "[gpa] (err): Allocation alignment 8 does not match free alignment 16. Allocation: \n"),
              1u);
    EXPECT_EQ(countOf(out, "[gpa]"), 1u);
    EXPECT_EQ(reports.errors(), 1u);
    a.rawFree({keep, 100}, 3, 0);
    Reports at_end;
    EXPECT_EQ(instance.deinit(), gpa::Check::ok);
}

TEST_F(Gpa, OverstatedAlignmentOnASlotBelowItsClassIsStillAReport) {
    u8* keep = raw(8, 3);
    u8* p = raw(8, 3);
    Reports reports;
    a.rawFree({p, 8}, 4, 0);  // max(8, 16) would start the search above class 8
    EXPECT_EQ(countOf(reports.take(), "Allocation alignment 8 does not match free alignment 16."), 1u);
    EXPECT_EQ(reports.errors(), 1u);
    a.rawFree({keep, 8}, 3, 0);
}

TEST_F(Gpa, SizeReportComesBeforeAlignmentReport) {
    u8* keep = raw(8, 3);
    u8* p = raw(8, 3);
    Reports reports;
    a.rawFree({p, 7}, 2, 0);
    const std::string out = reports.take();
    const usize size_at = out.find("Allocation size 8 bytes does not match free size 7.");
    const usize align_at = out.find("Allocation alignment 8 does not match free alignment 4.");
    ASSERT_NE(size_at, std::string::npos);
    ASSERT_NE(align_at, std::string::npos);
    EXPECT_LT(size_at, align_at);
    EXPECT_EQ(reports.errors(), 2u);
    a.rawFree({keep, 8}, 3, 0);
}

TEST_F(Gpa, DoubleFreeWithAnotherSlotLiveIsReportedOnce) {
    u8* live = raw(16);
    u8* twice = raw(16);
    a.rawFree({twice, 16}, 0, 0);
    Reports reports;
    a.rawFree({twice, 16}, 0, 0);
    const std::string out = reports.take();
    EXPECT_EQ(countOf(out, "[gpa] (err): Double free detected. Allocation: \n"), 1u);
    EXPECT_EQ(countOf(out, " First free: \n"), 1u);
    EXPECT_EQ(countOf(out, " Second free: \n"), 1u);
    EXPECT_EQ(reports.errors(), 1u);
    // Only the slot still live leaks.
    Reports at_end;
    EXPECT_EQ(instance.deinit(), gpa::Check::leak);
    const std::string leaks = at_end.take();
    EXPECT_EQ(countOf(leaks, "leaked"), 1u);
    EXPECT_EQ(countOf(leaks, "[gpa] (err): memory address 0x" + hex(live) + " leaked: \n"), 1u);
}

TEST_F(GpaDeathTest, DoubleFreeOfTheOnlySlotIsAnInvalidFree) {
    u8* p = raw(16);
    a.rawFree({p, 16}, 0, 0);
    EXPECT_FALSE(isMapped(p));
    EXPECT_DEATH(a.rawFree({p, 16}, 0, 0), "panic: Invalid free");
}

TEST_F(GpaDeathTest, TooLongAFreeIsTreatedAsLargeAndInvalid) {
    u8* p = raw(100);
    EXPECT_DEATH(a.rawFree({p, 4000}, 0, 0), "panic: Invalid free");
}

TEST_F(GpaDeathTest, NeverAllocatedAddressesAreInvalidFrees) {
    static u8 not_ours[64];
    EXPECT_DEATH(a.rawFree({not_ours, 8}, 0, 0), "panic: Invalid free");
    u8* p = raw(3000);
    a.rawFree({p, 3000}, 0, 0);
    EXPECT_DEATH(a.rawFree({p, 3000}, 0, 0), "panic: Invalid free");
}

TEST_F(GpaDeathTest, FreeInsideASlotIsInvalidNotAFillPastThePage) {
    u8* first = raw(2048);
    u8* last = raw(2048);
    (void)first;
    EXPECT_DEATH(a.rawFree({last + 100, 2048}, 0, 0), "panic: Invalid free");
}

TEST_F(Gpa, FreeOfANeverHandedOutSlotInALiveBucketIsADoubleFree) {
    u8* p = raw(64);
    Reports reports;
    a.rawFree({p + 64, 64}, 0, 0);
    EXPECT_EQ(countOf(reports.take(), "Double free detected."), 1u);
    a.rawFree({p, 64}, 0, 0);
}

// ---- large allocations ----

TEST_F(Gpa, LargeFreeWithTheWrongLengthIsReportedAndReleasesTheRecordedExtent) {
    u8* p = raw(3 * 4096);
    u8* neighbour = raw(3 * 4096);
    Reports reports;
    a.rawFree({p, 5000}, 0, 0);
    const std::string out = reports.take();
    EXPECT_EQ(countOf(out, "[gpa] (err): Allocation size 12288 bytes does not match free size 5000. Allocation: \n"),
              1u);
    EXPECT_FALSE(isMapped(p + 2 * 4096));  // the whole block went back
    EXPECT_TRUE(isMapped(neighbour));
    EXPECT_EQ(instance.large_allocations.count(), 1u);
    a.rawFree({neighbour, 3 * 4096}, 0, 0);
    Reports at_end;
    EXPECT_EQ(instance.deinit(), gpa::Check::ok);
}

TEST_F(Gpa, LargeFreeIgnoresAlignment) {
    u8* p = raw(5000, 3);
    Reports reports;
    a.rawFree({p, 5000}, 5, 0);
    EXPECT_EQ(reports.take(), "");
    EXPECT_EQ(instance.large_allocations.count(), 0u);
}

TEST_F(Gpa, ShrunkLargeAllocationIsStillFreedAsLarge) {
    u8* p = raw(8192);
    EXPECT_TRUE(a.rawResize({p, 8192}, 0, 100, 0));
    EXPECT_TRUE(isMapped(p));
    EXPECT_FALSE(isMapped(p + 4096));
    Reports reports;
    a.rawFree({p, 100}, 0, 0);
    EXPECT_EQ(reports.take(), "");
    EXPECT_EQ(instance.large_allocations.count(), 0u);
    EXPECT_FALSE(isMapped(p));
}

TEST_F(Gpa, LargeResizeWithTheWrongLengthUsesTheFreeWording) {
    u8* p = raw(8192);
    Reports reports;
    EXPECT_TRUE(a.rawResize({p, 8000}, 0, 4096, 0));
    const std::string out = reports.take();
    EXPECT_EQ(countOf(out, "Allocation size 8192 bytes does not match free size 8000. Allocation: \n"), 1u);
    EXPECT_EQ(countOf(out, " Free: \n"), 1u);
    a.rawFree({p, 4096}, 0, 0);
}

TEST_F(Gpa, LargeGrowthBeyondItsPagesIsRefusedAndChangesNothing) {
    u8* p = raw(5000);
    EXPECT_TRUE(a.rawResize({p, 5000}, 0, 8192, 0));
    EXPECT_FALSE(a.rawResize({p, 8192}, 0, 8193, 0));
    Reports reports;
    a.rawFree({p, 8192}, 0, 0);
    EXPECT_EQ(reports.take(), "");
}

// ---- resize ----

TEST_F(Gpa, ResizeStaysWithinTheSizeClassAndFillsTheShrunkTail) {
    u8* keep = raw(100);
    u8* p = raw(100);
    std::memset(p, 1, 100);
    EXPECT_TRUE(a.rawResize({p, 100}, 0, 128, 0));
    EXPECT_FALSE(a.rawResize({p, 128}, 0, 129, 0));
    EXPECT_TRUE(a.rawResize({p, 128}, 0, 50, 0));
    for (int i = 0; i < 50; ++i) EXPECT_EQ(p[i], 1) << i;
    for (int i = 50; i < 100; ++i) EXPECT_EQ(p[i], 0xAA) << i;
    Reports reports;
    a.rawFree({p, 50}, 0, 0);  // the new length is the recorded one
    EXPECT_EQ(reports.take(), "");
    a.rawFree({keep, 100}, 0, 0);
}

TEST_F(Gpa, ShrunkSmallAllocationIsFoundFromASmallerClass) {
    u8* keep = raw(2000);
    u8* p = raw(2000);
    EXPECT_TRUE(a.rawResize({p, 2000}, 0, 3, 0));
    Reports reports;
    a.rawFree({p, 3}, 0, 0);
    EXPECT_EQ(reports.take(), "");
    EXPECT_EQ(reports.errors(), 0u);
    Reports leak;
    EXPECT_EQ(instance.deinit(), gpa::Check::leak);
    EXPECT_EQ(countOf(leak.take(), "memory address 0x" + hex(keep) + " leaked"), 1u);
}

TEST_F(Gpa, ResizeMismatchesUseTheResizeWording) {
    u8* p = raw(100, 3);
    Reports reports;
    EXPECT_TRUE(a.rawResize({p, 90}, 4, 20, 0));
    const std::string out = reports.take();
    EXPECT_EQ(countOf(out, "Allocation size 100 bytes does not match resize size 90. Allocation: \n"), 1u);
    EXPECT_EQ(countOf(out, "Allocation alignment 8 does not match resize alignment 16. Allocation: \n"), 1u);
    EXPECT_EQ(countOf(out, " Resize: \n"), 2u);
    EXPECT_LT(out.find("resize size"), out.find("resize alignment"));
    EXPECT_EQ(reports.errors(), 2u);
}

TEST_F(GpaDeathTest, ResizeOfAFreedSlotReportsThenPanics) {
    u8* keep = raw(32);
    u8* p = raw(32);
    a.rawFree({p, 32}, 0, 0);
    (void)keep;
    EXPECT_DEATH((void)a.rawResize({p, 32}, 0, 16, 0),
                 "Double free detected\\.(.|\n)*panic: Unrecoverable double free");
}

// ---- traces ----

usize helper_return_address = 0;

XOV_NO_IPA Result<std::span<u64>> allocateTwoWords(mem::Allocator allocator) {
    helper_return_address = reinterpret_cast<usize>(__builtin_return_address(0));
    auto r = allocator.alloc<u64>(2);
    __asm__ volatile("" ::: "memory");
    return r;
}

TEST_F(Gpa, AllocationTraceStartsInTheAllocatingFunction) {
    auto r = allocateTwoWords(a);
    ASSERT_TRUE(r.has_value());
    auto* bucket = instance.searchBucket(4, reinterpret_cast<usize>(r->data()));
    ASSERT_NE(bucket, nullptr);
    const auto* words = reinterpret_cast<const usize*>(reinterpret_cast<const u8*>(bucket) + gpa::bucketLayout(4).traces);
    EXPECT_EQ(test_support::functionAtReturnAddress(words[0]), "(anonymous namespace)::allocateTwoWords");
    // Then the frame that called the helper: the walk went through the
    // allocator's frames without recording them.
    EXPECT_EQ(words[1], helper_return_address);
    a.free(*r);
}

usize free_helper_return_address = 0;

XOV_NO_IPA void freeTwoWords(mem::Allocator allocator, std::span<u64> words) {
    free_helper_return_address = reinterpret_cast<usize>(__builtin_return_address(0));
    allocator.free(words);
    __asm__ volatile("" ::: "memory");
}

// The free's trace too starts in the freeing function (the walk starts at
// the allocator's entry point and steps up from there).
TEST_F(Gpa, FreeTraceStartsInTheFreeingFunction) {
    auto r = a.alloc<u64>(2);
    ASSERT_TRUE(r.has_value());
    auto keep = a.alloc<u64>(2);  // keeps the bucket, and its record, alive
    ASSERT_TRUE(keep.has_value());
    auto* bucket = instance.searchBucket(4, reinterpret_cast<usize>(r->data()));
    ASSERT_NE(bucket, nullptr);
    freeTwoWords(a, *r);
    const auto* words = reinterpret_cast<const usize*>(reinterpret_cast<const u8*>(bucket) + gpa::bucketLayout(4).traces +
                                                       gpa::one_trace_size);  // slot 0's free trace
    EXPECT_EQ(test_support::functionAtReturnAddress(words[0]), "(anonymous namespace)::freeTwoWords");
    EXPECT_EQ(words[1], free_helper_return_address);
    a.free(*keep);
}

// Hands out blocks full of a stale pattern, as a backing allocator that
// reuses memory would.
struct DirtyBacking {
    static u8* alloc(void* ctx, usize len, u8 log2_align, usize ret_addr) {
        u8* p = heap::PageAllocator::alloc(ctx, len, log2_align, ret_addr);
        if (p != nullptr) std::memset(p, 0x5A, len);
        return p;
    }
    static constexpr mem::Allocator::VTable vtable{&alloc, &heap::PageAllocator::resize, &heap::PageAllocator::free};
};

// Trace words are not zeroed when a bucket is made: a walk that stops
// before the tenth frame ends its trace itself, or stale bytes would be
// reported as frames.
TEST_F(Gpa, AShortTraceEndsItselfInARecordThatWasNotZero) {
    instance.backing_allocator = {nullptr, &DirtyBacking::vtable};
    // A thread of the C library's, with few frames above its entry point.
    pthread_t thread;
    ASSERT_EQ(pthread_create(
                  &thread, nullptr,
                  [](void* allocator) -> void* { return static_cast<mem::Allocator*>(allocator)->rawAlloc(8, 0, 0); },
                  &a),
              0);
    void* result = nullptr;
    ASSERT_EQ(pthread_join(thread, &result), 0);
    auto* p = static_cast<u8*>(result);
    ASSERT_NE(p, nullptr);
    auto* bucket = instance.searchBucket(3, reinterpret_cast<usize>(p));
    ASSERT_NE(bucket, nullptr);
    const auto* words = reinterpret_cast<const usize*>(reinterpret_cast<const u8*>(bucket) + gpa::bucketLayout(3).traces);
    usize n = 0;
    while (n < gpa::stack_n && words[n] != 0 && words[n] != 0x5A5A5A5A5A5A5A5Aull) ++n;
    ASSERT_GT(n, 0u);
    ASSERT_LT(n, gpa::stack_n);  // the premise: a short walk
    EXPECT_EQ(words[n], 0u);
    Reports reports;
    EXPECT_EQ(instance.deinit(), gpa::Check::leak);
    const std::string out = reports.take();
    EXPECT_NE(out.find("0x" + hex(p) + " leaked"), std::string::npos);
    EXPECT_EQ(out.find("5a5a5a5a"), std::string::npos) << out;
}

// ---- deinit ----

TEST_F(Gpa, DeinitWithNothingLiveIsOkAndSilent) {
    Reports reports;
    EXPECT_EQ(instance.deinit(), gpa::Check::ok);
    EXPECT_EQ(reports.take(), "");
    EXPECT_EQ(reports.errors(), 0u);
}

TEST_F(Gpa, DeinitReportsSmallLeaksByClassAndPageThenLarge) {
    u8* large = raw(10000);
    u8* medium = raw(300);
    u8* small_slot0 = raw(8);
    u8* small_slot1 = raw(8);
    Reports reports;
    EXPECT_EQ(instance.deinit(), gpa::Check::leak);
    const std::string out = reports.take();
    EXPECT_EQ(reports.errors(), 4u);
    const usize at_small_slot0 = out.find("[gpa] (err): memory address 0x" + hex(small_slot0) + " leaked: \n");
    const usize at_small_slot1 = out.find("[gpa] (err): memory address 0x" + hex(small_slot1) + " leaked: \n");
    const usize at_medium = out.find("[gpa] (err): memory address 0x" + hex(medium) + " leaked: \n");
    const usize at_large = out.find("[gpa] (err): memory address 0x" + hex(large) + " leaked: \n");
    ASSERT_NE(at_small_slot0, std::string::npos);
    ASSERT_NE(at_small_slot1, std::string::npos);
    ASSERT_NE(at_medium, std::string::npos);
    ASSERT_NE(at_large, std::string::npos);
    EXPECT_LT(at_small_slot0, at_small_slot1);
    EXPECT_LT(at_small_slot1, at_medium);
    EXPECT_LT(at_medium, at_large);
}

TEST_F(Gpa, DeinitVisitsBucketsInPageOrder) {
    // Two pages of class 11: the leak of the lower page comes first whatever
    // order they were created in.
    u8* a1 = raw(2048);
    u8* a2 = raw(2048);
    u8* b1 = raw(2048);
    a.rawFree({a2, 2048}, 0, 0);
    u8* low = a1 < b1 ? a1 : b1;
    u8* high = a1 < b1 ? b1 : a1;
    Reports reports;
    EXPECT_EQ(instance.deinit(), gpa::Check::leak);
    const std::string out = reports.take();
    EXPECT_LT(out.find("0x" + hex(low) + " leaked"), out.find("0x" + hex(high) + " leaked"));
}

TEST_F(Gpa, DeinitPoisonsTheRecordAndResetMakesItUsableAgain) {
    (void)raw(10);
    {
        Reports reports;
        EXPECT_EQ(instance.deinit(), gpa::Check::leak);
    }
    EXPECT_EQ(reinterpret_cast<usize>(instance.cur_buckets[4]), 0xAAAAAAAAAAAAAAAAu);
    new (&instance) GeneralPurposeAllocator();
    u8* p = raw(10);
    ASSERT_NE(p, nullptr);
    a.rawFree({p, 10}, 0, 0);
    Reports reports;
    EXPECT_EQ(instance.deinit(), gpa::Check::ok);
}

TEST_F(GpaDeathTest, EveryUseAfterDeinitPanicsUntilTheReset) {
    u8* live = raw(10);
    u8* large = raw(5000);
    {
        Reports reports;
        EXPECT_EQ(instance.deinit(), gpa::Check::leak);
    }
    // The poisoned mutex word looks held: a lock would sleep on it for
    // ever, so each statement gets an alarm to fail by instead of hanging.
    EXPECT_DEATH(
        {
            alarm(5);
            (void)raw(8);
        },
        "panic: GeneralPurposeAllocator used after deinit\n");
    EXPECT_DEATH(
        {
            alarm(5);
            a.rawFree({live, 10}, 0, 0);
        },
        "panic: GeneralPurposeAllocator used after deinit\n");
    EXPECT_DEATH(
        {
            alarm(5);
            (void)a.rawResize({large, 5000}, 0, 4000, 0);
        },
        "panic: GeneralPurposeAllocator used after deinit\n");
    EXPECT_DEATH(
        {
            alarm(5);
            (void)instance.deinit();
        },
        "panic: GeneralPurposeAllocator deinit called twice\n");
    new (&instance) GeneralPurposeAllocator();
    u8* p = raw(8);
    ASSERT_NE(p, nullptr);
    a.rawFree({p, 8}, 0, 0);
    EXPECT_EQ(instance.deinit(), gpa::Check::ok);
}

TEST(GpaThreads, AContendedLockStillWaitsForTheHolder) {
    // The lock is tried first and the poison check only runs when it is
    // refused: a refusal by a live holder must still wait, not panic.
    GeneralPurposeAllocator instance;
    const mem::Allocator a = instance.allocator();
    instance.mutex.lock();
    std::atomic<bool> allocated{false};
    std::thread other([&] {
        u8* p = a.rawAlloc(16, 0, 0);
        allocated.store(p != nullptr);
        a.rawFree({p, 16}, 0, 0);
    });
    sys::sleepNs(20'000'000);
    EXPECT_FALSE(allocated.load());
    instance.mutex.unlock();
    other.join();
    EXPECT_TRUE(allocated.load());
    EXPECT_EQ(instance.deinit(), gpa::Check::ok);
}

// ---- buckets and the node pool ----

TEST_F(Gpa, EmptiedBucketGivesItsPageBackAndItsNodeToThePool) {
    u8* p = raw(512);
    u8* q = raw(512);
    EXPECT_EQ(instance.bucket_node_pool.free_list, nullptr);
    a.rawFree({p, 512}, 0, 0);
    EXPECT_TRUE(isMapped(p));
    a.rawFree({q, 512}, 0, 0);
    EXPECT_FALSE(isMapped(p));
    EXPECT_EQ(instance.cur_buckets[9], nullptr);
    EXPECT_EQ(instance.buckets[9].root, nullptr);
    EXPECT_NE(instance.bucket_node_pool.free_list, nullptr);
    const usize arena_used = instance.bucket_node_pool.arena.state.end_index;
    u8* r = raw(512);
    EXPECT_TRUE(inClass(9, r));
    EXPECT_EQ(instance.bucket_node_pool.free_list, nullptr);  // reused, not new
    EXPECT_EQ(instance.bucket_node_pool.arena.state.end_index, arena_used);
    a.rawFree({r, 512}, 0, 0);
}

TEST_F(Gpa, FullOlderBucketsAreFoundThroughTheTree) {
    std::vector<u8*> blocks;
    for (int i = 0; i < 16 * 20; ++i) blocks.push_back(raw(256));  // twenty pages of class 8
    for (usize i = 0; i < blocks.size(); i += 2) a.rawFree({blocks[i], 256}, 0, 0);
    Reports reports;
    for (usize i = 1; i < blocks.size(); i += 2) a.rawFree({blocks[i], 256}, 0, 0);
    EXPECT_EQ(reports.take(), "");
    EXPECT_EQ(instance.buckets[8].root, nullptr);
    for (usize i = 0; i < blocks.size(); i += 16) EXPECT_FALSE(isMapped(blocks[i]));
}

// ---- out of memory ----

// The page allocator, except that the fail_at-th allocation (from 1) is
// refused; records every free.
struct FailingBacking {
    int allocs = 0;
    int fail_at = 0;
    std::vector<usize> freed_lengths;

    static u8* alloc(void* ctx, usize len, u8 log2_align, usize ret_addr) {
        auto* self = static_cast<FailingBacking*>(ctx);
        if (++self->allocs == self->fail_at) return nullptr;
        return heap::PageAllocator::alloc(nullptr, len, log2_align, ret_addr);
    }
    static bool resize(void*, std::span<u8> buf, u8 log2_align, usize new_len, usize ret_addr) {
        return heap::PageAllocator::resize(nullptr, buf, log2_align, new_len, ret_addr);
    }
    static void free(void* ctx, std::span<u8> buf, u8 log2_align, usize ret_addr) {
        static_cast<FailingBacking*>(ctx)->freed_lengths.push_back(buf.size());
        heap::PageAllocator::free(nullptr, buf, log2_align, ret_addr);
    }
    static constexpr mem::Allocator::VTable vtable{&alloc, &resize, &free};
};

TEST_F(Gpa, RefusedPageFailsTheSmallRequestWithNothingHeld) {
    FailingBacking backing{0, 1, {}};
    instance.backing_allocator = {&backing, &FailingBacking::vtable};
    auto r = a.alloc<u8>(10);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), Error::OutOfMemory);
    EXPECT_EQ(backing.allocs, 1);
    EXPECT_TRUE(backing.freed_lengths.empty());
    EXPECT_EQ(instance.cur_buckets[4], nullptr);
}

TEST_F(Gpa, RefusedBucketRecordGivesThePageBack) {
    FailingBacking backing{0, 2, {}};
    instance.backing_allocator = {&backing, &FailingBacking::vtable};
    EXPECT_EQ(raw(10), nullptr);
    ASSERT_EQ(backing.freed_lengths.size(), 1u);
    EXPECT_EQ(backing.freed_lengths[0], 4096u);
    EXPECT_EQ(instance.cur_buckets[4], nullptr);
    EXPECT_EQ(instance.buckets[4].root, nullptr);
    // The next request starts over and succeeds.
    u8* p = raw(10);
    ASSERT_NE(p, nullptr);
    a.rawFree({p, 10}, 0, 0);
}

TEST_F(Gpa, RefusedLargeBlockKeepsTheGrownTableAndRecordsNothing) {
    FailingBacking backing{0, 2, {}};  // 1: table storage, 2: the block
    instance.backing_allocator = {&backing, &FailingBacking::vtable};
    EXPECT_EQ(raw(5000), nullptr);
    EXPECT_EQ(instance.large_allocations.count(), 0u);
    EXPECT_GT(instance.large_allocations.capacity(), 0u);
    EXPECT_TRUE(backing.freed_lengths.empty());
    Reports reports;
    EXPECT_EQ(instance.deinit(), gpa::Check::ok);
    ASSERT_EQ(backing.freed_lengths.size(), 1u);  // the table's storage
}

TEST_F(Gpa, RefusedTableGrowthFailsTheLargeRequest) {
    FailingBacking backing{0, 1, {}};
    instance.backing_allocator = {&backing, &FailingBacking::vtable};
    EXPECT_EQ(raw(5000), nullptr);
    EXPECT_EQ(backing.allocs, 1);
    EXPECT_EQ(instance.large_allocations.capacity(), 0u);
}

// ---- the mutex ----

TEST_F(GpaDeathTest, ReenteringFromTheHoldingThreadPanicsDeadlock) {
    EXPECT_DEATH(
        {
            instance.mutex.lock();
            (void)raw(8);
        },
        "panic: Deadlock detected");
}

TEST(GpaThreads, ManyThreadsThroughTheSharedInstance) {
    testing::resetAllocatorInstance();
    constexpr int thread_count = 4;
    static constexpr usize sizes[] = {1, 7, 16, 100, 513, 2048, 3000, 9000};
    std::vector<std::thread> threads;
    std::atomic<int> corrupted{0};
    for (int t = 0; t < thread_count; ++t) {
        threads.emplace_back([t, &corrupted] {
            const mem::Allocator a = testing::allocator();
            std::vector<std::span<u8>> live;
            u64 state = 0x9E3779B97F4A7C15ull * (t + 1);
            for (int i = 0; i < 3000; ++i) {
                state ^= state << 13, state ^= state >> 7, state ^= state << 17;
                if (live.size() < 40 && (state & 3) != 0) {
                    const usize len = sizes[(state >> 8) % (sizeof sizes / sizeof sizes[0])];
                    auto r = a.alloc<u8>(len);
                    if (!r) continue;
                    std::memset(r->data(), t + 1, len);
                    live.push_back(*r);
                } else if (!live.empty()) {
                    const usize k = (state >> 16) % live.size();
                    for (u8 b : live[k])
                        if (b != t + 1) corrupted.fetch_add(1);
                    a.free(live[k]);
                    live[k] = live.back();
                    live.pop_back();
                }
            }
            for (auto& block : live) a.free(block);
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(corrupted.load(), 0);
    Reports reports;
    EXPECT_EQ(testing::allocator_instance.deinit(), gpa::Check::ok);
    EXPECT_EQ(reports.take(), "");
    testing::resetAllocatorInstance();
}

}  // namespace
