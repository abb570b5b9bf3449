// Captures what this process writes to file descriptor 2 while in scope.
#pragma once
#include <fcntl.h>
#include <unistd.h>

#include <string>

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
