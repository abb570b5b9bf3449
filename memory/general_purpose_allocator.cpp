// Leak-checking allocator (interim pass-through).
#include "memory/general_purpose_allocator.hpp"

#include <new>

namespace heap {

const mem::Allocator::VTable GeneralPurposeAllocator::vtable{&GeneralPurposeAllocator::alloc,
                                                             &GeneralPurposeAllocator::resize,
                                                             &GeneralPurposeAllocator::free};

u8* GeneralPurposeAllocator::alloc(void* ctx, usize len, u8 log2_align, usize ret_addr) {
    u8* p = PageAllocator::alloc(nullptr, len, log2_align, ret_addr);
    if (p != nullptr) static_cast<GeneralPurposeAllocator*>(ctx)->live_ += 1;
    return p;
}

bool GeneralPurposeAllocator::resize(void*, std::span<u8> buf, u8 log2_align, usize new_len, usize ret_addr) {
    return PageAllocator::resize(nullptr, buf, log2_align, new_len, ret_addr);
}

void GeneralPurposeAllocator::free(void* ctx, std::span<u8> buf, u8 log2_align, usize ret_addr) {
    static_cast<GeneralPurposeAllocator*>(ctx)->live_ -= 1;
    PageAllocator::free(nullptr, buf, log2_align, ret_addr);
}

general_purpose_allocator::Check GeneralPurposeAllocator::deinit() {
    return live_ == 0 ? general_purpose_allocator::Check::ok : general_purpose_allocator::Check::leak;
}

}  // namespace heap

namespace testing {

heap::GeneralPurposeAllocator allocator_instance;

void resetAllocatorInstance() { new (&allocator_instance) heap::GeneralPurposeAllocator(); }

mem::Allocator allocator() { return allocator_instance.allocator(); }

}  // namespace testing
