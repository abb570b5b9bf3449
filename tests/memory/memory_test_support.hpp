// Helpers shared by the allocator tests: an allocator that records the
// calls it receives, a mapping probe, and a child process in which mapping
// system calls are fatal (to prove that an operation makes none).
#pragma once
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "memory/allocator.hpp"
#include "support/sys.hpp"

// A helper whose call and return address must stay where the test wrote
// them: GCC would otherwise clone or constant-fold it across the call.
// Clang has no noipa; noinline is what it honours.
#if defined(__clang__)
#define XOV_NO_IPA [[gnu::noinline]]
#else
#define XOV_NO_IPA [[gnu::noinline, gnu::noipa]]
#endif

namespace memtest {

inline bool isMapped(const void* p) {
    return sys::msyncAsync(reinterpret_cast<void*>(reinterpret_cast<usize>(p) & ~usize{4095}), 4096).has_value();
}

// Runs body in a forked child in which mmap, munmap and mremap kill the
// process; true when body returned true and no such call was made.
template <class Body>
bool runWithoutMappingCalls(Body body) {
    const pid_t pid = fork();
    if (pid == 0) {
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_mmap, 3, 0),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_munmap, 2, 0),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_mremap, 1, 0),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        };
        sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) _exit(3);
        if (syscall(__NR_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) != 0) _exit(3);
        _exit(body() ? 0 : 1);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return false;
    EXPECT_TRUE(WIFEXITED(status)) << "child killed by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Serves requests from a fixed region by bump allocation and records every
// call, with the bytes of each freed block as they were at the call.
struct RecordingAllocator {
    struct Call {
        char op;  // 'a' alloc, 'r' resize, 'f' free
        usize len;
        u8 log2_align;
        usize new_len;
        usize ret_addr;
        bool all_fill;  // free: every byte was 0xAA
    };

    alignas(4096) u8 region[1 << 16];
    usize used = 0;
    bool refuse_alloc = false;
    bool refuse_resize = true;
    std::vector<Call> calls;

    mem::Allocator allocator() { return {this, &vtable}; }

    static u8* alloc(void* ctx, usize len, u8 log2_align, usize ret_addr) {
        auto* self = static_cast<RecordingAllocator*>(ctx);
        self->calls.push_back({'a', len, log2_align, 0, ret_addr, false});
        if (self->refuse_alloc) return nullptr;
        const usize alignment = usize{1} << log2_align;
        const usize start = (self->used + alignment - 1) & ~(alignment - 1);
        if (len > sizeof(region) || start > sizeof(region) - len) return nullptr;
        self->used = start + len;
        return self->region + start;
    }
    static bool resize(void* ctx, std::span<u8> buf, u8 log2_align, usize new_len, usize ret_addr) {
        auto* self = static_cast<RecordingAllocator*>(ctx);
        self->calls.push_back({'r', buf.size(), log2_align, new_len, ret_addr, false});
        return !self->refuse_resize;
    }
    static void free(void* ctx, std::span<u8> buf, u8 log2_align, usize ret_addr) {
        auto* self = static_cast<RecordingAllocator*>(ctx);
        bool all_fill = true;
        for (u8 b : buf) all_fill = all_fill && b == 0xAA;
        self->calls.push_back({'f', buf.size(), log2_align, 0, ret_addr, all_fill});
    }
    static constexpr mem::Allocator::VTable vtable{&alloc, &resize, &free};
};

}  // namespace memtest
