// Generic allocator entry points and the page, fixed-buffer and arena
// allocators.
#include "memory/allocator.hpp"

#include <sys/mman.h>

#include "support/panic.hpp"
#include "support/sys.hpp"

namespace mem {

Result<std::span<u8>> Allocator::allocBytes(usize n, usize size, usize alignment, usize ret_addr) const {
    return allocBytesInline(n, size, alignment, ret_addr);
}

void Allocator::freeBytes(std::span<u8> buf, usize alignment, usize ret_addr) const {
    if (buf.empty()) return;
    fillUndefined(buf.data(), buf.size());
    rawFree(buf, log2Align(alignment), ret_addr);
}

bool Allocator::resizeBytes(std::span<u8> buf, usize alignment, usize n, usize size, usize ret_addr) const {
    if (n == 0) {
        freeBytes(buf, alignment, ret_addr);
        return true;
    }
    if (buf.empty()) return false;
    usize new_len = 0;
    if (__builtin_mul_overflow(n, size, &new_len)) return false;
    return rawResize(buf, log2Align(alignment), new_len, ret_addr);
}

Result<std::span<u8>> Allocator::reallocBytes(std::span<u8> buf, usize alignment, usize n, usize size,
                                             usize ret_addr) const {
    if (buf.empty()) return TRY(allocBytes(n, size, alignment, ret_addr));
    if (n == 0) {
        freeBytes(buf, alignment, ret_addr);
        return emptyRegion(alignment);
    }
    usize new_len = 0;
    if (__builtin_mul_overflow(n, size, &new_len)) return XOV_FAIL(Error::OutOfMemory);
    if (rawResize(buf, log2Align(alignment), new_len, ret_addr)) return std::span<u8>(buf.data(), new_len);
    u8* p = rawAlloc(new_len, log2Align(alignment), ret_addr);
    if (p == nullptr) return XOV_FAIL(Error::OutOfMemory);
    std::memcpy(p, buf.data(), buf.size() < new_len ? buf.size() : new_len);
    fillUndefined(buf.data(), buf.size());
    rawFree(buf, log2Align(alignment), ret_addr);
    return std::span<u8>(p, new_len);
}

}  // namespace mem

namespace heap {

namespace {

constexpr usize alignForward(usize value, usize alignment) { return (value + alignment - 1) & ~(alignment - 1); }

}  // namespace

std::atomic<usize> next_mmap_addr_hint{0};

const mem::Allocator::VTable PageAllocator::vtable{&PageAllocator::alloc, &PageAllocator::resize,
                                                   &PageAllocator::free};
const mem::Allocator page_allocator{nullptr, &PageAllocator::vtable};

u8* PageAllocator::alloc(void*, usize n, u8 log2_align, usize) {
    if (n > ~usize{0} - (mem::page_size - 1) || log2_align >= 64) return nullptr;
    const usize aligned_len = alignForward(n, mem::page_size);
    // Mappings are only page-aligned. For a larger alignment, map enough
    // that an aligned block of aligned_len lies inside whatever address the
    // kernel picks, then give back the slack on both sides.
    const usize alignment = usize{1} << log2_align;
    const usize slack = alignment > mem::page_size ? alignment - mem::page_size : 0;
    usize map_len = 0;
    if (__builtin_add_overflow(aligned_len, slack, &map_len)) return nullptr;
    usize hint = next_mmap_addr_hint.load(std::memory_order_relaxed);
    auto mapped = sys::mmap(reinterpret_cast<void*>(hint), map_len, PROT_READ | PROT_WRITE,
                            MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (!mapped) return nullptr;
    const usize base = reinterpret_cast<usize>(*mapped);
    const usize result = slack == 0 ? base : alignForward(base, alignment);
    const usize head = result - base;
    const usize tail = map_len - head - aligned_len;
    if (head != 0) XOV_ASSERT(sys::munmap(*mapped, head).has_value());
    if (tail != 0) XOV_ASSERT(sys::munmap(reinterpret_cast<void*>(result + aligned_len), tail).has_value());
    // Only a suggestion: if another thread moved the hint meanwhile, keep its value.
    (void)next_mmap_addr_hint.compare_exchange_strong(hint, result + aligned_len, std::memory_order_relaxed);
    return reinterpret_cast<u8*>(result);
}

bool PageAllocator::resize(void*, std::span<u8> buf, u8, usize new_size, usize) {
    // Rounding a size this close to the top would wrap to a small number
    // and unmap the whole block.
    if (new_size > ~usize{0} - (mem::page_size - 1)) return false;
    const usize new_aligned = alignForward(new_size, mem::page_size);
    const usize old_aligned = alignForward(buf.size(), mem::page_size);
    if (new_aligned == old_aligned) return true;
    if (new_aligned < old_aligned) {
        XOV_ASSERT(sys::munmap(buf.data() + new_aligned, old_aligned - new_aligned).has_value());
        return true;
    }
    return false;
}

void PageAllocator::free(void*, std::span<u8> buf, u8, usize) {
    XOV_ASSERT(reinterpret_cast<usize>(buf.data()) % mem::page_size == 0);
    XOV_ASSERT(sys::munmap(buf.data(), alignForward(buf.size(), mem::page_size)).has_value());
}

// ---- fixed buffer ----

const mem::Allocator::VTable FixedBufferAllocator::vtable{&FixedBufferAllocator::alloc, &FixedBufferAllocator::resize,
                                                          &FixedBufferAllocator::free};

bool FixedBufferAllocator::ownsSlice(std::span<const u8> buf) const {
    const usize start = reinterpret_cast<usize>(buffer.data());
    const usize p = reinterpret_cast<usize>(buf.data());
    return p >= start && p + buf.size() <= start + buffer.size();
}

bool FixedBufferAllocator::isLastAllocation(std::span<const u8> buf) const {
    return buf.data() + buf.size() == buffer.data() + end_index;
}

u8* FixedBufferAllocator::alloc(void* ctx, usize n, u8 log2_align, usize) {
    auto* self = static_cast<FixedBufferAllocator*>(ctx);
    const usize alignment = usize{1} << log2_align;
    const usize addr = reinterpret_cast<usize>(self->buffer.data()) + self->end_index;
    usize aligned = 0;
    if (__builtin_add_overflow(addr, alignment - 1, &aligned)) return nullptr;
    aligned &= ~(alignment - 1);
    const usize adjusted_index = self->end_index + (aligned - addr);
    usize new_end = 0;
    if (__builtin_add_overflow(adjusted_index, n, &new_end) || new_end > self->buffer.size()) return nullptr;
    self->end_index = new_end;
    return self->buffer.data() + adjusted_index;
}

bool FixedBufferAllocator::resize(void* ctx, std::span<u8> buf, u8, usize new_size, usize) {
    auto* self = static_cast<FixedBufferAllocator*>(ctx);
    XOV_ASSERT(self->ownsSlice(buf));
    if (!self->isLastAllocation(buf)) return new_size <= buf.size();
    if (new_size <= buf.size()) {
        self->end_index -= buf.size() - new_size;
        return true;
    }
    const usize grow = new_size - buf.size();
    usize grown_end = 0;
    if (__builtin_add_overflow(self->end_index, grow, &grown_end) || grown_end > self->buffer.size()) return false;
    self->end_index += grow;
    return true;
}

void FixedBufferAllocator::free(void* ctx, std::span<u8> buf, u8, usize) {
    auto* self = static_cast<FixedBufferAllocator*>(ctx);
    XOV_ASSERT(self->ownsSlice(buf));
    if (self->isLastAllocation(buf)) self->end_index -= buf.size();
}

// ---- arena ----

namespace arena_allocator {

const mem::Allocator::VTable ArenaAllocator::vtable{&ArenaAllocator::alloc, &ArenaAllocator::resize,
                                                    &ArenaAllocator::free};

namespace {
constexpr usize node_size = sizeof(ArenaAllocator::BufNode);
constexpr u8 node_log2_align = 3;
u8* usableStart(ArenaAllocator::BufNode* node) { return reinterpret_cast<u8*>(node) + node_size; }
}  // namespace

ArenaAllocator::BufNode* ArenaAllocator::createNode(usize prev_len, usize minimum_size) {
    usize len = 0;
    if (__builtin_add_overflow(prev_len, minimum_size, &len) || __builtin_add_overflow(len, 32, &len) ||
        __builtin_add_overflow(len, len / 2, &len))
        return nullptr;
    u8* p = child_allocator.rawAlloc(len, node_log2_align, reinterpret_cast<usize>(__builtin_return_address(0)));
    if (p == nullptr) return nullptr;
    auto* node = reinterpret_cast<BufNode*>(p);
    node->next = state.first;
    node->data = len;
    state.first = node;
    state.end_index = 0;
    return node;
}

bool ArenaAllocator::isLastAllocation(std::span<const u8> buf) const {
    return state.first != nullptr && buf.data() + buf.size() == usableStart(state.first) + state.end_index;
}

u8* ArenaAllocator::alloc(void* ctx, usize n, u8 log2_align, usize) {
    auto* self = static_cast<ArenaAllocator*>(ctx);
    const usize alignment = usize{1} << log2_align;
    usize minimum = 0;
    if (__builtin_add_overflow(n, alignment, &minimum)) return nullptr;
    BufNode* node = self->state.first;
    if (node == nullptr) {
        node = self->createNode(0, minimum);
        if (node == nullptr) return nullptr;
    }
    for (;;) {
        const usize usable_len = node->data - node_size;
        const usize addr = reinterpret_cast<usize>(usableStart(node)) + self->state.end_index;
        const usize adjusted = (addr + alignment - 1) & ~(alignment - 1);
        const usize adjusted_index = self->state.end_index + (adjusted - addr);
        // A request near the top of the address range would wrap new_end
        // below end_index and hand out memory that is already in use.
        usize new_end = 0;
        if (__builtin_add_overflow(adjusted_index, n, &new_end) || new_end > ~usize{0} - node_size) return nullptr;
        if (new_end <= usable_len) {
            self->state.end_index = new_end;
            return usableStart(node) + adjusted_index;
        }
        const std::span<u8> whole(reinterpret_cast<u8*>(node), node->data);
        if (self->child_allocator.rawResize(whole, node_log2_align, node_size + new_end,
                                            reinterpret_cast<usize>(__builtin_return_address(0)))) {
            node->data = node_size + new_end;
            continue;
        }
        node = self->createNode(usable_len, minimum);
        if (node == nullptr) return nullptr;
    }
}

bool ArenaAllocator::resize(void* ctx, std::span<u8> buf, u8, usize new_len, usize) {
    auto* self = static_cast<ArenaAllocator*>(ctx);
    BufNode* node = self->state.first;
    if (node == nullptr) return false;
    if (!self->isLastAllocation(buf)) return new_len <= buf.size();
    if (new_len <= buf.size()) {
        self->state.end_index -= buf.size() - new_len;
        return true;
    }
    const usize usable_len = node->data - node_size;
    if (usable_len - self->state.end_index >= new_len - buf.size()) {
        self->state.end_index += new_len - buf.size();
        return true;
    }
    return false;
}

void ArenaAllocator::free(void* ctx, std::span<u8> buf, u8, usize) {
    auto* self = static_cast<ArenaAllocator*>(ctx);
    if (self->state.first == nullptr) return;
    if (self->isLastAllocation(buf)) self->state.end_index -= buf.size();
}

void ArenaAllocator::deinit() {
    BufNode* node = state.first;
    while (node != nullptr) {
        BufNode* next = node->next;
        child_allocator.rawFree(std::span<u8>(reinterpret_cast<u8*>(node), node->data), node_log2_align,
                                reinterpret_cast<usize>(__builtin_return_address(0)));
        node = next;
    }
    state = {};
}

}  // namespace arena_allocator

}  // namespace heap
