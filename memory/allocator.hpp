// The allocator handle every allocation goes through, its generic entry
// points, and the page, arena and fixed-buffer allocators.
#pragma once
#include <atomic>
#include <cstring>
#include <span>
#include <type_traits>

#include "support/error.hpp"
#include "support/types.hpp"

namespace mem {

inline constexpr usize page_size = 4096;

// log2 of an alignment that is a power of two.
constexpr u8 log2Align(usize alignment) { return static_cast<u8>(__builtin_ctzll(alignment)); }

// Overwrites n bytes with 0xAA, the mark of memory that holds nothing. The
// small blocks most allocations are take two overlapping word stores
// rather than a call.
[[gnu::always_inline]] inline void fillUndefined(u8* p, usize n) {
    constexpr u64 pattern = 0xAAAA'AAAA'AAAA'AAAAull;
    if (n - 8 <= 8) {
        std::memcpy(p, &pattern, sizeof pattern);
        std::memcpy(p + n - 8, &pattern, sizeof pattern);
        return;
    }
    std::memset(p, 0xAA, n);
}

// The empty region of an allocation of 0 items: the highest address that
// is a multiple of the alignment.
inline std::span<u8> emptyRegion(usize alignment) {
    return {reinterpret_cast<u8*>(~usize{0} & ~(alignment - 1)), 0};
}

struct Allocator {
    struct VTable {
        // len bytes at 2^log2_ptr_align, or null. len is never 0.
        u8* (*alloc)(void* ctx, usize len, u8 log2_ptr_align, usize ret_addr);
        // True when buf now has new_len bytes at the same address.
        bool (*resize)(void* ctx, std::span<u8> buf, u8 log2_buf_align, usize new_len, usize ret_addr);
        void (*free)(void* ctx, std::span<u8> buf, u8 log2_buf_align, usize ret_addr);
    };

    void* ptr = nullptr;
    const VTable* vtable = nullptr;

    // Raw entry points: no 0xAA fill, no size arithmetic.
    [[nodiscard]] u8* rawAlloc(usize len, u8 log2_align, usize ret_addr) const {
        return vtable->alloc(ptr, len, log2_align, ret_addr);
    }
    [[nodiscard]] bool rawResize(std::span<u8> buf, u8 log2_align, usize new_len, usize ret_addr) const {
        return vtable->resize(ptr, buf, log2_align, new_len, ret_addr);
    }
    void rawFree(std::span<u8> buf, u8 log2_align, usize ret_addr) const { vtable->free(ptr, buf, log2_align, ret_addr); }

    // The byte-level generic operations below take the caller's return
    // address explicitly; the typed templates are kept out of line so that
    // their own return address is a site in the code that allocated.
    [[nodiscard]] Result<std::span<u8>> allocBytes(usize n, usize size, usize alignment, usize ret_addr) const;
    void freeBytes(std::span<u8> buf, usize alignment, usize ret_addr) const;
    [[nodiscard]] bool resizeBytes(std::span<u8> buf, usize alignment, usize n, usize size, usize ret_addr) const;
    [[nodiscard]] Result<std::span<u8>> reallocBytes(std::span<u8> buf, usize alignment, usize n, usize size,
                                                     usize ret_addr) const;

    // The typed allocations hold allocBytes' body rather than calling it:
    // an allocator that walks the stack from its entry point (the
    // leak-checking one) has one frame less to step through.
    template <class T, usize alignment = alignof(T)>
    [[nodiscard, gnu::noinline]] Result<std::span<T>> alignedAlloc(usize n) const {
        static_assert(std::is_trivially_copyable_v<T>);
        auto bytes = allocBytesInline(n, sizeof(T), alignment, retAddr());
        if (!bytes) return std::unexpected(bytes.error());
        return std::span<T>(reinterpret_cast<T*>(bytes->data()), n);
    }

    template <class T>
    [[nodiscard, gnu::noinline]] Result<std::span<T>> alloc(usize n) const {
        static_assert(std::is_trivially_copyable_v<T>);
        auto bytes = allocBytesInline(n, sizeof(T), alignof(T), retAddr());
        if (!bytes) return std::unexpected(bytes.error());
        return std::span<T>(reinterpret_cast<T*>(bytes->data()), n);
    }

    template <class T>
    [[nodiscard, gnu::noinline]] Result<T*> create() const {
        static_assert(std::is_trivially_copyable_v<T>);
        auto bytes = allocBytesInline(1, sizeof(T), alignof(T), retAddr());
        if (!bytes) return std::unexpected(bytes.error());
        return reinterpret_cast<T*>(bytes->data());
    }

    template <class T, usize alignment = alignof(T)>
    [[gnu::noinline]] void free(std::span<T> items) const {
        freeBytes(asBytes(items), alignment, retAddr());
    }

    template <class T>
    [[gnu::noinline]] void destroy(T* item) const {
        freeBytes(std::span<u8>(reinterpret_cast<u8*>(item), sizeof(T)), alignof(T), retAddr());
    }

    template <class T, usize alignment = alignof(T)>
    [[nodiscard, gnu::noinline]] bool resize(std::span<T> items, usize n) const {
        return resizeBytes(asBytes(items), alignment, n, sizeof(T), retAddr());
    }

    template <class T, usize alignment = alignof(T)>
    [[nodiscard, gnu::noinline]] Result<std::span<T>> realloc(std::span<T> items, usize n) const {
        auto bytes = reallocBytes(asBytes(items), alignment, n, sizeof(T), retAddr());
        if (!bytes) return std::unexpected(bytes.error());
        return std::span<T>(reinterpret_cast<T*>(bytes->data()), n);
    }

  private:
    [[gnu::always_inline]] Result<std::span<u8>> allocBytesInline(usize n, usize size, usize alignment,
                                                                  usize ret_addr) const {
        usize byte_count = 0;
        if (__builtin_mul_overflow(n, size, &byte_count)) [[unlikely]]
            return XOV_FAIL(Error::OutOfMemory);
        if (byte_count == 0) return emptyRegion(alignment);
        u8* p = rawAlloc(byte_count, log2Align(alignment), ret_addr);
        if (p == nullptr) [[unlikely]]
            return XOV_FAIL(Error::OutOfMemory);
        fillUndefined(p, byte_count);
        return std::span<u8>(p, byte_count);
    }
    template <class T>
    static std::span<u8> asBytes(std::span<T> items) {
        return {reinterpret_cast<u8*>(items.data()), items.size_bytes()};
    }
    [[gnu::always_inline]] static usize retAddr() {
        return reinterpret_cast<usize>(__builtin_return_address(0));
    }
};

}  // namespace mem

namespace heap {

// Whole pages from anonymous mappings. An alignment above a page is served
// by mapping the alignment's worth more and unmapping what lies outside the
// aligned block, so the block alone stays mapped and free unmaps it whole.
struct PageAllocator {
    static u8* alloc(void* ctx, usize n, u8 log2_align, usize ret_addr);
    static bool resize(void* ctx, std::span<u8> buf, u8 log2_align, usize new_size, usize ret_addr);
    static void free(void* ctx, std::span<u8> buf, u8 log2_align, usize ret_addr);
    static const mem::Allocator::VTable vtable;
};

// Suggested address of the next mapping, so consecutive mappings tend to be
// adjacent. Only a hint: losing a race on it is harmless.
extern std::atomic<usize> next_mmap_addr_hint;

extern const mem::Allocator page_allocator;

struct FixedBufferAllocator {
    usize end_index = 0;
    std::span<u8> buffer;

    explicit FixedBufferAllocator(std::span<u8> buf) : buffer(buf) {}
    [[nodiscard]] mem::Allocator allocator() { return {this, &vtable}; }
    [[nodiscard]] bool ownsSlice(std::span<const u8> buf) const;
    [[nodiscard]] bool isLastAllocation(std::span<const u8> buf) const;

    static u8* alloc(void* ctx, usize n, u8 log2_align, usize ret_addr);
    static bool resize(void* ctx, std::span<u8> buf, u8 log2_align, usize new_size, usize ret_addr);
    static void free(void* ctx, std::span<u8> buf, u8 log2_align, usize ret_addr);
    static const mem::Allocator::VTable vtable;
};

namespace arena_allocator {

// Bump allocation in buffers taken from a child allocator; everything is
// given back at once by deinit.
struct ArenaAllocator {
    // Each buffer starts with this node; the usable area follows it.
    struct BufNode {
        BufNode* next;
        usize data;  // the whole buffer's length, node included
    };
    struct State {
        BufNode* first = nullptr;  // newest buffer
        usize end_index = 0;       // bytes used in the newest buffer's usable area
    };

    mem::Allocator child_allocator;
    State state;

    static ArenaAllocator init(mem::Allocator child) { return ArenaAllocator{child, {}}; }
    [[nodiscard]] mem::Allocator allocator() { return {this, &vtable}; }
    void deinit();

    static u8* alloc(void* ctx, usize n, u8 log2_align, usize ret_addr);
    static bool resize(void* ctx, std::span<u8> buf, u8 log2_align, usize new_len, usize ret_addr);
    static void free(void* ctx, std::span<u8> buf, u8 log2_align, usize ret_addr);
    static const mem::Allocator::VTable vtable;

  private:
    BufNode* createNode(usize prev_len, usize minimum_size);
    bool isLastAllocation(std::span<const u8> buf) const;
};

}  // namespace arena_allocator

}  // namespace heap
