// An open-addressing hash map from a non-zero address to a value, with
// storage from a caller-supplied allocator (passed to each growing call, so
// the map itself is one pointer and two counts).
#pragma once
#include <cstring>
#include <type_traits>

#include "memory/allocator.hpp"
#include "support/panic.hpp"

namespace heap {

template <class Value>
class AddressMap {
    static_assert(std::is_trivially_copyable_v<Value>);

  public:
    // Key 0 marks an empty slot; no allocation lives at address 0.
    struct Slot {
        usize key;
        Value value;
    };

    // Load factor at most 80 percent.
    static constexpr usize max_load_percent = 80;

    [[nodiscard]] usize count() const { return size_; }
    [[nodiscard]] usize capacity() const { return capacity_; }

    // Room for n more entries without growing; growth rehashes into fresh
    // storage and gives the old storage back. False when out of memory
    // (the map is unchanged).
    [[nodiscard]] bool ensureUnusedCapacity(mem::Allocator allocator, usize n) {
        usize needed = 0;
        if (__builtin_add_overflow(size_, n, &needed)) return false;
        if (fits(needed, capacity_)) return true;
        usize new_capacity = capacity_ == 0 ? 8 : capacity_;
        while (!fits(needed, new_capacity)) {
            if (new_capacity > (~usize{0} / sizeof(Slot)) / 2) return false;
            new_capacity *= 2;
        }
        u8* bytes = allocator.rawAlloc(new_capacity * sizeof(Slot), mem::log2Align(alignof(Slot)),
                                       reinterpret_cast<usize>(__builtin_return_address(0)));
        if (bytes == nullptr) return false;
        std::memset(bytes, 0, new_capacity * sizeof(Slot));
        Slot* old_slots = slots_;
        const usize old_capacity = capacity_;
        slots_ = reinterpret_cast<Slot*>(bytes);
        capacity_ = new_capacity;
        size_ = 0;
        for (usize i = 0; i < old_capacity; ++i)
            if (old_slots[i].key != 0) putAssumeCapacityNoClobber(old_slots[i].key, old_slots[i].value);
        if (old_slots != nullptr) releaseStorage(allocator, old_slots, old_capacity);
        return true;
    }

    // The key must not be present and there must be room (ensureUnusedCapacity).
    void putAssumeCapacityNoClobber(usize key, const Value& value) {
        XOV_ASSERT(key != 0 && fits(size_ + 1, capacity_));
        usize i = home(key);
        while (slots_[i].key != 0) {
            XOV_ASSERT(slots_[i].key != key);
            i = (i + 1) & (capacity_ - 1);
        }
        slots_[i].key = key;
        slots_[i].value = value;
        size_ += 1;
    }

    [[nodiscard]] Value* get(usize key) {
        if (capacity_ == 0 || key == 0) return nullptr;
        for (usize i = home(key);; i = (i + 1) & (capacity_ - 1)) {
            if (slots_[i].key == key) return &slots_[i].value;
            if (slots_[i].key == 0) return nullptr;
        }
    }

    // Backward-shift deletion: later members of the probe run move up so
    // lookups never need tombstones. False when the key is absent.
    bool remove(usize key) {
        if (capacity_ == 0 || key == 0) return false;
        const usize mask = capacity_ - 1;
        usize hole = home(key);
        for (;; hole = (hole + 1) & mask) {
            if (slots_[hole].key == key) break;
            if (slots_[hole].key == 0) return false;
        }
        for (usize i = (hole + 1) & mask; slots_[i].key != 0; i = (i + 1) & mask) {
            // Move slot i into the hole unless its home lies cyclically in
            // (hole, i], where it would become unreachable.
            const usize h = home(slots_[i].key);
            const bool home_after_hole = hole <= i ? (h > hole && h <= i) : (h > hole || h <= i);
            if (home_after_hole) continue;
            slots_[hole] = slots_[i];
            hole = i;
        }
        slots_[hole].key = 0;
        size_ -= 1;
        return true;
    }

    // Calls f(key, value&) for every entry in storage order.
    template <class F>
    void forEach(F&& f) {
        for (usize i = 0; i < capacity_; ++i)
            if (slots_[i].key != 0) f(slots_[i].key, slots_[i].value);
    }

    void deinit(mem::Allocator allocator) {
        if (slots_ != nullptr) releaseStorage(allocator, slots_, capacity_);
        slots_ = nullptr;
        capacity_ = 0;
        size_ = 0;
    }

  private:
    static bool fits(usize entries, usize capacity) {
        return capacity != 0 && entries <= capacity / 100 * max_load_percent + capacity % 100 * max_load_percent / 100;
    }

    // Fibonacci hashing of the address; capacity is a power of two.
    [[nodiscard]] usize home(usize key) const {
        const u64 mixed = static_cast<u64>(key) * 0x9E3779B97F4A7C15ull;
        return static_cast<usize>(mixed >> (64 - __builtin_ctzll(capacity_))) & (capacity_ - 1);
    }

    static void releaseStorage(mem::Allocator allocator, Slot* slots, usize capacity) {
        allocator.rawFree(std::span<u8>(reinterpret_cast<u8*>(slots), capacity * sizeof(Slot)),
                          mem::log2Align(alignof(Slot)), reinterpret_cast<usize>(__builtin_return_address(0)));
    }

    Slot* slots_ = nullptr;
    usize capacity_ = 0;
    usize size_ = 0;
};

}  // namespace heap
