// The generic entry points of the allocator handle, and the page, arena and
// fixed-buffer allocators beneath the leak-checking allocator.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "memory/allocator.hpp"
#include "runner/testing.hpp"
#include "tests/failure/function_name.hpp"
#include "tests/memory/memory_test_support.hpp"

namespace builtin {
const std::span<const TestFn> test_functions{};
}

namespace {

using heap::PageAllocator;
using heap::arena_allocator::ArenaAllocator;
using memtest::isMapped;
using memtest::RecordingAllocator;
using memtest::runWithoutMappingCalls;

constexpr usize page = 4096;

// ---- page allocator ----

TEST(PageAllocator, OneByteMapsOnePageAndMovesTheHintPastIt) {
    u8* p = PageAllocator::alloc(nullptr, 1, 0, 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<usize>(p) % page, 0u);
    // Single-threaded, so the compare-and-exchange wins: the hint is the end
    // of a one-page mapping.
    EXPECT_EQ(heap::next_mmap_addr_hint.load(), reinterpret_cast<usize>(p) + page);
    std::memset(p, 1, page);
    PageAllocator::free(nullptr, std::span<u8>(p, 1), 0, 0);
    EXPECT_FALSE(isMapped(p));
}

TEST(PageAllocator, FreeUnmapsEveryPageOfTheRoundedLength) {
    u8* p = PageAllocator::alloc(nullptr, 2 * page + 1, 0, 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(heap::next_mmap_addr_hint.load(), reinterpret_cast<usize>(p) + 3 * page);
    PageAllocator::free(nullptr, std::span<u8>(p, 2 * page + 1), 0, 0);
    EXPECT_FALSE(isMapped(p));
    EXPECT_FALSE(isMapped(p + page));
    EXPECT_FALSE(isMapped(p + 2 * page));
}

TEST(PageAllocator, ResizeWithinThePageCountMakesNoSystemCall) {
    u8* p = PageAllocator::alloc(nullptr, 5000, 0, 0);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(runWithoutMappingCalls([p] { return PageAllocator::resize(nullptr, {p, 5000}, 0, 8192, 0); }));
    EXPECT_TRUE(PageAllocator::resize(nullptr, {p, 5000}, 0, 8192, 0));
    EXPECT_TRUE(isMapped(p + page));
    PageAllocator::free(nullptr, {p, 8192}, 0, 0);
}

TEST(PageAllocator, ShrinkUnmapsTheTailAndGrowthIsRefused) {
    u8* p = PageAllocator::alloc(nullptr, 5000, 0, 0);
    ASSERT_NE(p, nullptr);
    EXPECT_FALSE(PageAllocator::resize(nullptr, {p, 5000}, 0, 8193, 0));
    EXPECT_TRUE(isMapped(p + page));
    EXPECT_TRUE(PageAllocator::resize(nullptr, {p, 5000}, 0, 3000, 0));
    EXPECT_TRUE(isMapped(p));
    EXPECT_FALSE(isMapped(p + page));
    PageAllocator::free(nullptr, {p, 3000}, 0, 0);
}

TEST(PageAllocator, RequestAboveTheLargestMappingFailsWithoutSystemCall) {
    EXPECT_TRUE(runWithoutMappingCalls([] { return PageAllocator::alloc(nullptr, 0xFFFFFFFFFFFFF001, 0, 0) == nullptr; }));
    EXPECT_TRUE(runWithoutMappingCalls([] { return PageAllocator::alloc(nullptr, ~usize{0}, 0, 0) == nullptr; }));
}

TEST(PageAllocator, ResizeToASizeThatWouldWrapWhenRoundedIsRefused) {
    u8* p = PageAllocator::alloc(nullptr, page, 0, 0);
    ASSERT_NE(p, nullptr);
    EXPECT_FALSE(PageAllocator::resize(nullptr, {p, page}, 0, ~usize{0}, 0));
    EXPECT_FALSE(PageAllocator::resize(nullptr, {p, page}, 0, 0xFFFFFFFFFFFFF001, 0));
    EXPECT_TRUE(isMapped(p));
    PageAllocator::free(nullptr, {p, page}, 0, 0);
}

TEST(PageAllocator, ServesEveryAlignmentUpToAPage) {
    for (u8 log2 = 0; log2 <= 12; ++log2) {
        u8* p = PageAllocator::alloc(nullptr, 10, log2, 0);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<usize>(p) % (usize{1} << log2), 0u);
        PageAllocator::free(nullptr, {p, 10}, log2, 0);
    }
}

// Bytes of address space this process has mapped, from /proc/self/maps,
// read without the C library's allocator (which could map memory itself).
usize mappedBytes() {
    static char text[1 << 20];
    const int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    usize len = 0;
    for (ssize_t n; (n = ::read(fd, text + len, sizeof text - 1 - len)) > 0;) len += static_cast<usize>(n);
    close(fd);
    text[len] = '\0';
    usize total = 0;
    for (const char* line = text; *line != '\0';) {
        char* dash = nullptr;
        const unsigned long start = strtoul(line, &dash, 16);
        const unsigned long end = strtoul(dash + 1, nullptr, 16);
        total += end - start;
        const char* next = strchr(line, '\n');
        if (next == nullptr) break;
        line = next + 1;
    }
    return total;
}

TEST(PageAllocator, AlignmentsAboveAPageAreServedAndOnlyTheBlockStaysMapped) {
    struct Case {
        usize len;
        u8 log2_align;
    };
    for (const Case c : {Case{1, 13}, Case{5000, 14}, Case{3 * page, 16}, Case{page, 21}, Case{70000, 20}}) {
        const usize rounded = (c.len + page - 1) & ~(page - 1);
        const usize before = mappedBytes();
        u8* p = PageAllocator::alloc(nullptr, c.len, c.log2_align, 0);
        const usize during = mappedBytes();
        ASSERT_NE(p, nullptr) << c.len << " at 2^" << int(c.log2_align);
        EXPECT_EQ(reinterpret_cast<usize>(p) % (usize{1} << c.log2_align), 0u);
        // The slack mapped for aligning is gone again: only the block counts.
        EXPECT_EQ(during - before, rounded) << c.len << " at 2^" << int(c.log2_align);
        EXPECT_EQ(heap::next_mmap_addr_hint.load(), reinterpret_cast<usize>(p) + rounded);
        std::memset(p, 1, rounded);
        PageAllocator::free(nullptr, {p, c.len}, c.log2_align, 0);
        EXPECT_EQ(mappedBytes(), before);
        EXPECT_FALSE(isMapped(p));
    }
}

TEST(PageAllocator, AlignmentsTooLargeForAnyMappingFail) {
    EXPECT_EQ(PageAllocator::alloc(nullptr, page, 63, 0), nullptr);
    EXPECT_TRUE(runWithoutMappingCalls([] { return PageAllocator::alloc(nullptr, page, 64, 0) == nullptr; }));
    EXPECT_TRUE(runWithoutMappingCalls([] { return PageAllocator::alloc(nullptr, 0xFFFFFFFFFFFFF000, 63, 0) == nullptr; }));
}

// ---- fixed-buffer allocator ----

TEST(FixedBufferAllocator, WholeRegionThenFullThenFreeAgain) {
    alignas(16) static u8 region[4096];
    heap::FixedBufferAllocator fba{std::span<u8>(region)};
    auto a = fba.allocator();
    auto whole = a.alloc<u8>(4096);
    ASSERT_TRUE(whole.has_value());
    EXPECT_EQ(whole->data(), region);
    auto more = a.alloc<u8>(1);
    ASSERT_FALSE(more.has_value());
    EXPECT_EQ(more.error(), Error::OutOfMemory);
    EXPECT_EQ(fba.end_index, 4096u);
    a.free(*whole);
    EXPECT_EQ(fba.end_index, 0u);
    EXPECT_TRUE(a.alloc<u8>(1).has_value());
}

TEST(FixedBufferAllocator, AlignsUpAndLeavesStateAloneOnFailure) {
    alignas(16) u8 region[64];
    heap::FixedBufferAllocator fba{std::span<u8>(region)};
    u8* one = heap::FixedBufferAllocator::alloc(&fba, 1, 0, 0);
    EXPECT_EQ(one, region);
    u8* eight = heap::FixedBufferAllocator::alloc(&fba, 8, 3, 0);
    EXPECT_EQ(eight, region + 8);
    EXPECT_EQ(fba.end_index, 16u);
    EXPECT_EQ(heap::FixedBufferAllocator::alloc(&fba, 49, 4, 0), nullptr);  // 16 + 49 > 64
    EXPECT_EQ(fba.end_index, 16u);
    EXPECT_EQ(heap::FixedBufferAllocator::alloc(&fba, 32, 4, 0), region + 16);
}

TEST(FixedBufferAllocator, AlignmentPastTheTopOfTheAddressSpaceFails) {
    // The region is never touched by alloc; only its address matters.
    heap::FixedBufferAllocator fba{std::span<u8>(reinterpret_cast<u8*>(~usize{0} - 15), 16)};
    fba.end_index = 1;
    EXPECT_EQ(heap::FixedBufferAllocator::alloc(&fba, 1, 6, 0), nullptr);
    EXPECT_EQ(fba.end_index, 1u);
}

TEST(FixedBufferAllocator, ResizeLastGrowsAndShrinksOlderOnlyShrinks) {
    alignas(16) u8 region[64];
    heap::FixedBufferAllocator fba{std::span<u8>(region)};
    u8* first = heap::FixedBufferAllocator::alloc(&fba, 8, 0, 0);
    u8* last = heap::FixedBufferAllocator::alloc(&fba, 8, 0, 0);
    EXPECT_FALSE(fba.isLastAllocation({first, 8}));
    EXPECT_TRUE(fba.isLastAllocation({last, 8}));
    EXPECT_TRUE(heap::FixedBufferAllocator::resize(&fba, {last, 8}, 0, 20, 0));
    EXPECT_EQ(fba.end_index, 28u);
    EXPECT_TRUE(heap::FixedBufferAllocator::resize(&fba, {last, 20}, 0, 4, 0));
    EXPECT_EQ(fba.end_index, 12u);
    EXPECT_FALSE(heap::FixedBufferAllocator::resize(&fba, {last, 4}, 0, 61, 0));
    EXPECT_EQ(fba.end_index, 12u);
    EXPECT_TRUE(heap::FixedBufferAllocator::resize(&fba, {first, 8}, 0, 2, 0));
    EXPECT_FALSE(heap::FixedBufferAllocator::resize(&fba, {first, 8}, 0, 9, 0));
    EXPECT_EQ(fba.end_index, 12u);
    heap::FixedBufferAllocator::free(&fba, {first, 8}, 0, 0);
    EXPECT_EQ(fba.end_index, 12u);
    heap::FixedBufferAllocator::free(&fba, {last, 4}, 0, 0);
    EXPECT_EQ(fba.end_index, 8u);
}

TEST(FixedBufferAllocator, GrowthThatWouldWrapTheEndIndexIsRefused) {
    alignas(16) u8 region[64];
    heap::FixedBufferAllocator fba{std::span<u8>(region)};
    u8* p = heap::FixedBufferAllocator::alloc(&fba, 8, 0, 0);
    EXPECT_FALSE(heap::FixedBufferAllocator::resize(&fba, {p, 8}, 0, ~usize{0} - 2, 0));
    EXPECT_EQ(fba.end_index, 8u);
}

TEST(FixedBufferAllocator, OwnsSliceOnlyInsideTheRegion) {
    u8 storage[40];
    u8* region = storage + 4;
    heap::FixedBufferAllocator fba{std::span<u8>(region, 32)};
    EXPECT_TRUE(fba.ownsSlice({region, 32}));
    EXPECT_TRUE(fba.ownsSlice({region + 31, 1}));
    EXPECT_FALSE(fba.ownsSlice({region + 31, 2}));
    EXPECT_FALSE(fba.ownsSlice({storage + 3, 1}));
}

// ---- arena ----

TEST(ArenaAllocator, FirstSmallAllocationCreatesA64ByteBuffer) {
    RecordingAllocator child;
    auto arena = ArenaAllocator::init(child.allocator());
    u8* p = ArenaAllocator::alloc(&arena, 10, 0, 0);
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(child.calls.size(), 1u);
    EXPECT_EQ(child.calls[0].op, 'a');
    EXPECT_EQ(child.calls[0].len, 64u);  // (0 + 11 + 32) + 43 / 2
    EXPECT_EQ(child.calls[0].log2_align, 3);
    EXPECT_EQ(p, child.region + 16);  // right behind the two-word node
    EXPECT_EQ(arena.state.end_index, 10u);
    arena.deinit();
}

TEST(ArenaAllocator, FreeReclaimsOnlyTheMostRecentAllocation) {
    RecordingAllocator child;
    auto arena = ArenaAllocator::init(child.allocator());
    auto a = arena.allocator();
    u8* older = a.rawAlloc(8, 0, 0);
    u8* recent = a.rawAlloc(8, 0, 0);
    a.rawFree({older, 8}, 0, 0);
    EXPECT_EQ(arena.state.end_index, 16u);
    a.rawFree({recent, 8}, 0, 0);
    EXPECT_EQ(arena.state.end_index, 8u);
    EXPECT_EQ(a.rawAlloc(4, 0, 0), recent);
    arena.deinit();
}

TEST(ArenaAllocator, ResizeGrowsTheRecentInPlaceAndOlderOnlyShrinks) {
    RecordingAllocator child;
    auto arena = ArenaAllocator::init(child.allocator());
    auto a = arena.allocator();
    u8* older = a.rawAlloc(8, 0, 0);  // buffer of (8 + 1 + 32) * 1.5 = 61, usable 45
    u8* recent = a.rawAlloc(8, 0, 0);
    EXPECT_TRUE(a.rawResize({recent, 8}, 0, 20, 0));
    EXPECT_EQ(arena.state.end_index, 28u);
    EXPECT_TRUE(a.rawResize({recent, 20}, 0, 37, 0));  // exactly fills the usable area
    EXPECT_EQ(arena.state.end_index, 45u);
    EXPECT_FALSE(a.rawResize({recent, 37}, 0, 38, 0));
    EXPECT_EQ(arena.state.end_index, 45u);
    EXPECT_FALSE(a.rawResize({older, 8}, 0, 9, 0));
    EXPECT_TRUE(a.rawResize({older, 8}, 0, 3, 0));
    EXPECT_EQ(arena.state.end_index, 45u);
    EXPECT_TRUE(a.rawResize({recent, 37}, 0, 1, 0));
    EXPECT_EQ(arena.state.end_index, 9u);
    arena.deinit();
}

TEST(ArenaAllocator, FullBufferGrowsInPlaceWhenTheChildAgrees) {
    RecordingAllocator child;
    child.refuse_resize = false;
    auto arena = ArenaAllocator::init(child.allocator());
    u8* first = ArenaAllocator::alloc(&arena, 10, 0, 0);  // 64-byte buffer, 48 usable
    u8* second = ArenaAllocator::alloc(&arena, 100, 0, 0);
    EXPECT_EQ(second, first + 10);
    ASSERT_EQ(child.calls.size(), 2u);
    EXPECT_EQ(child.calls[1].op, 'r');
    EXPECT_EQ(child.calls[1].len, 64u);
    EXPECT_EQ(child.calls[1].new_len, 16u + 110u);
    EXPECT_EQ(arena.state.first->data, 126u);
    EXPECT_EQ(arena.state.first->next, nullptr);
    arena.deinit();
}

TEST(ArenaAllocator, FullBufferStartsABiggerOneAndKeepsTheOld) {
    RecordingAllocator child;
    auto arena = ArenaAllocator::init(child.allocator());
    u8* first = ArenaAllocator::alloc(&arena, 10, 0, 0);  // 64 bytes, 48 usable
    std::memset(first, 7, 10);
    u8* second = ArenaAllocator::alloc(&arena, 100, 3, 0);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(reinterpret_cast<usize>(second) % 8, 0u);
    ASSERT_EQ(child.calls.size(), 3u);  // alloc, refused resize, alloc
    EXPECT_EQ(child.calls[2].len, (48u + 108u + 32u) * 3 / 2);
    EXPECT_EQ(arena.state.first->next, reinterpret_cast<ArenaAllocator::BufNode*>(child.region));
    EXPECT_EQ(first[9], 7);
    arena.deinit();
    // Both buffers go back, newest first, each with its whole length.
    ASSERT_EQ(child.calls.size(), 5u);
    EXPECT_EQ(child.calls[3].op, 'f');
    EXPECT_EQ(child.calls[3].len, 282u);
    EXPECT_EQ(child.calls[4].len, 64u);
    EXPECT_EQ(child.calls[4].log2_align, 3);
    EXPECT_EQ(arena.state.first, nullptr);
}

TEST(ArenaAllocator, ChildRefusalIsOutOfMemoryWithNothingChanged) {
    RecordingAllocator child;
    child.refuse_alloc = true;
    auto arena = ArenaAllocator::init(child.allocator());
    auto r = arena.allocator().alloc<u64>(3);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), Error::OutOfMemory);
    EXPECT_EQ(arena.state.first, nullptr);
    EXPECT_FALSE(ArenaAllocator::resize(&arena, {child.region, 1}, 0, 2, 0));
}

TEST(ArenaAllocator, RequestThatWouldWrapTheEndIndexFails) {
    RecordingAllocator child;
    auto arena = ArenaAllocator::init(child.allocator());
    ASSERT_NE(ArenaAllocator::alloc(&arena, 10, 0, 0), nullptr);
    EXPECT_EQ(ArenaAllocator::alloc(&arena, ~usize{0} - 2, 0, 0), nullptr);
    EXPECT_EQ(ArenaAllocator::alloc(&arena, ~usize{0} - 40, 0, 0), nullptr);
    EXPECT_EQ(arena.state.end_index, 10u);
    arena.deinit();
}

TEST(ArenaAllocator, OverThePageAllocatorGrowsInsideTheMappedPage) {
    auto arena = ArenaAllocator::init(heap::page_allocator);
    auto a = arena.allocator();
    u8* first = a.rawAlloc(40, 3, 0);
    ASSERT_NE(first, nullptr);
    ArenaAllocator::BufNode* buffer = arena.state.first;
    for (int i = 1; i < 90; ++i) ASSERT_EQ(a.rawAlloc(40, 3, 0), first + 40 * i);
    EXPECT_EQ(arena.state.first, buffer);
    arena.deinit();
    EXPECT_FALSE(isMapped(first));
}

// ---- generic entry points ----

XOV_NO_IPA Result<std::span<u32>> allocFromHere(mem::Allocator a, usize n) {
    auto r = a.alloc<u32>(n);
    __asm__ volatile("" ::: "memory");  // keep the call out of tail position
    return r;
}

TEST(AllocatorInterface, ZeroItemsMakeNoCallAndAnEmptyRegionAtTheTop) {
    RecordingAllocator child;
    auto a = child.allocator();
    auto r = a.alloc<u64>(0);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->size(), 0u);
    EXPECT_EQ(reinterpret_cast<usize>(r->data()), ~usize{0} & ~usize{7});
    auto aligned = a.alignedAlloc<u8, 64>(0);
    ASSERT_TRUE(aligned.has_value());
    EXPECT_EQ(reinterpret_cast<usize>(aligned->data()), ~usize{63});
    a.free(*r);
    EXPECT_TRUE(child.calls.empty());
}

TEST(AllocatorInterface, AllocFillsWithAABytesAndPassesTheCallerAsReturnAddress) {
    RecordingAllocator child;
    std::memset(child.region, 0, 64);
    auto r = allocFromHere(child.allocator(), 3);
    ASSERT_TRUE(r.has_value());
    ASSERT_EQ(child.calls.size(), 1u);
    EXPECT_EQ(child.calls[0].len, 12u);
    EXPECT_EQ(child.calls[0].log2_align, 2);
    EXPECT_EQ(test_support::functionAtReturnAddress(child.calls[0].ret_addr), "(anonymous namespace)::allocFromHere");
    for (usize i = 0; i < 12; ++i) EXPECT_EQ(child.region[i], 0xAA);
}

// Fills of 8 to 16 bytes are two overlapping word stores: a wrong offset
// would leave a byte of the block unfilled or overwrite a neighbour's.
TEST(AllocatorInterface, FillsCoverExactlyTheBlockAtEveryLengthAroundAWord) {
    for (usize n = 1; n <= 40; ++n) {
        SCOPED_TRACE(n);
        RecordingAllocator child;
        std::memset(child.region, 0x11, 256);
        child.used = 64;  // a guard before the block as well as after it
        auto a = child.allocator();
        auto r = a.alloc<u8>(n);
        ASSERT_TRUE(r.has_value());
        ASSERT_EQ(r->data(), child.region + 64);
        for (usize i = 0; i < 256; ++i)
            ASSERT_EQ(child.region[i], i >= 64 && i < 64 + n ? 0xAA : 0x11) << "after alloc, byte " << i;
        std::memset(r->data(), 0x22, n);
        a.free(*r);
        ASSERT_EQ(child.calls.size(), 2u);
        EXPECT_TRUE(child.calls[1].all_fill);
        for (usize i = 0; i < 256; ++i)
            ASSERT_EQ(child.region[i], i >= 64 && i < 64 + n ? 0xAA : 0x11) << "after free, byte " << i;
    }
}

TEST(AllocatorInterface, ByteCountOverflowIsOutOfMemoryWithoutACall) {
    RecordingAllocator child;
    auto a = child.allocator();
    auto r = a.alloc<u64>(~usize{0} / 4);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), Error::OutOfMemory);
    std::span<u64> some(reinterpret_cast<u64*>(child.region), 1);
    EXPECT_FALSE(a.resize(some, ~usize{0} / 4));
    auto moved = a.realloc(some, ~usize{0} / 4);
    ASSERT_FALSE(moved.has_value());
    EXPECT_EQ(moved.error(), Error::OutOfMemory);
    EXPECT_TRUE(child.calls.empty());
}

TEST(AllocatorInterface, FreeFillsBeforeTheCallAndSkipsEmptyRegions) {
    RecordingAllocator child;
    auto a = child.allocator();
    auto r = a.alloc<u32>(4);
    ASSERT_TRUE(r.has_value());
    for (auto& v : *r) v = 0x12345678;
    a.free(*r);
    ASSERT_EQ(child.calls.size(), 2u);
    EXPECT_EQ(child.calls[1].op, 'f');
    EXPECT_EQ(child.calls[1].len, 16u);
    EXPECT_TRUE(child.calls[1].all_fill);
    a.free(std::span<u32>());
    EXPECT_EQ(child.calls.size(), 2u);
}

TEST(AllocatorInterface, ResizeToZeroFreesAndEmptyRegionsDoNotResize) {
    RecordingAllocator child;
    auto a = child.allocator();
    auto r = a.alloc<u8>(8);
    ASSERT_TRUE(r.has_value());
    EXPECT_TRUE(a.resize(*r, 0));
    ASSERT_EQ(child.calls.size(), 2u);
    EXPECT_EQ(child.calls[1].op, 'f');
    EXPECT_FALSE(a.resize(std::span<u8>(), 4));
    EXPECT_EQ(child.calls.size(), 2u);
    child.refuse_resize = false;
    auto s = a.alloc<u16>(2);
    EXPECT_TRUE(a.resize(*s, 5));
    EXPECT_EQ(child.calls.back().op, 'r');
    EXPECT_EQ(child.calls.back().new_len, 10u);
}

TEST(AllocatorInterface, ReallocInPlaceKeepsTheAddress) {
    RecordingAllocator child;
    child.refuse_resize = false;
    auto a = child.allocator();
    auto r = a.alloc<u8>(8);
    auto grown = a.realloc(*r, 16);
    ASSERT_TRUE(grown.has_value());
    EXPECT_EQ(grown->data(), r->data());
    EXPECT_EQ(grown->size(), 16u);
}

TEST(AllocatorInterface, ReallocMovesCopiesTheCommonPartAndFillsTheOldBlock) {
    RecordingAllocator child;
    auto a = child.allocator();
    auto r = a.alloc<u8>(8);
    for (u8 i = 0; i < 8; ++i) (*r)[i] = i;
    auto shrunk = a.realloc(*r, 3);
    ASSERT_TRUE(shrunk.has_value());
    EXPECT_NE(shrunk->data(), r->data());
    EXPECT_EQ((*shrunk)[2], 2);
    EXPECT_EQ(child.calls.back().op, 'f');
    EXPECT_EQ(child.calls.back().len, 8u);
    EXPECT_TRUE(child.calls.back().all_fill);
    auto grown = a.realloc(*shrunk, 6);
    ASSERT_TRUE(grown.has_value());
    EXPECT_EQ((*grown)[0], 0);
    EXPECT_EQ((*grown)[2], 2);
}

TEST(AllocatorInterface, ReallocFailureLeavesTheOldBlockUntouched) {
    RecordingAllocator child;
    auto a = child.allocator();
    auto r = a.alloc<u8>(4);
    std::memset(r->data(), 5, 4);
    child.refuse_alloc = true;
    auto moved = a.realloc(*r, 100);
    ASSERT_FALSE(moved.has_value());
    EXPECT_EQ(moved.error(), Error::OutOfMemory);
    for (u8 b : *r) EXPECT_EQ(b, 5);
    EXPECT_NE(child.calls.back().op, 'f');
}

TEST(AllocatorInterface, ReallocFromEmptyAllocatesAndToZeroFrees) {
    RecordingAllocator child;
    auto a = child.allocator();
    auto r = a.realloc(std::span<u16>(), 3);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->size(), 3u);
    EXPECT_EQ(child.calls.back().op, 'a');
    auto gone = a.realloc(*r, 0);
    ASSERT_TRUE(gone.has_value());
    EXPECT_TRUE(gone->empty());
    EXPECT_EQ(child.calls.back().op, 'f');
    EXPECT_EQ(child.calls.back().len, 6u);
}

}  // namespace
