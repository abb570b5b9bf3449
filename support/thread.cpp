// pthread-backed thread creation and join, the alternate signal stacks
// every thread runs with, and the signal-action wrapper the progress
// display uses for terminal resizes.
#include "support/thread.hpp"

#include <sys/mman.h>

#include <cerrno>
#include <csignal>

#include "support/panic.hpp"
#include "support/sys.hpp"

namespace {

Error errorFromPthread(int err) {
    switch (err) {
        case EAGAIN: return Error::ThreadQuotaExceeded;
        case ENOMEM: return Error::SystemResources;
        case EINVAL: return Error::InvalidArgument;
        case EPERM: return Error::AccessDenied;
        default: return Error::Unexpected;
    }
}

// What a new thread needs before its body runs. It lives at the bottom of
// the thread's alternate stack, which the thread reads it from before any
// signal can use that stack; so a start allocates nothing else.
struct Launch {
    Thread::Entry entry;
    void* context;
    sys::AltSignalStack alt_stack;
};

void* runWithAltStack(void* launch_record) {
    const Launch launch = *static_cast<const Launch*>(launch_record);
    stack_t previous{};
    const bool installed = sys::useAltSignalStack(launch.alt_stack, &previous).has_value();
    void* const result = launch.entry(launch.context);
    // Give back whatever stack was there before (a sanitizer runtime's,
    // which it frees itself when the thread ends): ours is freed by join.
    if (installed) {
        if ((previous.ss_flags & SS_DISABLE) != 0) {
            stack_t off{};
            off.ss_flags = SS_DISABLE;
            (void)::sigaltstack(&off, nullptr);
        } else {
            (void)::sigaltstack(&previous, nullptr);
        }
    }
    return result;
}

}  // namespace

namespace sys {

Result<AltSignalStack> mapAltSignalStack() {
    const usize len = 4096 + alt_signal_stack_size;
    void* mapping = TRY(sys::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (::mprotect(mapping, 4096, PROT_NONE) != 0) {
        (void)::munmap(mapping, len);
        return XOV_FAIL(errorFromErrno(errno));
    }
    return AltSignalStack{mapping, len};
}

void unmapAltSignalStack(const AltSignalStack& stack) {
    if (stack.mapping != nullptr) (void)::munmap(stack.mapping, stack.mapping_len);
}

Result<void> useAltSignalStack(const AltSignalStack& stack, stack_t* previous) {
    stack_t ss{};
    ss.ss_sp = stack.stackBase();
    ss.ss_size = stack.mapping_len - 4096;
    ss.ss_flags = 0;
    if (::sigaltstack(&ss, previous) != 0) return XOV_FAIL(errorFromErrno(errno));
    return {};
}

Result<void> installAltSignalStack() {
    const AltSignalStack stack = TRY(mapAltSignalStack());
    if (auto used = useAltSignalStack(stack); !used) {
        unmapAltSignalStack(stack);
        return std::unexpected(used.error());
    }
    return {};
}

}  // namespace sys

Result<Thread> Thread::spawn(Entry entry, void* context, usize stack_size) {
    const sys::AltSignalStack alt_stack = TRY(sys::mapAltSignalStack());
    auto* launch = static_cast<Launch*>(alt_stack.stackBase());
    *launch = Launch{entry, context, alt_stack};
    pthread_attr_t attr;
    if (const int err = pthread_attr_init(&attr); err != 0) {
        sys::unmapAltSignalStack(alt_stack);
        return XOV_FAIL(errorFromPthread(err));
    }
    if (const int err = pthread_attr_setstacksize(&attr, stack_size); err != 0) {
        pthread_attr_destroy(&attr);
        sys::unmapAltSignalStack(alt_stack);
        return XOV_FAIL(errorFromPthread(err));
    }
    pthread_t handle;
    const int err = pthread_create(&handle, &attr, runWithAltStack, launch);
    pthread_attr_destroy(&attr);
    if (err != 0) {
        sys::unmapAltSignalStack(alt_stack);
        return XOV_FAIL(errorFromPthread(err));
    }
    return Thread(handle, alt_stack);
}

void Thread::join() {
    const int err = pthread_join(handle_, nullptr);
    // Joining twice or joining oneself are bugs in the caller.
    XOV_ASSERT(err == 0);
    sys::unmapAltSignalStack(alt_stack_);
    alt_stack_ = {};
}

namespace sys {

Result<void> installSignalAction(int sig, SignalAction action) {
    struct sigaction act {};
    act.sa_sigaction = action;
    sigemptyset(&act.sa_mask);
    act.sa_flags = SA_SIGINFO | SA_RESTART;
    if (::sigaction(sig, &act, nullptr) != 0) return XOV_FAIL(errorFromErrno(errno));
    return {};
}

}  // namespace sys
