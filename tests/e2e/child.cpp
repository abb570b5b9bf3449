// Child processes over pipes and pseudo-terminals for end-to-end tests.
#include "tests/e2e/child.hpp"

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace e2e {

std::string productPath() { return XOV_PRODUCT_PATH; }
std::string fixturePath() {
    const char* other = std::getenv("XOV_E2E_FIXTURE");
    return other != nullptr && *other != 0 ? other : XOV_FIXTURE_PATH;
}

bool Finished::exited() const { return WIFEXITED(status); }
int Finished::exitCode() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
int Finished::termSignal() const { return WIFSIGNALED(status) ? WTERMSIG(status) : 0; }

namespace {

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

void openPty(int* master, int* slave, unsigned short rows, unsigned short cols) {
    winsize ws{};
    ws.ws_row = rows;
    ws.ws_col = cols;
    check(openpty(master, slave, nullptr, nullptr, &ws) == 0, "openpty");
    // Raw output: the bytes the child writes arrive unchanged (no \n -> \r\n).
    termios t{};
    tcgetattr(*slave, &t);
    cfmakeraw(&t);
    tcsetattr(*slave, TCSANOW, &t);
    fcntl(*master, F_SETFD, FD_CLOEXEC);
}

// In the forked child before exec: open, openat and openat2 kill the
// process from here on, across the exec.
void forbidOpen() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_open, 3, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) != 0)
        _exit(126);
}

}  // namespace

Child Child::spawn(const SpawnOptions& options) {
    int in_pipe[2] = {-1, -1};
    int out_pipe[2] = {-1, -1};
    int err_pipe[2] = {-1, -1};
    int pty_master = -1;
    int pty_slave = -1;
    if (!options.stdin_null) check(pipe2(in_pipe, O_CLOEXEC) == 0, "pipe");
    if (options.stderr_pty || options.stdout_pty) openPty(&pty_master, &pty_slave, options.rows, options.cols);
    if (!options.stdout_pty) check(pipe2(out_pipe, O_CLOEXEC) == 0, "pipe");
    if (options.stderr_packets && !options.stderr_pty) {
        check(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, err_pipe) == 0, "socketpair");
        shutdown(err_pipe[0], SHUT_WR);
        shutdown(err_pipe[1], SHUT_RD);
    } else if (!options.stderr_pty) {
        check(pipe2(err_pipe, O_CLOEXEC) == 0, "pipe");
    }
    if (options.stderr_broken && !options.stderr_pty) {
        close(err_pipe[0]);
        err_pipe[0] = -1;
    }

    std::vector<std::string> env_strings;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string_view entry(*e);
        const auto eq = entry.find('=');
        const std::string_view name = entry.substr(0, eq);
        bool drop = false;
        for (const auto& u : options.unset_env) drop |= (name == u);
        for (const auto& s : options.set_env) drop |= (s.substr(0, s.find('=')) == name);
        if (!drop) env_strings.emplace_back(entry);
    }
    for (const auto& s : options.set_env) env_strings.push_back(s);
    std::vector<char*> envp;
    for (auto& s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argv_strings = options.argv;
    std::vector<char*> argv;
    for (auto& s : argv_strings) argv.push_back(s.data());
    argv.push_back(nullptr);

    const pid_t pid = fork();
    check(pid >= 0, "fork");
    if (pid == 0) {
        if (pty_slave >= 0) setsid();
        if (options.stdin_null) {
            const int null_fd = open("/dev/null", O_RDONLY);
            dup2(null_fd, 0);
        } else {
            dup2(in_pipe[0], 0);
        }
        dup2(options.stdout_pty ? pty_slave : out_pipe[1], 1);
        dup2(options.stderr_pty ? pty_slave : err_pipe[1], 2);
        if (pty_slave >= 0) ioctl(pty_slave, TIOCSCTTY, 0);
        for (int fd : options.inherit_fds) {
            const int flags = fcntl(fd, F_GETFD);
            fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC);
        }
        // Default dispositions, as a shell would give them.
        signal(SIGPIPE, SIG_DFL);
        sigset_t mask;
        sigemptyset(&mask);
        for (int sig : options.blocked_signals) sigaddset(&mask, sig);
        sigprocmask(SIG_SETMASK, &mask, nullptr);
        if (options.forbid_open) forbidOpen();
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    Child child;
    child.pid_ = pid;
    child.err_packets_ = options.stderr_packets && !options.stderr_pty;
    if (!options.stdin_null) {
        close(in_pipe[0]);
        child.in_ = in_pipe[1];
    }
    if (pty_slave >= 0) close(pty_slave);
    if (options.stdout_pty) {
        child.out_ = pty_master;
    } else {
        close(out_pipe[1]);
        child.out_ = out_pipe[0];
    }
    if (options.stderr_pty) {
        if (options.stdout_pty) {
            child.shared_pty_ = true;
            child.err_ = -1;
        } else {
            child.err_ = pty_master;
        }
    } else {
        close(err_pipe[1]);
        child.err_ = err_pipe[0];  // -1 when the pipe was handed over broken
    }
    return child;
}

Child::Child(Child&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      in_(std::exchange(other.in_, -1)),
      out_(std::exchange(other.out_, -1)),
      err_(std::exchange(other.err_, -1)),
      shared_pty_(other.shared_pty_),
      err_packets_(other.err_packets_),
      out_buf_(std::move(other.out_buf_)),
      err_buf_(std::move(other.err_buf_)),
      err_writes_(std::move(other.err_writes_)) {}

Child::~Child() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    for (int fd : {in_, out_, err_})
        if (fd >= 0) close(fd);
}

bool Child::write(std::string_view bytes) {
    // Ignore SIGPIPE here: a child that has exited makes the write fail.
    signal(SIGPIPE, SIG_IGN);
    while (!bytes.empty()) {
        const ssize_t n = ::write(in_, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

void Child::closeStdin() {
    if (in_ >= 0) close(in_);
    in_ = -1;
}

// Reads whatever is ready on stdout/stderr within timeout_ms.
void Child::drain(int timeout_ms) {
    pollfd fds[2];
    int n = 0;
    if (out_ >= 0) fds[n++] = {out_, POLLIN, 0};
    if (err_ >= 0) fds[n++] = {err_, POLLIN, 0};
    if (n == 0) return;
    if (poll(fds, static_cast<nfds_t>(n), timeout_ms) <= 0) return;
    for (int i = 0; i < n; ++i) {
        if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        char buf[65536];
        const ssize_t got = read(fds[i].fd, buf, sizeof buf);
        std::string& dest = fds[i].fd == out_ ? out_buf_ : err_buf_;
        if (got > 0) {
            dest.append(buf, static_cast<size_t>(got));
            if (err_packets_ && fds[i].fd == err_) err_writes_.emplace_back(buf, static_cast<size_t>(got));
        } else if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
            // EOF, or EIO from a pty whose other side closed.
            close(fds[i].fd);
            if (fds[i].fd == out_) out_ = -1;
            else err_ = -1;
        }
    }
}

std::string Child::readStdout(size_t n, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out_buf_.size() < n && out_ >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        drain(static_cast<int>(left.count()));
    }
    const size_t take = out_buf_.size() < n ? out_buf_.size() : n;
    std::string result = out_buf_.substr(0, take);
    out_buf_.erase(0, take);
    return result;
}

std::string Child::takeStderr() {
    drain(0);
    std::string result = std::move(err_buf_);
    err_buf_.clear();
    return result;
}

void Child::kill(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
}

Finished Child::finish(std::chrono::milliseconds timeout) {
    closeStdin();
    Finished result;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    bool reaped = false;
    while (true) {
        if (!reaped && waitpid(pid_, &status, WNOHANG) == pid_) reaped = true;
        // A pty reports EOF only once every holder of the slave is gone, so
        // after the exit keep reading only while bytes still come.
        if (reaped) {
            for (int i = 0; i < 50 && (out_ >= 0 || err_ >= 0); ++i) {
                const size_t before = out_buf_.size() + err_buf_.size();
                drain(20);
                if (out_buf_.size() + err_buf_.size() == before) break;
            }
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            result.timed_out = true;
            ::kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            reaped = true;
            drain(0);
            break;
        }
        drain(10);
    }
    pid_ = -1;
    result.status = status;
    result.out = std::move(out_buf_);
    result.err = std::move(err_buf_);
    result.err_writes = std::move(err_writes_);
    out_buf_.clear();
    err_buf_.clear();
    err_writes_.clear();
    return result;
}

Finished run(const SpawnOptions& options, std::string_view stdin_bytes, std::chrono::milliseconds timeout) {
    Child child = Child::spawn(options);
    if (!stdin_bytes.empty()) child.write(stdin_bytes);
    return child.finish(timeout);
}

SpawnOptions fixture(std::string_view table, std::vector<std::string> extra_args) {
    SpawnOptions options;
    options.argv.push_back(fixturePath());
    for (auto& a : extra_args) options.argv.push_back(std::move(a));
    options.set_env.push_back("XOV_FIXTURE_TABLE=" + std::string(table));
    return options;
}

SpawnOptions product(std::vector<std::string> extra_args) {
    SpawnOptions options;
    options.argv.push_back(productPath());
    for (auto& a : extra_args) options.argv.push_back(std::move(a));
    return options;
}

}  // namespace e2e
