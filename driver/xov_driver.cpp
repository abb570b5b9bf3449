// xov_driver: the build driver's side of the test protocol, for people and
// for CTest. It starts a test executable with --listen=-, lists its tests
// or runs the chosen ones by index, one line per test, and passes the
// executable's standard error straight through.
//
//   xov_driver list EXE
//   xov_driver run [--exact] [--skip-status=N] EXE [PATTERN...]
//
// A pattern picks the tests whose name contains it (--exact: whose name is
// it). A skip counts as a pass; a leak or an error-level log line counts as
// a failure, as the terminal runner counts them. Exit status: 0 when every
// chosen test passed (N instead when every one of them was skipped and
// --skip-status=N was given), 1 when a test failed or the executable broke
// the protocol or died, 2 for a wrong command line.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runner/xov_server.hpp"

namespace {

using ClientTag = xov::Client::Message::Tag;
using ServerTag = xov::Server::Message::Tag;
using Flags = xov::Server::Message::TestResults::Flags;

// A failure the driver reports in words: what the executable did wrong.
template <class T>
using Outcome = std::expected<T, std::string>;

// Unwraps an Outcome inside a function returning another Outcome.
#define TRY_OUTCOME(expr)                                  \
    ({                                                     \
        auto outcome_r_ = (expr);                          \
        if (!outcome_r_) return std::unexpected(outcome_r_.error()); \
        *std::move(outcome_r_);                            \
    })

// No real test list comes near this; a larger length is a broken peer, and
// the driver refuses it before allocating anything.
constexpr u32 max_body_len = 16u << 20;

std::string describeStatus(int status) {
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status)) {
        const int sig = WTERMSIG(status);
        const char* name = sigabbrev_np(sig);
        return "was killed by signal " + std::to_string(sig) + (name ? std::string(" (SIG") + name + ")" : "");
    }
    return "ended with wait status " + std::to_string(status);
}

struct Message {
    u32 tag = 0;
    std::vector<u8> body;
};

// One test executable in server mode, its standard input and output on
// pipes of ours; its standard error is ours.
class Session {
  public:
    static Outcome<Session> start(const char* exe) {
        int to_child[2];
        int from_child[2];
        if (pipe2(to_child, O_CLOEXEC) != 0) return std::unexpected(std::string("pipe: ") + strerror(errno));
        if (pipe2(from_child, O_CLOEXEC) != 0) {
            close(to_child[0]);
            close(to_child[1]);
            return std::unexpected(std::string("pipe: ") + strerror(errno));
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, to_child[0], 0);
        posix_spawn_file_actions_adddup2(&actions, from_child[1], 1);
        char listen[] = "--listen=-";
        char* argv[] = {const_cast<char*>(exe), listen, nullptr};
        pid_t pid = 0;
        const int spawn_error = posix_spawn(&pid, exe, &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        close(to_child[0]);
        close(from_child[1]);
        if (spawn_error != 0) {
            close(to_child[1]);
            close(from_child[0]);
            return std::unexpected(std::string("cannot start ") + exe + ": " + strerror(spawn_error));
        }
        return Session(exe, pid, to_child[1], from_child[0]);
    }

    Session(Session&& other) noexcept
        : exe_(other.exe_), pid_(other.pid_), to_child_(other.to_child_), from_child_(other.from_child_) {
        other.pid_ = -1;
        other.to_child_ = -1;
        other.from_child_ = -1;
    }
    Session& operator=(Session&&) = delete;
    ~Session() {
        closeInput();
        if (from_child_ >= 0) close(from_child_);
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    Outcome<void> send(ClientTag tag, std::span<const u8> body = {}) {
        const xov::Client::Message::Header header{tag, static_cast<u32>(body.size())};
        std::vector<u8> bytes(sizeof header + body.size());
        std::memcpy(bytes.data(), &header, sizeof header);
        if (!body.empty()) std::memcpy(bytes.data() + sizeof header, body.data(), body.size());
        usize done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(to_child_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            // A peer that has gone cannot take the message; the answer that
            // then never comes tells how it ended.
            if (n < 0 && errno == EPIPE) return {};
            if (n <= 0) return std::unexpected(std::string("writing to ") + exe_ + ": " + strerror(errno));
            done += static_cast<usize>(n);
        }
        return {};
    }

    // The next whole message. `waiting_for` names it in the error.
    Outcome<Message> receive(std::string_view waiting_for) {
        u8 header_bytes[8];
        const usize got = TRY_OUTCOME(readFull(header_bytes, sizeof header_bytes));
        if (got == 0) return std::unexpected(death("ended its output while the driver waited for " + std::string(waiting_for)));
        if (got != sizeof header_bytes) return std::unexpected(death("ended its output inside a message header"));
        xov::Server::Message::Header header;
        std::memcpy(&header, header_bytes, sizeof header);
        if (header.bytes_len > max_body_len)
            return std::unexpected(name() + " sent a message of " + std::to_string(header.bytes_len) +
                                   " bytes, more than the " + std::to_string(max_body_len) + " a message may have");
        Message message{static_cast<u32>(header.tag), std::vector<u8>(header.bytes_len)};
        if (TRY_OUTCOME(readFull(message.body.data(), message.body.size())) != message.body.size())
            return std::unexpected(death("ended its output inside a message body"));
        return message;
    }

    // Sends exit and waits for a clean end.
    Outcome<void> finish() {
        TRY_OUTCOME(send(ClientTag::exit));
        closeInput();
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        if (!(WIFEXITED(status) && WEXITSTATUS(status) == 0))
            return std::unexpected(name() + " " + describeStatus(status) + " after the exit message");
        return {};
    }

    std::string name() const { return exe_; }

  private:
    Session(std::string exe, pid_t pid, int to_child, int from_child)
        : exe_(std::move(exe)), pid_(pid), to_child_(to_child), from_child_(from_child) {}

    // Bytes read before the end of the output (fewer than len at its end).
    Outcome<usize> readFull(u8* out, usize len) {
        usize done = 0;
        while (done < len) {
            const ssize_t n = read(from_child_, out + done, len - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return std::unexpected(std::string("reading from ") + exe_ + ": " + strerror(errno));
            if (n == 0) break;
            done += static_cast<usize>(n);
        }
        return done;
    }

    void closeInput() {
        if (to_child_ >= 0) close(to_child_);
        to_child_ = -1;
    }

    // What the executable's end looks like, once it has ended: its output
    // closed, so it is gone or about to be.
    std::string death(std::string what) {
        closeInput();
        if (from_child_ >= 0) close(from_child_);
        from_child_ = -1;
        std::string text = exe_ + " " + what;
        if (pid_ > 0) {
            int status = 0;
            while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            pid_ = -1;
            text += ": it " + describeStatus(status);
        }
        return text;
    }

    std::string exe_;
    pid_t pid_;
    int to_child_;
    int from_child_;
};

u32 loadU32(const u8* bytes) {
    u32 value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

std::string unexpectedTag(const Session& session, u32 tag, std::string_view wanted) {
    return session.name() + " sent a message with tag " + std::to_string(tag) + " where " + std::string(wanted) +
           " belongs";
}

// The test list, checked as the server's own reader checks its input: every
// length within the body and every name a terminated string in the table.
Outcome<std::vector<std::string>> parseMetadata(const Session& session, const Message& message) {
    const std::vector<u8>& body = message.body;
    const auto broken = [&](const std::string& why) {
        return std::unexpected(session.name() + " sent a malformed test list: " + why);
    };
    if (body.size() < sizeof(xov::Server::Message::TestMetadata)) return broken("it is shorter than its header");
    const u64 string_bytes_len = loadU32(body.data());
    const u64 tests_len = loadU32(body.data() + 4);
    const u64 wanted = 8 + tests_len * 8 + string_bytes_len;
    if (wanted != body.size())
        return broken(std::to_string(tests_len) + " tests and " + std::to_string(string_bytes_len) +
                      " string bytes need " + std::to_string(wanted) + " bytes, the body has " +
                      std::to_string(body.size()));
    const u8* const names = body.data() + 8;
    const u8* const panic_msgs = names + tests_len * 4;
    const std::string_view strings(reinterpret_cast<const char*>(panic_msgs + tests_len * 4), string_bytes_len);
    const auto stringAt = [&](u32 offset) -> std::expected<std::string_view, std::string> {
        if (offset >= strings.size())
            return std::unexpected("offset " + std::to_string(offset) + " lies outside the string table");
        const usize end = strings.find('\0', offset);
        if (end == std::string_view::npos)
            return std::unexpected("the string at offset " + std::to_string(offset) + " has no terminating zero");
        return strings.substr(offset, end - offset);
    };
    std::vector<std::string> result;
    result.reserve(tests_len);
    for (u64 i = 0; i < tests_len; ++i) {
        auto name = stringAt(loadU32(names + i * 4));
        if (!name) return broken("test " + std::to_string(i) + ": " + name.error());
        const u32 panic_offset = loadU32(panic_msgs + i * 4);
        if (panic_offset != 0) {
            if (auto msg = stringAt(panic_offset); !msg) return broken("test " + std::to_string(i) + ": " + msg.error());
        }
        result.emplace_back(*name);
    }
    return result;
}

Outcome<std::vector<std::string>> queryTests(Session& session) {
    const Message version = TRY_OUTCOME(session.receive("the version message"));
    if (version.tag != static_cast<u32>(ServerTag::xov_version))
        return std::unexpected(unexpectedTag(session, version.tag, "the version message"));
    TRY_OUTCOME(session.send(ClientTag::query_test_metadata));
    const Message metadata = TRY_OUTCOME(session.receive("the test list"));
    if (metadata.tag != static_cast<u32>(ServerTag::test_metadata))
        return std::unexpected(unexpectedTag(session, metadata.tag, "the test list"));
    return parseMetadata(session, metadata);
}

enum class Verdict : u8 { pass, skip, fail };

// "OK", "SKIP" or "FAIL (...)" for one result word, with the verdict.
std::pair<Verdict, std::string> judge(Flags flags) {
    std::string reasons;
    const auto add = [&](const std::string& reason) { reasons += (reasons.empty() ? "" : ", ") + reason; };
    if (flags.fail) add("failed");
    if (flags.leak) add("leaked memory");
    if (flags.log_err_count != 0)
        add(std::to_string(flags.log_err_count) + (flags.log_err_count == 1 ? " error" : " errors") + " logged");
    if (!reasons.empty()) return {Verdict::fail, "FAIL (" + reasons + ")"};
    if (flags.skip) return {Verdict::skip, "SKIP"};
    return {Verdict::pass, "OK"};
}

Outcome<Flags> runOne(Session& session, u32 index) {
    u8 body[4];
    std::memcpy(body, &index, sizeof body);
    TRY_OUTCOME(session.send(ClientTag::run_test, body));
    const Message reply = TRY_OUTCOME(session.receive("the test's result"));
    if (reply.tag != static_cast<u32>(ServerTag::test_results))
        return std::unexpected(unexpectedTag(session, reply.tag, "a test result"));
    if (reply.body.size() != sizeof(xov::Server::Message::TestResults))
        return std::unexpected(session.name() + " sent a test result of " + std::to_string(reply.body.size()) +
                               " bytes instead of 8");
    const u32 answered = loadU32(reply.body.data());
    if (answered != index)
        return std::unexpected(session.name() + " answered for test index " + std::to_string(answered) +
                               " when test index " + std::to_string(index) + " was run");
    Flags flags;
    std::memcpy(&flags, reply.body.data() + 4, sizeof flags);
    return flags;
}

int fail(const std::string& what) {
    std::fprintf(stderr, "xov_driver: %s\n", what.c_str());
    return 1;
}

int usage() {
    std::fputs("usage: xov_driver list EXE\n"
               "       xov_driver run [--exact] [--skip-status=N] EXE [PATTERN...]\n",
               stderr);
    return 2;
}

int list(const char* exe) {
    Outcome<Session> session = Session::start(exe);
    if (!session) return fail(session.error());
    const Outcome<std::vector<std::string>> tests = queryTests(*session);
    if (!tests) return fail(tests.error());
    for (const std::string& name : *tests) std::printf("%s\n", name.c_str());
    std::fflush(stdout);
    if (auto finished = session->finish(); !finished) return fail(finished.error());
    return 0;
}

struct RunOptions {
    bool exact = false;
    int skip_status = 0;
    const char* exe = nullptr;
    std::vector<std::string_view> patterns;
};

bool chosen(const RunOptions& options, std::string_view name) {
    if (options.patterns.empty()) return true;
    for (std::string_view pattern : options.patterns) {
        if (options.exact ? name == pattern : name.find(pattern) != std::string_view::npos) return true;
    }
    return false;
}

int run(const RunOptions& options) {
    Outcome<Session> session = Session::start(options.exe);
    if (!session) return fail(session.error());
    const Outcome<std::vector<std::string>> tests = queryTests(*session);
    if (!tests) return fail(tests.error());
    std::vector<u32> picked;
    for (u32 i = 0; i < tests->size(); ++i) {
        if (chosen(options, (*tests)[i])) picked.push_back(i);
    }
    if (picked.empty()) return fail("no test of " + session->name() + " matches the patterns given");

    usize passed = 0, skipped = 0, failed = 0;
    for (usize n = 0; n < picked.size(); ++n) {
        const u32 index = picked[n];
        // The line's head goes out before the test runs, so that what the
        // test writes to standard error follows its name.
        std::fprintf(stderr, "%zu/%zu %s...", n + 1, picked.size(), (*tests)[index].c_str());
        const Outcome<Flags> flags = runOne(*session, index);
        if (!flags) {
            std::fputs("FAIL\n", stderr);
            return fail(flags.error());
        }
        const auto [verdict, text] = judge(*flags);
        std::fprintf(stderr, "%s\n", text.c_str());
        (verdict == Verdict::pass ? passed : verdict == Verdict::skip ? skipped : failed) += 1;
    }
    if (auto finished = session->finish(); !finished) return fail(finished.error());
    if (passed == picked.size())
        std::fprintf(stderr, "All %zu tests passed.\n", passed);
    else
        std::fprintf(stderr, "%zu passed; %zu skipped; %zu failed.\n", passed, skipped, failed);
    if (failed != 0) return 1;
    if (skipped == picked.size() && options.skip_status != 0) return options.skip_status;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // A peer that dies is seen as a failed write, not as our own death.
    signal(SIGPIPE, SIG_IGN);
    if (argc < 2) return usage();
    const std::string_view command = argv[1];
    if (command == "list") return argc == 3 ? list(argv[2]) : usage();
    if (command != "run") return usage();
    RunOptions options;
    int i = 2;
    for (; i < argc && std::string_view(argv[i]).starts_with("--"); ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--exact") {
            options.exact = true;
        } else if (arg.starts_with("--skip-status=")) {
            const std::string_view value = arg.substr(14);
            const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), options.skip_status);
            if (ec != std::errc() || end != value.data() + value.size() || options.skip_status < 1 ||
                options.skip_status > 255)
                return usage();
        } else {
            return usage();
        }
    }
    if (i >= argc) return usage();
    options.exe = argv[i];
    for (++i; i < argc; ++i) options.patterns.emplace_back(argv[i]);
    return run(options);
}
