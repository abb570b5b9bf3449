// pthread-backed thread creation and join, and the signal-action wrapper
// the progress display uses for terminal resizes.
#include "support/thread.hpp"

#include <cerrno>
#include <csignal>

#include "failure/panic.hpp"
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

}  // namespace

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

Result<void> installSignalAction(int sig, SignalAction action) {
    struct sigaction act {};
    act.sa_sigaction = action;
    sigemptyset(&act.sa_mask);
    act.sa_flags = SA_SIGINFO | SA_RESTART;
    if (::sigaction(sig, &act, nullptr) != 0) return XOV_FAIL(errorFromErrno(errno));
    return {};
}

}  // namespace sys
