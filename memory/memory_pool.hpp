// A growable pool of fixed-size items: new items come from an arena,
// returned items are kept on a free list and handed out again first.
#pragma once
#include <cstring>

#include "memory/allocator.hpp"

namespace heap {

template <class Item>
struct MemoryPoolExtra {
    static_assert(sizeof(Item) >= sizeof(void*), "the free list links through an item's first word");
    static_assert(alignof(Item) <= 8);

    struct FreeNode {
        FreeNode* next;
    };

    arena_allocator::ArenaAllocator arena;
    FreeNode* free_list = nullptr;

    constexpr explicit MemoryPoolExtra(mem::Allocator child) : arena{child, {}} {}

    // Uninitialised memory (0xAA bytes), or null when the arena's child is
    // out of memory.
    [[nodiscard]] Item* create() {
        void* memory = nullptr;
        if (free_list != nullptr) {
            memory = free_list;
            free_list = free_list->next;
        } else {
            memory = arena_allocator::ArenaAllocator::alloc(&arena, sizeof(Item), mem::log2Align(alignof(Item)), 0);
            if (memory == nullptr) return nullptr;
        }
        std::memset(memory, 0xAA, sizeof(Item));
        return static_cast<Item*>(memory);
    }

    void destroy(Item* item) {
        std::memset(static_cast<void*>(item), 0xAA, sizeof(Item));
        auto* node = reinterpret_cast<FreeNode*>(item);
        node->next = free_list;
        free_list = node;
    }

    // Gives every arena buffer back; items handed out become invalid.
    void deinit() {
        arena.deinit();
        free_list = nullptr;
    }
};

}  // namespace heap
