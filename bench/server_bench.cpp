// Request rate of server mode against the real executable over pipes,
// beside the floor set by the pipes themselves: a child process that
// answers each 12-byte request with 16 bytes and does nothing else.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

extern char** environ;

namespace {

constexpr size_t request_len = 12;
constexpr size_t answer_len = 16;

void readExactly(int fd, char* buf, size_t n) {
    while (n > 0) {
        const ssize_t got = read(fd, buf, n);
        if (got <= 0) std::abort();
        buf += got;
        n -= size_t(got);
    }
}

void writeAll(int fd, const char* buf, size_t n) {
    while (n > 0) {
        const ssize_t put = write(fd, buf, n);
        if (put <= 0) std::abort();
        buf += put;
        n -= size_t(put);
    }
}

// A child with its standard input and output on pipes to us.
struct Peer {
    pid_t pid = -1;
    int to_child = -1;
    int from_child = -1;

    void stop() {
        close(to_child);  // a clean end of input ends either peer
        int status = 0;
        waitpid(pid, &status, 0);
        close(from_child);
    }
};

Peer spawnProduct() {
    int in[2];
    int out[2];
    if (pipe(in) != 0 || pipe(out) != 0) std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    char path[] = XOV_PRODUCT_PATH;
    char listen[] = "--listen=-";
    char* argv[] = {path, listen, nullptr};
    Peer peer;
    if (posix_spawn(&peer.pid, path, &actions, nullptr, argv, environ) != 0) std::abort();
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    peer.to_child = in[1];
    peer.from_child = out[0];
    // The version message: 8 bytes of header, then its length in bytes.
    char header[8];
    readExactly(peer.from_child, header, sizeof header);
    u_int32_t version_len = 0;
    std::memcpy(&version_len, header + 4, 4);
    std::string version(version_len, '\0');
    readExactly(peer.from_child, version.data(), version_len);
    return peer;
}

// The floor: read 12 bytes, write 16, as fast as the pipes allow.
Peer spawnEcho() {
    int in[2];
    int out[2];
    if (pipe(in) != 0 || pipe(out) != 0) std::abort();
    Peer peer;
    peer.pid = fork();
    if (peer.pid < 0) std::abort();
    if (peer.pid == 0) {
        close(in[1]);
        close(out[0]);
        char buf[answer_len] = {};
        for (;;) {
            size_t have = 0;
            while (have < request_len) {
                const ssize_t got = read(in[0], buf + have, request_len - have);
                if (got <= 0) _exit(0);
                have += size_t(got);
            }
            if (write(out[1], buf, answer_len) != ssize_t(answer_len)) _exit(1);
        }
    }
    close(in[0]);
    close(out[1]);
    peer.to_child = in[1];
    peer.from_child = out[0];
    return peer;
}

// `expected`: the 16 bytes every answer must be.
void roundTrips(benchmark::State& state, Peer peer, const char (&expected)[answer_len]) {
    const char request[request_len] = {5, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0};
    char answer[answer_len];
    for (auto _ : state) {
        writeAll(peer.to_child, request, sizeof request);
        readExactly(peer.from_child, answer, sizeof answer);
        benchmark::DoNotOptimize(answer);
    }
    if (std::memcmp(answer, expected, answer_len) != 0) state.SkipWithError("unexpected answer");
    peer.stop();
    state.SetItemsProcessed(state.iterations());
}

// test_results for index 0 with flags 0.
constexpr char passed_answer[answer_len] = {4, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
// The echo sends the request back with four zero bytes behind it.
constexpr char echoed_answer[answer_len] = {5, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

void BM_RunTestRoundTrip(benchmark::State& state) { roundTrips(state, spawnProduct(), passed_answer); }
void BM_PipeEchoFloor(benchmark::State& state) { roundTrips(state, spawnEcho(), echoed_answer); }

// The whole test list (558 bytes) per request.
void BM_QueryTestMetadataRoundTrip(benchmark::State& state) {
    Peer peer = spawnProduct();
    const char request[8] = {4, 0, 0, 0, 0, 0, 0, 0};
    char answer[8 + 550];
    for (auto _ : state) {
        writeAll(peer.to_child, request, sizeof request);
        readExactly(peer.from_child, answer, sizeof answer);
        benchmark::DoNotOptimize(answer);
    }
    peer.stop();
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_PipeEchoFloor)->UseRealTime();
BENCHMARK(BM_RunTestRoundTrip)->UseRealTime();
BENCHMARK(BM_QueryTestMetadataRoundTrip)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
