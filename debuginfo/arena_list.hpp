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

  private:
    [[gnu::noinline]] Result<void> grow(mem::Allocator allocator) {
        const usize new_capacity = capacity < 16 ? 16 : capacity * 2;
        auto fresh = TRY(allocator.realloc<T>(std::span<T>(items, capacity), new_capacity));
        items = fresh.data();
        capacity = new_capacity;
        return {};
    }
};

}  // namespace dwarf
