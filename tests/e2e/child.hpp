// Runs the real executables as a user or a build driver would: through
// pipes or a pseudo-terminal, with exact bytes and wait statuses.
#pragma once
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace e2e {

// Paths of the executables under test (set by the build).
std::string productPath();
// The fixture of this build, or the one XOV_E2E_FIXTURE names: another
// build's fixture (link-time optimised, say) through these same tests.
std::string fixturePath();

struct SpawnOptions {
    std::vector<std::string> argv;  // argv[0] is the executable path
    // Environment: the parent's, minus these names, plus these NAME=value.
    std::vector<std::string> unset_env = {"NO_COLOR", "CLICOLOR_FORCE", "XOV_PROGRESS", "TERM", "XOV_FIXTURE_TABLE"};
    std::vector<std::string> set_env;
    // Standard error (and standard output when stdout_pty) on a fresh
    // pseudo-terminal of this size instead of a pipe.
    bool stderr_pty = false;
    bool stdout_pty = false;
    unsigned short rows = 25;
    unsigned short cols = 80;
    // Descriptors of this process the child keeps at the same numbers.
    std::vector<int> inherit_fds;
    // Standard input: a pipe the test writes to (default), or /dev/null.
    bool stdin_null = false;
    // Standard error on a pipe whose reading end is already closed, so every
    // write fails with EPIPE.
    bool stderr_broken = false;
    // Standard error on a sequenced-packet socket instead of a pipe: every
    // write of the child arrives as one packet (Finished::err_writes).
    bool stderr_packets = false;
    // A seccomp filter kills the child (SIGSYS) if it opens any file.
    bool forbid_open = false;
    // Signals the child starts with blocked, as a parent's mask survives
    // execve (by default none are).
    std::vector<int> blocked_signals;
};

struct Finished {
    std::string out;  // standard output bytes (pty bytes when stdout_pty)
    std::string err;  // standard error bytes (pty bytes when stderr_pty)
    std::vector<std::string> err_writes;  // one entry per write, with stderr_packets
    int status = 0;   // raw wait status
    bool timed_out = false;

    [[nodiscard]] bool exited() const;
    [[nodiscard]] int exitCode() const;    // -1 unless exited
    [[nodiscard]] int termSignal() const;  // 0 unless killed by a signal
};

class Child {
  public:
    static Child spawn(const SpawnOptions& options);
    Child(Child&& other) noexcept;
    Child& operator=(Child&&) = delete;
    ~Child();

    pid_t pid() const { return pid_; }
    // Writes to the child's standard input (all of it; false on EPIPE).
    bool write(std::string_view bytes);
    void closeStdin();
    // Reads at least `n` bytes of standard output, waiting up to `timeout`;
    // returns what arrived (shorter on EOF or timeout).
    std::string readStdout(size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Standard error collected so far (drains without blocking).
    std::string takeStderr();
    // Closes stdin, collects everything and waits for the exit (killing the
    // child after `timeout`).
    Finished finish(std::chrono::milliseconds timeout = std::chrono::seconds(60));
    void kill(int sig);

  private:
    Child() = default;
    void drain(int timeout_ms);
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    int err_ = -1;
    bool shared_pty_ = false;  // stdout and stderr on one pty
    bool err_packets_ = false;
    std::string out_buf_;
    std::string err_buf_;
    std::vector<std::string> err_writes_;
};

// Runs to completion with the given standard input.
Finished run(const SpawnOptions& options, std::string_view stdin_bytes = {},
             std::chrono::milliseconds timeout = std::chrono::seconds(60));

// Convenience: the fixture with XOV_FIXTURE_TABLE=table.
SpawnOptions fixture(std::string_view table, std::vector<std::string> extra_args = {});
SpawnOptions product(std::vector<std::string> extra_args = {});

}  // namespace e2e
