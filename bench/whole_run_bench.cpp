// Whole-run wall time of the product in terminal mode (standard error on
// /dev/null), beside a static program that does nothing, started the same
// way. The two are spawned alternately in one loop, so load that comes and
// goes falls on both alike; the counters give each one's fastest and median
// run and their ratios (the fastest runs are the least disturbed).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace {

// Microseconds from spawn to reaped exit, or a negative value on failure.
double runOnce(const char* path) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    char* argv[] = {const_cast<char*>(path), nullptr};
    char* envp[] = {nullptr};
    pid_t pid = 0;
    const auto start = std::chrono::steady_clock::now();
    const int spawned = posix_spawn(&pid, path, &actions, nullptr, argv, envp);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    const auto end = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return std::chrono::duration<double, std::micro>(end - start).count();
}

double median(std::vector<double>& v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void BM_ProductVsDoNothing(benchmark::State& state) {
    std::vector<double> nothing;
    std::vector<double> product;
    for (auto _ : state) {
        const double a = runOnce(XOV_DO_NOTHING_PATH);
        const double b = runOnce(XOV_PRODUCT_PATH);
        if (a < 0 || b < 0) {
            state.SkipWithError("spawn failed or the child failed");
            return;
        }
        nothing.push_back(a);
        product.push_back(b);
    }
    const double nothing_min = *std::min_element(nothing.begin(), nothing.end());
    const double product_min = *std::min_element(product.begin(), product.end());
    const double nothing_median = median(nothing);
    const double product_median = median(product);
    state.counters["do_nothing_min_us"] = nothing_min;
    state.counters["product_min_us"] = product_min;
    state.counters["ratio_min"] = product_min / nothing_min;
    state.counters["do_nothing_median_us"] = nothing_median;
    state.counters["product_median_us"] = product_median;
    state.counters["ratio_median"] = product_median / nothing_median;
}
BENCHMARK(BM_ProductVsDoNothing)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(300);

}  // namespace

BENCHMARK_MAIN();
