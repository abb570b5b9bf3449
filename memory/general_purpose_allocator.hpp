// The leak-checking allocator every test runs under: small requests in
// page-sized buckets of twelve power-of-two size classes, large ones
// straight from the backing allocator; every live allocation remembers its
// size, alignment and the stack that allocated it, so misuse and leaks are
// reported with traces.
#pragma once
#include "memory/address_map.hpp"
#include "memory/allocator.hpp"
#include "memory/memory_pool.hpp"
#include "memory/treap.hpp"
#include "support/mutex.hpp"

namespace heap {

namespace general_purpose_allocator {

enum class Check : u8 { ok = 0, leak = 1 };

// The one configuration this program is built with.
struct Config {
    usize stack_trace_frames = 10;
    bool enable_memory_limit = false;
    bool safety = true;
    bool thread_safe = true;
    bool never_unmap = false;
    bool retain_metadata = false;
    bool verbose_log = false;
};
inline constexpr Config config{};
static_assert(config.safety && config.thread_safe && !config.never_unmap && !config.retain_metadata &&
                  !config.enable_memory_limit && !config.verbose_log,
              "only this configuration is implemented");

inline constexpr usize stack_n = config.stack_trace_frames;
inline constexpr usize one_trace_size = stack_n * sizeof(usize);
inline constexpr usize page_size = 4096;
inline constexpr usize small_bucket_count = 12;  // size classes 1 .. 2048
inline constexpr usize largest_bucket_object_size = page_size / 2;

enum class TraceKind : u8 { alloc = 0, free = 1 };

// One bucket serves one page of one size class. Its record (this header,
// then used bits, requested sizes, alignments and traces) lives outside the
// page, so user writes and 0xAA fills never touch it.
struct BucketHeader {
    u8* page;
    u16 alloc_cursor;  // next slot to hand out; slots are never reused
    u16 used_count;    // live slots
};

inline usize bucketPageValue(BucketHeader* bucket) { return reinterpret_cast<usize>(bucket->page); }

using BucketTree = Treap<BucketHeader*, bucketPageValue>;

struct LargeAlloc {
    std::span<u8> bytes;  // address and current length
    usize stack_addresses[stack_n];
};

// Size class index of an aligned size of at most largest_bucket_object_size.
constexpr usize sizeClassIndex(usize aligned_size) {
    return aligned_size <= 1 ? 0 : 64 - static_cast<usize>(__builtin_clzll(aligned_size - 1));
}
constexpr usize slotCount(usize class_index) { return page_size >> class_index; }
constexpr usize usedBitsCount(usize class_index) {
    return slotCount(class_index) / 8 == 0 ? 1 : slotCount(class_index) / 8;
}

// Byte offsets inside a bucket record of a class.
struct BucketLayout {
    usize used_bits;
    usize requested_sizes;
    usize alignments;
    usize traces;
    usize total;
};
constexpr BucketLayout bucketLayout(usize class_index) {
    const usize n = slotCount(class_index);
    BucketLayout layout{};
    layout.used_bits = sizeof(BucketHeader);
    layout.requested_sizes = (layout.used_bits + usedBitsCount(class_index) + 1) & ~usize{1};
    layout.alignments = layout.requested_sizes + n * sizeof(u16);
    layout.traces = (layout.alignments + n + 7) & ~usize{7};
    layout.total = layout.traces + n * 2 * one_trace_size;
    return layout;
}
constexpr usize bucketSize(usize class_index) { return bucketLayout(class_index).total; }

}  // namespace general_purpose_allocator

class GeneralPurposeAllocator {
  public:
    using BucketHeader = general_purpose_allocator::BucketHeader;
    using BucketTree = general_purpose_allocator::BucketTree;
    using LargeAlloc = general_purpose_allocator::LargeAlloc;
    static constexpr usize small_bucket_count = general_purpose_allocator::small_bucket_count;

    mem::Allocator backing_allocator{nullptr, &PageAllocator::vtable};
    BucketTree buckets[small_bucket_count]{};
    BucketHeader* cur_buckets[small_bucket_count]{};
    AddressMap<LargeAlloc> large_allocations{};
    MemoryPoolExtra<BucketTree::Node> bucket_node_pool{mem::Allocator{nullptr, &PageAllocator::vtable}};
    Mutex mutex{};

    constexpr GeneralPurposeAllocator() = default;
    GeneralPurposeAllocator(const GeneralPurposeAllocator&) = delete;
    GeneralPurposeAllocator& operator=(const GeneralPurposeAllocator&) = delete;

    [[nodiscard]] mem::Allocator allocator() { return {this, &vtable}; }

    // Reports every allocation still live (small ones by class and page,
    // then large ones), releases the bookkeeping, and leaves the record
    // filled with 0xAA: unusable until it is reset. Takes no lock. Until
    // the reset, any operation panics "GeneralPurposeAllocator used after
    // deinit" and deinit itself "GeneralPurposeAllocator deinit called twice".
    general_purpose_allocator::Check deinit();

    static u8* alloc(void* ctx, usize len, u8 log2_align, usize ret_addr);
    static bool resize(void* ctx, std::span<u8> buf, u8 log2_align, usize new_len, usize ret_addr);
    static void free(void* ctx, std::span<u8> buf, u8 log2_align, usize ret_addr);
    static const mem::Allocator::VTable vtable;

    // A bucket of class class_index whose page holds address, or null.
    [[nodiscard]] BucketHeader* searchBucket(usize class_index, usize address) const;
    // The class's current bucket when it holds the page, else null: the
    // search's fast path, which free tries inline before any search.
    [[nodiscard]] BucketHeader* currentBucketOf(usize class_index, usize page) const {
        BucketHeader* current = cur_buckets[class_index];
        return current != nullptr && reinterpret_cast<usize>(current->page) == page ? current : nullptr;
    }

  private:
    struct Found {
        BucketHeader* bucket;
        usize class_index;
    };

    // entry_frame: the frame of the entry point (alloc, freeInner), where the
    // walk of the operation's trace starts.
    u8* allocSlot(usize class_index, usize len, u8 log2_align, usize ret_addr, usize entry_frame);
    [[gnu::noinline]] u8* allocLarge(usize len, u8 log2_align, usize ret_addr);
    [[gnu::noinline]] BucketHeader* createBucket(usize class_index, usize ret_addr);
    void freeBucket(BucketHeader* bucket, usize class_index);
    [[gnu::noinline]] void freeInner(std::span<u8> buf, u8 log2_align, usize ret_addr);
    void freeLarge(std::span<u8> buf, u8 log2_align, usize ret_addr);
    bool resizeInner(std::span<u8> buf, u8 log2_align, usize new_len, usize ret_addr);
    bool resizeLarge(std::span<u8> buf, u8 log2_align, usize new_len, usize ret_addr);
    [[gnu::noinline]] Found findSmall(usize first_class, usize address) const;
    void reportDoubleFree(BucketHeader* bucket, usize class_index, usize slot, usize ret_addr);
    bool detectLeaks();
    bool detectLeaksInBucket(BucketHeader* bucket, usize class_index);
};

}  // namespace heap

namespace testing {

// The allocator instance tests use; runners restore it to its initial
// value before each test and call deinit after it.
extern heap::GeneralPurposeAllocator allocator_instance;
void resetAllocatorInstance();
mem::Allocator allocator();

}  // namespace testing
