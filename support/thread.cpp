// pthread-backed thread creation and join, the alternate signal stacks
// every thread of the process runs with, and the signal-action wrapper the
// progress display uses for terminal resizes.
#include "support/thread.hpp"

#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

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

// The stack a thread ran with before its own was installed: a sanitizer
// runtime gives each thread one and, when the thread ends, unmaps whatever
// stack is installed then, so it must find its own again.
thread_local stack_t alt_stack_before{.ss_sp = nullptr, .ss_flags = SS_DISABLE, .ss_size = 0};

sys::ThreadRecord thread_table[sys::thread_table_size];
std::atomic<usize> unlisted_threads{0};
thread_local sys::ThreadRecord* this_thread_record = nullptr;

void listThisThread() {
    const i32 tid = sys::gettid();
    for (sys::ThreadRecord& record : thread_table) {
        i32 free = 0;
        if (record.tid.compare_exchange_strong(free, tid, std::memory_order_acq_rel)) {
            this_thread_record = &record;
            return;
        }
    }
    unlisted_threads.fetch_add(1, std::memory_order_relaxed);
}

// A freed slot is left clean for the next thread, which claims it by its
// tid alone.
void unlistThisThread() {
    sys::ThreadRecord* const record = this_thread_record;
    if (record == nullptr) {
        unlisted_threads.fetch_sub(1, std::memory_order_relaxed);
        return;
    }
    this_thread_record = nullptr;
    record->role.store(nullptr, std::memory_order_relaxed);
    record->answer.store(nullptr, std::memory_order_relaxed);
    record->tid.store(0, std::memory_order_release);
}

// Runs at the end of every thread that got a stack from the wrapper, by
// return or by pthread_exit, on the thread's own stack: takes the thread
// off the list, gives back the stack that was there before, unless the
// thread installed another one itself, then unmaps the thread's.
void releaseAltStack(void* mapping) {
    unlistThisThread();
    stack_t current{};
    const void* const ours = static_cast<const char*>(mapping) + 4096;
    if (::sigaltstack(nullptr, &current) == 0 && current.ss_sp == ours) (void)::sigaltstack(&alt_stack_before, nullptr);
    (void)::munmap(mapping, 4096 + sys::alt_signal_stack_size);
}

pthread_key_t alt_stack_key;
bool alt_stack_key_made = false;

void makeAltStackKey() { alt_stack_key_made = pthread_key_create(&alt_stack_key, releaseAltStack) == 0; }

void* runWithAltStack(void* launch_record) {
    const Launch launch = *static_cast<const Launch*>(launch_record);
    // Registered before installing, so that the stack is freed even if the
    // kernel refuses it.
    if (pthread_setspecific(alt_stack_key, launch.alt_stack.mapping) != 0) {
        sys::unmapAltSignalStack(launch.alt_stack);
    } else {
        // Listed only where the destructor will take it off the list.
        listThisThread();
        (void)sys::useAltSignalStack(launch.alt_stack, &alt_stack_before);
    }
    return launch.entry(launch.context);
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

// The linker sends every call of pthread_create in the program here
// (--wrap=pthread_create on every link of this library, std::thread's calls
// included), and this one's own call to the C library's.
extern "C" {
int __real_pthread_create(  // NOLINT(bugprone-reserved-identifier)
    pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg);

// A thread whose stack overflows has no stack left to report on: each new
// thread gets an alternate signal stack whoever creates it. Without memory
// for that stack, the thread starts without one, as it would have anyway.
int __wrap_pthread_create(  // NOLINT(bugprone-reserved-identifier)
    pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*), void* arg) {
    static pthread_once_t key_once = PTHREAD_ONCE_INIT;
    (void)pthread_once(&key_once, makeAltStackKey);
    if (!alt_stack_key_made) return __real_pthread_create(thread, attr, start, arg);
    const auto alt_stack = sys::mapAltSignalStack();
    if (!alt_stack) return __real_pthread_create(thread, attr, start, arg);
    auto* launch = static_cast<Launch*>(alt_stack->stackBase());
    *launch = Launch{start, arg, *alt_stack};
    const int err = __real_pthread_create(thread, attr, runWithAltStack, launch);
    if (err != 0) sys::unmapAltSignalStack(*alt_stack);
    return err;
}
}

Result<Thread> Thread::spawn(Entry entry, void* context, usize stack_size) {
    pthread_attr_t attr;
    if (const int err = pthread_attr_init(&attr); err != 0) return XOV_FAIL(errorFromPthread(err));
    if (const int err = pthread_attr_setstacksize(&attr, stack_size); err != 0) {
        pthread_attr_destroy(&attr);
        return XOV_FAIL(errorFromPthread(err));
    }
    pthread_t handle;
    const int err = pthread_create(&handle, &attr, entry, context);
    pthread_attr_destroy(&attr);
    if (err != 0) return XOV_FAIL(errorFromPthread(err));
    return Thread(handle);
}

void Thread::join() {
    const int err = pthread_join(handle_, nullptr);
    // Joining twice or joining oneself are bugs in the caller.
    XOV_ASSERT(err == 0);
}

namespace sys {

std::span<ThreadRecord, thread_table_size> threadTable() { return thread_table; }

usize unlistedThreads() { return unlisted_threads.load(std::memory_order_relaxed); }

ThreadRecord* thisThreadRecord() { return this_thread_record; }

void nameThisThread(const char* role) {
    if (ThreadRecord* const record = this_thread_record) record->role.store(role, std::memory_order_release);
}

Result<void> signalThread(i32 tid, int sig) {
    // tgkill, not tkill: a thread id reused by another process since the
    // table was read is not signalled.
    if (::syscall(SYS_tgkill, sys::getpid(), tid, sig) != 0) return XOV_FAIL(errorFromErrno(errno));
    return {};
}

Result<void> installSignalAction(int sig, SignalAction action) {
    struct sigaction act {};
    act.sa_sigaction = action;
    sigemptyset(&act.sa_mask);
    act.sa_flags = SA_SIGINFO | SA_RESTART;
    if (::sigaction(sig, &act, nullptr) != 0) return XOV_FAIL(errorFromErrno(errno));
    return {};
}

}  // namespace sys
