// Starting and stopping the display: the choice between drawing, relaying
// and silence, the two background threads, terminal size and resizes, and
// the standard-error lock shared with every other print.
#include <cstring>

#include "failure/panic.hpp"
#include "failure/stack_trace.hpp"
#include "progress/internal.hpp"
#include "support/log.hpp"
#include "support/print.hpp"
#include "support/sys.hpp"

namespace Progress {

char default_draw_buffer[4096];

namespace {

// Where start() was first called, so a second call can say so: two notes
// of four return addresses each; only the first is ever taken.
using StartTrace = debug::ConfigurableTrace<2, 4, true>;
StartTrace debug_start_trace;

// A report owns the terminal from haltForReport on. A frame write under
// way at that moment is announced by frame_in_flight: each side stores its
// own flag before it reads the other's, so either the drawer sees the halt
// and draws nothing, or the report sees the write and lets it finish
// before erasing.
std::atomic<bool> halted_for_report{false};
std::atomic<bool> frame_in_flight{false};
thread_local bool drawing_here = false;

// How long a report lets a frame write already under way finish.
constexpr u64 frame_write_grace_ns = 50'000'000;

bool isDone() {
    // Pairs with the exchange in the root's Node.end.
    return global_progress.done.load(std::memory_order_acquire);
}

// One frame: composed without a lock, written only if standard error is
// free right now. False when the terminal cannot be written any more.
bool drawFrame(Serialized::Buffer& buffer, bool resize) {
    maybeUpdateSize(resize);
    const Frame frame = computeRedraw(buffer);
    if (!stderr_mutex.tryLock()) return true;
    frame_in_flight.store(true, std::memory_order_seq_cst);
    drawing_here = true;
    const bool halted = halted_for_report.load(std::memory_order_seq_cst);
    const bool written = !halted && write(frame.bytes).has_value();
    if (written) global_progress.need_clear.store(true, std::memory_order_seq_cst);
    drawing_here = false;
    frame_in_flight.store(false, std::memory_order_seq_cst);
    stderr_mutex.unlock();
    return written;
}

}  // namespace

void lockStdErr() {
    stderr_mutex.lock();
    (void)clearWrittenWithEscapeCodes();
}

void unlockStdErr() { stderr_mutex.unlock(); }

namespace {
void eraseFrameUnderLock() { (void)clearWrittenWithEscapeCodes(); }
}  // namespace

void haltForReport() {
    if (halted_for_report.exchange(true, std::memory_order_seq_cst)) return;
    if (global_progress.terminal_mode != TerminalMode::ansi_escape_codes) return;
    // A report on the update thread itself may have interrupted its own
    // write; nobody else would finish it.
    if (!drawing_here) {
        const u64 start = sys::monotonicNs();
        while (frame_in_flight.load(std::memory_order_seq_cst) && sys::monotonicNs() - start < frame_write_grace_ns)
            sys::sleepNs(100'000);
    }
    if (global_progress.need_clear.exchange(false, std::memory_order_seq_cst)) (void)write(clear);
}

bool wait(u64 timeout_ns) {
    const bool resize = global_progress.redraw_event.timedWait(timeout_ns).has_value();
    global_progress.redraw_event.reset();
    return resize || global_progress.cols == 0;
}

void maybeUpdateSize(bool resize) {
    if (!resize) return;
    if (const auto size = sys::terminalSize(global_progress.terminal)) {
        global_progress.rows = size->rows;
        global_progress.cols = size->cols;
        return;
    }
    logging::debug("failed to determine terminal size; using conservative guess 80x25");
    global_progress.rows = 25;
    global_progress.cols = 80;
}

void handleSigWinch(int sig, siginfo_t*, void*) {
    XOV_ASSERT(sig == SIGWINCH);
    global_progress.redraw_event.set();
}

// Whether the thread goes on after a frame: not after a failed write. A
// frame held back by a report is no reason to end: the report ends the
// process, and a report of every thread lists this one, which must still
// be there to answer.
bool drawsOn(Serialized::Buffer& buffer, bool resize) {
    return drawFrame(buffer, resize) || halted_for_report.load(std::memory_order_seq_cst);
}

void* updateThreadRun(void*) {
    sys::nameThisThread("the progress thread");
    Serialized::Buffer buffer;
    bool resize = wait(global_progress.initial_delay_ns);
    if (isDone()) return nullptr;
    if (!drawsOn(buffer, resize)) return nullptr;
    for (;;) {
        resize = wait(global_progress.refresh_rate_ns);
        if (isDone()) {
            stderr_mutex.lock();
            (void)clearWrittenWithEscapeCodes();
            stderr_mutex.unlock();
            return nullptr;
        }
        if (!drawsOn(buffer, resize)) return nullptr;
    }
}

void* ipcThreadRun(void* context) {
    const int fd = static_cast<int>(reinterpret_cast<uintptr_t>(context));
    sys::nameThisThread("the progress thread");
    Serialized::Buffer buffer;
    (void)wait(global_progress.initial_delay_ns);
    if (isDone()) return nullptr;
    for (;;) {
        if (!writeIpc(fd, serialize(buffer))) return nullptr;
        (void)wait(global_progress.refresh_rate_ns);
        if (isDone()) return nullptr;
    }
}

Result<u32> parseIpcFd(std::string_view text) {
    if (text.empty()) return XOV_FAIL(Error::InvalidCharacter);
    u64 value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return XOV_FAIL(Error::InvalidCharacter);
        value = value * 10 + static_cast<u64>(c - '0');
        if (value > 0x7FFF'FFFF) return XOV_FAIL(Error::Overflow);
    }
    return static_cast<u32>(value);
}

[[gnu::noinline]] Node start(const Options& options) {
    if (global_progress.node_end_index.load(std::memory_order_relaxed) != 0) {
        debug_start_trace.dump();
        builtin::unreachable();
    }
    debug_start_trace.add("first initialized here", reinterpret_cast<usize>(__builtin_return_address(0)));
    // From now on a panic or fault report erases the frame first and stops
    // the drawing, and every print erases it; nothing was drawn before.
    debug::setReportStartHook(haltForReport);
    debug::setStdErrLockedHook(eraseFrameUnderLock);

    const Node root = initTree(options.root_name, options.estimated_total_items);
    XOV_ASSERT(options.draw_buffer.size() >= 200);
    global_progress.draw_buffer = options.draw_buffer;
    global_progress.refresh_rate_ns = options.refresh_rate_ns;
    global_progress.initial_delay_ns = options.initial_delay_ns;

    if (const char* ipc_text = sys::getenv("XOV_PROGRESS")) {
        const Result<u32> fd = parseIpcFd(ipc_text);
        if (!fd) {
            logging::warn("invalid XOV_PROGRESS file descriptor integer: {s}", fd.error());
            return Node{};
        }
        Result<Thread> thread = Thread::spawn(ipcThreadRun, reinterpret_cast<void*>(uintptr_t{*fd}));
        if (!thread) {
            logging::warn("failed to spawn IPC thread for communicating progress to parent: {s}", thread.error());
            return Node{};
        }
        global_progress.update_thread = *thread;
        return root;
    }

    if (options.disable_printing) return Node{};

    global_progress.terminal = 2;
    if (sys::isTerminal(2)) {
        const char* term = sys::getenv("TERM");
        if (term == nullptr || std::string_view(term) != "dumb")
            global_progress.terminal_mode = TerminalMode::ansi_escape_codes;
    }
    if (global_progress.terminal_mode == TerminalMode::off) return Node{};

    if (const Result<void> installed = sys::installSignalAction(SIGWINCH, handleSigWinch); !installed)
        logging::warn("failed to install SIGWINCH signal handler for noticing terminal resizes: {s}",
                      installed.error());

    Result<Thread> thread = Thread::spawn(updateThreadRun, nullptr);
    if (!thread) {
        logging::warn("unable to spawn thread for printing progress to terminal: {s}", thread.error());
        return Node{};
    }
    global_progress.update_thread = *thread;
    return root;
}

void resetForTesting() {
    State& g = global_progress;
    g.update_thread.reset();
    g.refresh_rate_ns = 0;
    g.initial_delay_ns = 0;
    g.draw_buffer = {};
    std::memset(g.node_parents.data(), 0, g.node_parents.size_bytes());
    std::memset(static_cast<void*>(g.node_storage.data()), 0, g.node_storage.size_bytes());
    std::memset(g.node_freelist.data(), 0, g.node_freelist.size_bytes());
    g.terminal = -1;
    g.redraw_event.reset();
    g.node_end_index.store(0, std::memory_order_relaxed);
    g.rows = 0;
    g.cols = 0;
    g.terminal_mode = TerminalMode::off;
    g.done.store(false, std::memory_order_relaxed);
    g.need_clear = false;
    halted_for_report.store(false, std::memory_order_relaxed);
    g.node_freelist_first.store(static_cast<u8>(Node::OptionalIndex::none), std::memory_order_relaxed);
    ipc_metadata_len = 0;
    remaining_write_trash_bytes = 0;
    debug_start_trace = {};
}

}  // namespace Progress
