// Captures what this process writes to file descriptor 2 while in scope.
#pragma once
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

class StderrCapture {
  public:
    StderrCapture() {
        if (pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) return;
        saved_ = dup(2);
        dup2(fds_[1], 2);
    }
    ~StderrCapture() { restore(); }

    // Stops capturing and returns everything written meanwhile.
    std::string take() {
        restore();
        std::string out;
        char buf[4096];
        ssize_t n;
        while ((n = read(fds_[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
        return out;
    }

  private:
    void restore() {
        if (saved_ < 0) return;
        dup2(saved_, 2);
        close(saved_);
        close(fds_[1]);
        saved_ = -1;
    }
    int fds_[2] = {-1, -1};
    int saved_ = -1;
};

// Captures file descriptor 2 write by write: it is a sequenced-packet
// socket while in scope, so each write() arrives as one packet, and the
// packets show how many writes a message took and where each one ended.
class StderrWrites {
  public:
    StderrWrites() {
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds_) != 0) return;
        // Room for a long text's every packet without blocking the writer.
        const int size = 1 << 20;
        setsockopt(fds_[1], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        saved_ = dup(2);
        dup2(fds_[1], 2);
    }
    ~StderrWrites() {
        restore();
        if (fds_[0] >= 0) close(fds_[0]);
    }

    // Stops capturing and returns every write made meanwhile, in order.
    std::vector<std::string> take() {
        restore();
        std::vector<std::string> writes;
        if (fds_[0] < 0) return writes;
        std::string buf(1 << 16, '\0');
        ssize_t n;
        while ((n = recv(fds_[0], buf.data(), buf.size(), MSG_DONTWAIT)) > 0)
            writes.emplace_back(buf.data(), static_cast<size_t>(n));
        return writes;
    }

  private:
    void restore() {
        if (saved_ < 0) return;
        dup2(saved_, 2);
        close(saved_);
        close(fds_[1]);
        saved_ = -1;
    }
    int fds_[2] = {-1, -1};
    int saved_ = -1;
};
