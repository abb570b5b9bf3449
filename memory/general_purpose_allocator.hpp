// The leak-checking allocator every test runs under.
#pragma once
#include "memory/allocator.hpp"

namespace heap {

namespace general_purpose_allocator {
enum class Check : u8 { ok = 0, leak = 1 };
}

// FIXME: a pass-through to the page allocator that counts live
// allocations; the bucketed, trace-keeping allocator replaces it.
class GeneralPurposeAllocator {
  public:
    [[nodiscard]] mem::Allocator allocator() { return {this, &vtable}; }
    // Reports every allocation still live; ok or leak.
    general_purpose_allocator::Check deinit();

  private:
    static u8* alloc(void* ctx, usize len, u8 log2_align, usize ret_addr);
    static bool resize(void* ctx, std::span<u8> buf, u8 log2_align, usize new_len, usize ret_addr);
    static void free(void* ctx, std::span<u8> buf, u8 log2_align, usize ret_addr);
    static const mem::Allocator::VTable vtable;

    usize live_ = 0;
};

}  // namespace heap

namespace testing {

// The allocator instance tests use; runners restore it to its initial
// value before each test and call deinit after it.
extern heap::GeneralPurposeAllocator allocator_instance;
void resetAllocatorInstance();
mem::Allocator allocator();

}  // namespace testing
