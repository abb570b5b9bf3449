// A growable array for the debug-information reader: its storage comes
// from the reader's arena, which never gives memory back, so growth only
// ever moves forward. Nothing here calls malloc.
#pragma once
#include <cstring>
#include <span>
#include <type_traits>

#include "memory/allocator.hpp"
#include "support/error.hpp"

namespace dwarf {

template <class T>
struct ArenaList {
    static_assert(std::is_trivially_copyable_v<T>);
    T* items = nullptr;
    usize len = 0;
    usize capacity = 0;

    [[nodiscard]] Result<void> append(mem::Allocator allocator, const T& item) {
        if (len == capacity) [[unlikely]]
            TRY(grow(allocator));
        items[len++] = item;
        return {};
    }

    [[nodiscard]] std::span<T> span() const { return {items, len}; }

    // Room for at least n items in total.
    [[nodiscard]] Result<void> reserve(mem::Allocator allocator, usize n) {
        if (n <= capacity) return {};
        return growTo(allocator, n);
    }

  private:
    [[gnu::noinline]] Result<void> grow(mem::Allocator allocator) {
        return growTo(allocator, capacity < 16 ? 16 : capacity * 2);
    }

    // Raw operations: the lists are written before they are read, so the
    // generic entry points' fill of fresh memory would only cost time
    // (and page faults) on the first lookup.
    Result<void> growTo(mem::Allocator allocator, usize new_capacity) {
        usize bytes = 0;
        if (__builtin_mul_overflow(new_capacity, sizeof(T), &bytes)) return XOV_FAIL(Error::OutOfMemory);
        const u8 log2_align = mem::log2Align(alignof(T));
        const usize ret_addr = reinterpret_cast<usize>(__builtin_return_address(0));
        if (items != nullptr &&
            allocator.rawResize(std::span<u8>(reinterpret_cast<u8*>(items), capacity * sizeof(T)), log2_align, bytes,
                                ret_addr)) {
            capacity = new_capacity;
            return {};
        }
        u8* fresh = allocator.rawAlloc(bytes, log2_align, ret_addr);
        if (fresh == nullptr) return XOV_FAIL(Error::OutOfMemory);
        // Elements exist only in storage: len != 0 means items is set.
        if (len != 0) std::memcpy(fresh, items, len * sizeof(T));  // NOLINT(clang-analyzer-core.NonNullParamChecker)
        if (items != nullptr)
            allocator.rawFree(std::span<u8>(reinterpret_cast<u8*>(items), capacity * sizeof(T)), log2_align, ret_addr);
        items = reinterpret_cast<T*>(fresh);
        capacity = new_capacity;
        return {};
    }
};

}  // namespace dwarf
