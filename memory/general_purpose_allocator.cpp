// Leak-checking allocator: size-class buckets with out-of-page records,
// large allocations in a table, reports through the "gpa" log scope.
#include "memory/general_purpose_allocator.hpp"

#include <array>
#include <cstring>
#include <new>

#include "support/log.hpp"
#include "support/panic.hpp"
#include "support/stack.hpp"

namespace heap {

namespace gpa = general_purpose_allocator;

namespace {

constexpr u8 fill_byte = 0xAA;
constexpr auto log_gpa = logging::scoped("gpa");

// ---- bucket record access ----

u8* recordBytes(GeneralPurposeAllocator::BucketHeader* bucket) { return reinterpret_cast<u8*>(bucket); }

// Every allocation and free looks up offsets of its class: a table, not
// the layout arithmetic each time.
constexpr auto layouts = [] {
    std::array<gpa::BucketLayout, gpa::small_bucket_count> table{};
    for (usize c = 0; c < table.size(); ++c) table[c] = gpa::bucketLayout(c);
    return table;
}();

// Every caller has checked the class against small_bucket_count already;
// the pointer spares the bounds check each subscript would repeat.
const gpa::BucketLayout& layoutOf(usize class_index) { return *(layouts.data() + class_index); }

u8* usedBits(GeneralPurposeAllocator::BucketHeader* bucket, usize class_index) {
    return recordBytes(bucket) + layoutOf(class_index).used_bits;
}
u16* requestedSizes(GeneralPurposeAllocator::BucketHeader* bucket, usize class_index) {
    return reinterpret_cast<u16*>(recordBytes(bucket) + layoutOf(class_index).requested_sizes);
}
u8* log2Alignments(GeneralPurposeAllocator::BucketHeader* bucket, usize class_index) {
    return recordBytes(bucket) + layoutOf(class_index).alignments;
}
usize* bucketStackTrace(GeneralPurposeAllocator::BucketHeader* bucket, usize class_index, usize slot,
                        gpa::TraceKind kind) {
    u8* traces = recordBytes(bucket) + layoutOf(class_index).traces;
    return reinterpret_cast<usize*>(traces + (slot * 2 + static_cast<usize>(kind)) * gpa::one_trace_size);
}

bool isUsed(const u8* used_bits, usize slot) { return (used_bits[slot / 8] >> (slot % 8)) & 1; }
void setUsed(u8* used_bits, usize slot) { used_bits[slot / 8] |= static_cast<u8>(1u << (slot % 8)); }
void clearUsed(u8* used_bits, usize slot) { used_bits[slot / 8] &= static_cast<u8>(~(1u << (slot % 8))); }

// ---- traces ----

// A walk that stops early ends its words with one zero; the words after
// it are never read, so they are left as they are (zeroing all of them was
// a tenth of an allocation and free).
//
// An allocation or free passes its entry point's frame: the walk starts
// there rather than below the allocator's inner calls, which it would only
// step through (a tenth of the pair's instructions).
void collectStackTrace(usize first_address, usize* words, usize entry_frame = 0) {
    StackTrace trace{0, std::span<usize>(words, gpa::stack_n)};
    if (entry_frame != 0 && first_address != 0)
        debug::captureStackTraceFrom(entry_frame, first_address, &trace);
    else
        debug::captureStackTrace(first_address, &trace);
    if (trace.index < gpa::stack_n) words[trace.index] = 0;
}

// A stored trace is its run of leading non-zero words.
StackTrace storedTrace(usize* words) {
    usize n = 0;
    while (n < gpa::stack_n && words[n] != 0) ++n;
    return StackTrace{n, std::span<usize>(words, gpa::stack_n)};
}

usize alignedSize(usize len, u8 log2_align) {
    const usize alignment = usize{1} << log2_align;
    return len > alignment ? len : alignment;
}

bool isLarge(usize aligned_size) { return aligned_size > gpa::largest_bucket_object_size; }

// deinit fills the whole record with 0xAA; no usable record has that
// pattern for its backing allocator's table.
bool isDeinitialized(const GeneralPurposeAllocator& gpa) {
    constexpr usize poison = 0xAAAA'AAAA'AAAA'AAAAull;
    return reinterpret_cast<usize>(gpa.backing_allocator.vtable) == poison;
}

// The lock was refused: a holder (perhaps this very thread) or a record
// poisoned by deinit, whose mutex word looks held forever. Waiting on it
// would sleep with no word of why.
[[gnu::cold, gnu::noinline]] void lockRefused(GeneralPurposeAllocator& gpa, usize ret_addr) {
    if (isDeinitialized(gpa)) builtin::default_panic("GeneralPurposeAllocator used after deinit", nullptr, ret_addr);
    gpa.mutex.lock();
}

// Holds the allocator's mutex for one operation. The uncontended path is
// the lock alone; the checks wait until the lock is refused.
struct Locked {
    Mutex& mutex;
    Locked(GeneralPurposeAllocator& gpa, usize ret_addr) : mutex(gpa.mutex) {
        if (!mutex.tryLock()) [[unlikely]] lockRefused(gpa, ret_addr);
    }
    ~Locked() { mutex.unlock(); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
};

XOV_NOMERGE [[noreturn, gnu::cold]] void panicInvalidFree(usize ret_addr) {
    builtin::default_panic("Invalid free", nullptr, ret_addr);
}

enum class SlotOp : u8 { free, resize };

// A free or resize of a live slot whose length or alignment differs from
// the allocation's: one report per mismatch, with the allocation's trace
// and the trace of this call.
[[gnu::cold]] void reportSlotMismatch(GeneralPurposeAllocator::BucketHeader* bucket, usize class_index, usize slot,
                                      usize len, u16 requested, u8 log2_align, u8 recorded_align, usize ret_addr,
                                      SlotOp op) {
    usize op_trace_words[gpa::stack_n];
    collectStackTrace(ret_addr, op_trace_words);
    const StackTrace op_trace = storedTrace(op_trace_words);
    const StackTrace alloc_trace = storedTrace(bucketStackTrace(bucket, class_index, slot, gpa::TraceKind::alloc));
    if (len != requested) {
        if (op == SlotOp::free)
            log_gpa.err("Allocation size {d} bytes does not match free size {d}. Allocation: {} Free: {}", requested,
                        len, alloc_trace, op_trace);
        else
            log_gpa.err("Allocation size {d} bytes does not match resize size {d}. Allocation: {} Resize: {}",
                        requested, len, alloc_trace, op_trace);
    }
    if (log2_align != recorded_align) {
        if (op == SlotOp::free)
            log_gpa.err("Allocation alignment {d} does not match free alignment {d}. Allocation: {} Free: {}",
                        usize{1} << recorded_align, usize{1} << log2_align, alloc_trace, op_trace);
        else
            log_gpa.err("Allocation alignment {d} does not match resize alignment {d}. Allocation: {} Resize: {}",
                        usize{1} << recorded_align, usize{1} << log2_align, alloc_trace, op_trace);
    }
}

}  // namespace

const mem::Allocator::VTable GeneralPurposeAllocator::vtable{&GeneralPurposeAllocator::alloc,
                                                             &GeneralPurposeAllocator::resize,
                                                             &GeneralPurposeAllocator::free};

// ---- alloc ----

// The small path is inline here: a pair of allocation and free is the
// unit every test pays, and each call layer between the interface and the
// slot cost the capture a frame to step through as well as its own
// instructions.
u8* GeneralPurposeAllocator::alloc(void* ctx, usize len, u8 log2_align, usize ret_addr) {
    auto* self = static_cast<GeneralPurposeAllocator*>(ctx);
    Locked locked(*self, ret_addr);
    XOV_ASSERT(len != 0);
    if (log2_align >= 64) return nullptr;
    const usize aligned = alignedSize(len, log2_align);
    if (isLarge(aligned)) [[unlikely]]
        return self->allocLarge(len, log2_align, ret_addr);
    return self->allocSlot(gpa::sizeClassIndex(aligned), len, log2_align, ret_addr,
                           reinterpret_cast<usize>(__builtin_frame_address(0)));
}

u8* GeneralPurposeAllocator::allocLarge(usize len, u8 log2_align, usize ret_addr) {
    if (!large_allocations.ensureUnusedCapacity(backing_allocator, 1)) return nullptr;
    u8* p = backing_allocator.rawAlloc(len, log2_align, ret_addr);
    if (p == nullptr) return nullptr;
    // A backing allocator that cannot honour the alignment must not hand
    // out a misaligned block as if it could.
    if (reinterpret_cast<usize>(p) & ((usize{1} << log2_align) - 1)) {
        backing_allocator.rawFree(std::span<u8>(p, len), log2_align, ret_addr);
        return nullptr;
    }
    LargeAlloc entry{std::span<u8>(p, len), {}};
    large_allocations.putAssumeCapacityNoClobber(reinterpret_cast<usize>(p), entry);
    collectStackTrace(ret_addr, large_allocations.get(reinterpret_cast<usize>(p))->stack_addresses);
    return p;
}

[[gnu::always_inline]] inline u8* GeneralPurposeAllocator::allocSlot(usize class_index, usize len, u8 log2_align,
                                                                     usize ret_addr, usize entry_frame) {
    // Bounds the class for the compiler too: one check here instead of one
    // at every table indexed by it.
    XOV_ASSERT(class_index < small_bucket_count);
    BucketHeader* bucket = cur_buckets[class_index];
    if (bucket == nullptr || bucket->alloc_cursor == gpa::slotCount(class_index)) [[unlikely]] {
        bucket = createBucket(class_index, ret_addr);
        if (bucket == nullptr) return nullptr;
        cur_buckets[class_index] = bucket;
    }
    const usize slot = bucket->alloc_cursor;
    bucket->alloc_cursor = static_cast<u16>(slot + 1);
    bucket->used_count += 1;
    setUsed(usedBits(bucket, class_index), slot);
    requestedSizes(bucket, class_index)[slot] = static_cast<u16>(len);
    log2Alignments(bucket, class_index)[slot] = log2_align;
    // Last, with the lock still held: fewer values live across the walk.
    u8* const address = bucket->page + (slot << class_index);
    collectStackTrace(ret_addr, bucketStackTrace(bucket, class_index, slot, gpa::TraceKind::alloc), entry_frame);
    return address;
}

GeneralPurposeAllocator::BucketHeader* GeneralPurposeAllocator::createBucket(usize class_index, usize ret_addr) {
    const usize record_size = gpa::bucketSize(class_index);
    u8* page = backing_allocator.rawAlloc(gpa::page_size, mem::log2Align(gpa::page_size), ret_addr);
    if (page == nullptr) return nullptr;
    u8* record = backing_allocator.rawAlloc(record_size, mem::log2Align(8), ret_addr);
    if (record == nullptr) {
        backing_allocator.rawFree(std::span<u8>(page, gpa::page_size), mem::log2Align(gpa::page_size), ret_addr);
        return nullptr;
    }
    auto* bucket = reinterpret_cast<BucketHeader*>(record);
    bucket->page = page;
    bucket->alloc_cursor = 0;
    bucket->used_count = 0;
    std::memset(usedBits(bucket, class_index), 0, gpa::usedBitsCount(class_index));
    std::memset(requestedSizes(bucket, class_index), 0, gpa::slotCount(class_index) * sizeof(u16));

    BucketTree::Node* node = bucket_node_pool.create();
    if (node == nullptr) {
        backing_allocator.rawFree(std::span<u8>(record, record_size), mem::log2Align(8), ret_addr);
        backing_allocator.rawFree(std::span<u8>(page, gpa::page_size), mem::log2Align(gpa::page_size), ret_addr);
        return nullptr;
    }
    node->key = bucket;
    buckets[class_index].insert(node);
    return bucket;
}

void GeneralPurposeAllocator::freeBucket(BucketHeader* bucket, usize class_index) {
    BucketTree::Node* node = buckets[class_index].get(gpa::bucketPageValue(bucket));
    XOV_ASSERT(node != nullptr);
    buckets[class_index].remove(node);
    if (cur_buckets[class_index] == bucket) cur_buckets[class_index] = nullptr;
    const usize ret_addr = reinterpret_cast<usize>(__builtin_return_address(0));
    backing_allocator.rawFree(std::span<u8>(bucket->page, gpa::page_size), mem::log2Align(gpa::page_size), ret_addr);
    backing_allocator.rawFree(std::span<u8>(recordBytes(bucket), gpa::bucketSize(class_index)), mem::log2Align(8),
                              ret_addr);
    bucket_node_pool.destroy(node);
}

// ---- lookup ----

GeneralPurposeAllocator::BucketHeader* GeneralPurposeAllocator::searchBucket(usize class_index, usize address) const {
    const usize page = address & ~(gpa::page_size - 1);
    if (BucketHeader* current = currentBucketOf(class_index, page)) return current;
    BucketTree::Node* node = buckets[class_index].get(page);
    return node == nullptr ? nullptr : node->key;
}

// A small allocation shrunk by resize is freed with its smaller length, so
// its bucket may sit in any class from the given one up. Callers start at
// the class of the length alone: a free that overstates the alignment would
// otherwise start above the slot's class and end as an invalid free instead
// of an alignment report. Pages belong to one bucket only, so starting lower
// never finds a wrong bucket.
GeneralPurposeAllocator::Found GeneralPurposeAllocator::findSmall(usize first_class, usize address) const {
    for (usize c = first_class; c < small_bucket_count; ++c)
        if (BucketHeader* bucket = searchBucket(c, address)) return {bucket, c};
    return {nullptr, 0};
}

// ---- free ----

void GeneralPurposeAllocator::free(void* ctx, std::span<u8> buf, u8 log2_align, usize ret_addr) {
    static_cast<GeneralPurposeAllocator*>(ctx)->freeInner(buf, log2_align, ret_addr);
}

// Takes the lock itself, so that free is a jump here and the capture
// starts one frame nearer the caller.
void GeneralPurposeAllocator::freeInner(std::span<u8> buf, u8 log2_align, usize ret_addr) {
    Locked locked(*this, ret_addr);
    const usize entry_frame = reinterpret_cast<usize>(__builtin_frame_address(0));
    XOV_ASSERT(!buf.empty());
    if (log2_align >= 64) panicInvalidFree(ret_addr);
    const usize aligned = alignedSize(buf.size(), log2_align);
    if (isLarge(aligned)) [[unlikely]]
        return freeLarge(buf, log2_align, ret_addr);
    const usize address = reinterpret_cast<usize>(buf.data());
    const usize first_class = gpa::sizeClassIndex(buf.size());
    XOV_ASSERT(first_class < small_bucket_count);
    // Most frees are of the class of their length, in its current bucket.
    Found found{currentBucketOf(first_class, address & ~(gpa::page_size - 1)), first_class};
    if (found.bucket == nullptr) found = findSmall(first_class, address);
    if (found.bucket == nullptr) return freeLarge(buf, log2_align, ret_addr);
    BucketHeader* bucket = found.bucket;
    const usize class_index = found.class_index;
    XOV_ASSERT(class_index < small_bucket_count);
    const usize offset = address - reinterpret_cast<usize>(bucket->page);
    // Only slot starts were ever handed out; anything else would let the
    // 0xAA fill below run past the slot (and past the page).
    if (offset & ((usize{1} << class_index) - 1)) panicInvalidFree(ret_addr);
    const usize slot = offset >> class_index;

    u8* used_bits = usedBits(bucket, class_index);
    if (!isUsed(used_bits, slot)) [[unlikely]] {
        reportDoubleFree(bucket, class_index, slot, ret_addr);
        return;
    }
    u16& requested = requestedSizes(bucket, class_index)[slot];
    if (requested == 0) panicInvalidFree(ret_addr);
    const u8 recorded_align = log2Alignments(bucket, class_index)[slot];
    if (buf.size() != requested || log2_align != recorded_align) [[unlikely]]
        reportSlotMismatch(bucket, class_index, slot, buf.size(), requested, log2_align, recorded_align, ret_addr,
                           SlotOp::free);
    clearUsed(used_bits, slot);
    requested = 0;
    bucket->used_count -= 1;
    const bool emptied = bucket->used_count == 0;
    // After the record's updates, with the lock still held: fewer values
    // live across the walk.
    collectStackTrace(ret_addr, bucketStackTrace(bucket, class_index, slot, gpa::TraceKind::free), entry_frame);
    if (emptied) [[unlikely]] {
        freeBucket(bucket, class_index);
    } else {
        mem::fillUndefined(buf.data(), buf.size());
    }
}

void GeneralPurposeAllocator::freeLarge(std::span<u8> buf, u8 log2_align, usize ret_addr) {
    const usize address = reinterpret_cast<usize>(buf.data());
    LargeAlloc* entry = large_allocations.get(address);
    if (entry == nullptr) panicInvalidFree(ret_addr);
    if (buf.size() != entry->bytes.size()) {
        usize free_trace_words[gpa::stack_n];
        collectStackTrace(ret_addr, free_trace_words);
        log_gpa.err("Allocation size {d} bytes does not match free size {d}. Allocation: {} Free: {}",
                    entry->bytes.size(), buf.size(), storedTrace(entry->stack_addresses),
                    storedTrace(free_trace_words));
    }
    // The recorded extent, not the caller's: a wrong length must not unmap
    // a neighbouring mapping or strand pages of this one.
    backing_allocator.rawFree(entry->bytes, log2_align, ret_addr);
    (void)large_allocations.remove(address);
}

void GeneralPurposeAllocator::reportDoubleFree(BucketHeader* bucket, usize class_index, usize slot,
                                               usize ret_addr) {
    usize second_free_words[gpa::stack_n];
    collectStackTrace(ret_addr, second_free_words);
    log_gpa.err("Double free detected. Allocation: {} First free: {} Second free: {}",
                storedTrace(bucketStackTrace(bucket, class_index, slot, gpa::TraceKind::alloc)),
                storedTrace(bucketStackTrace(bucket, class_index, slot, gpa::TraceKind::free)),
                storedTrace(second_free_words));
}

// ---- resize ----

bool GeneralPurposeAllocator::resize(void* ctx, std::span<u8> buf, u8 log2_align, usize new_len, usize ret_addr) {
    auto* self = static_cast<GeneralPurposeAllocator*>(ctx);
    Locked locked(*self, ret_addr);
    return self->resizeInner(buf, log2_align, new_len, ret_addr);
}

bool GeneralPurposeAllocator::resizeInner(std::span<u8> buf, u8 log2_align, usize new_len, usize ret_addr) {
    XOV_ASSERT(!buf.empty());
    if (log2_align >= 64) panicInvalidFree(ret_addr);
    const usize aligned = alignedSize(buf.size(), log2_align);
    if (isLarge(aligned)) return resizeLarge(buf, log2_align, new_len, ret_addr);
    const usize address = reinterpret_cast<usize>(buf.data());
    const Found found = findSmall(gpa::sizeClassIndex(buf.size()), address);
    if (found.bucket == nullptr) return resizeLarge(buf, log2_align, new_len, ret_addr);
    BucketHeader* bucket = found.bucket;
    const usize class_index = found.class_index;
    const usize offset = address - reinterpret_cast<usize>(bucket->page);
    if (offset & ((usize{1} << class_index) - 1)) panicInvalidFree(ret_addr);
    const usize slot = offset >> class_index;

    if (!isUsed(usedBits(bucket, class_index), slot)) {
        reportDoubleFree(bucket, class_index, slot, ret_addr);
        builtin::default_panic("Unrecoverable double free", nullptr, ret_addr);
    }
    u16& requested = requestedSizes(bucket, class_index)[slot];
    if (requested == 0) panicInvalidFree(ret_addr);
    const u8 recorded_align = log2Alignments(bucket, class_index)[slot];
    if (buf.size() != requested || log2_align != recorded_align)
        reportSlotMismatch(bucket, class_index, slot, buf.size(), requested, log2_align, recorded_align, ret_addr,
                           SlotOp::resize);
    const usize new_aligned = alignedSize(new_len, log2_align);
    if (isLarge(new_aligned) || gpa::sizeClassIndex(new_aligned) > class_index) return false;
    if (new_len < buf.size()) std::memset(buf.data() + new_len, fill_byte, buf.size() - new_len);
    requested = static_cast<u16>(new_len);
    return true;
}

bool GeneralPurposeAllocator::resizeLarge(std::span<u8> buf, u8 log2_align, usize new_len, usize ret_addr) {
    const usize address = reinterpret_cast<usize>(buf.data());
    LargeAlloc* entry = large_allocations.get(address);
    if (entry == nullptr) panicInvalidFree(ret_addr);
    if (buf.size() != entry->bytes.size()) {
        usize resize_trace_words[gpa::stack_n];
        collectStackTrace(ret_addr, resize_trace_words);
        log_gpa.err("Allocation size {d} bytes does not match free size {d}. Allocation: {} Free: {}",
                    entry->bytes.size(), buf.size(), storedTrace(entry->stack_addresses),
                    storedTrace(resize_trace_words));
    }
    if (!backing_allocator.rawResize(entry->bytes, log2_align, new_len, ret_addr)) return false;
    entry->bytes = std::span<u8>(buf.data(), new_len);
    collectStackTrace(ret_addr, entry->stack_addresses);
    return true;
}

// ---- deinit ----

bool GeneralPurposeAllocator::detectLeaksInBucket(BucketHeader* bucket, usize class_index) {
    bool leaks = false;
    const u8* used = usedBits(bucket, class_index);
    for (usize byte = 0; byte < gpa::usedBitsCount(class_index); ++byte) {
        if (used[byte] == 0) continue;
        for (usize bit = 0; bit < 8; ++bit) {
            if (((used[byte] >> bit) & 1) == 0) continue;
            const usize slot = byte * 8 + bit;
            const usize address = reinterpret_cast<usize>(bucket->page) + (slot << class_index);
            log_gpa.err("memory address 0x{x} leaked: {}", address,
                        storedTrace(bucketStackTrace(bucket, class_index, slot, gpa::TraceKind::alloc)));
            leaks = true;
        }
    }
    return leaks;
}

bool GeneralPurposeAllocator::detectLeaks() {
    bool leaks = false;
    for (usize c = 0; c < small_bucket_count; ++c)
        for (BucketTree::Node* node = buckets[c].first(); node != nullptr; node = BucketTree::next(node))
            leaks |= detectLeaksInBucket(node->key, c);
    large_allocations.forEach([&](usize address, LargeAlloc& entry) {
        log_gpa.err("memory address 0x{x} leaked: {}", address, storedTrace(entry.stack_addresses));
        leaks = true;
    });
    return leaks;
}

gpa::Check GeneralPurposeAllocator::deinit() {
    // A second deinit would walk the poisoned trees into a fault.
    if (isDeinitialized(*this))
        builtin::default_panic("GeneralPurposeAllocator deinit called twice", nullptr,
                               reinterpret_cast<usize>(__builtin_return_address(0)));
    const bool leaks = detectLeaks();
    large_allocations.deinit(backing_allocator);
    bucket_node_pool.deinit();
    // Poisoned until the runner resets it: a use after deinit, or a second
    // deinit, panics instead of silently working.
    std::memset(static_cast<void*>(this), fill_byte, sizeof(*this));
    return leaks ? gpa::Check::leak : gpa::Check::ok;
}

}  // namespace heap

namespace testing {

constinit heap::GeneralPurposeAllocator allocator_instance;

void resetAllocatorInstance() { new (&allocator_instance) heap::GeneralPurposeAllocator(); }

mem::Allocator allocator() { return allocator_instance.allocator(); }

}  // namespace testing
