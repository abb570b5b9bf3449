// Whole-run wall time of the product in terminal mode (standard error on a
// pipe to /dev/null), side by side with a static program that does nothing.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace {

void runOnce(benchmark::State& state, const char* path) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>(path), nullptr};
    char* envp[] = {nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, path, &actions, nullptr, argv, envp) != 0) {
        state.SkipWithError("spawn failed");
        return;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    posix_spawn_file_actions_destroy(&actions);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("child failed");
}

void BM_DoNothingStatic(benchmark::State& state) {
    for (auto _ : state) runOnce(state, XOV_DO_NOTHING_PATH);
}
BENCHMARK(BM_DoNothingStatic)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_ProductTerminalRun(benchmark::State& state) {
    for (auto _ : state) runOnce(state, XOV_PRODUCT_PATH);
}
BENCHMARK(BM_ProductTerminalRun)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
