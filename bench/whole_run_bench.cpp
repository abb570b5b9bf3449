// Whole-run wall time of the product in terminal mode, beside a static
// program that does nothing, started the same way: standard error on
// /dev/null, and on a pseudo-terminal (where the progress display starts its
// update thread and joins it at the end). The two are spawned alternately in
// one loop, so load that comes and goes falls on both alike; the counters
// give each one's fastest and median run and their ratios (the fastest runs
// are the least disturbed), the median CPU time (user and kernel) of each,
// which waiting for a processor does not inflate, and the mean minor page
// faults of each: under a hypervisor that shadows the page tables a first
// touch of a page costs several microseconds, so pages touched are much of
// what a run costs.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace {

struct Run {
    double wall_us;
    double cpu_us;
    double minor_faults;
};

double microseconds(const timeval& t) { return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_usec); }

// Wall time from spawn to reaped exit, the child's CPU time and faults; a
// negative wall time on failure. Standard error is the named file.
Run runOnce(const char* path, const char* stderr_path) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, stderr_path, O_WRONLY | O_NOCTTY, 0);
    char* argv[] = {const_cast<char*>(path), nullptr};
    char* envp[] = {nullptr};
    pid_t pid = 0;
    const auto start = std::chrono::steady_clock::now();
    const int spawned = posix_spawn(&pid, path, &actions, nullptr, argv, envp);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) return {-1, 0, 0};
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const auto end = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {-1, 0, 0};
    return {std::chrono::duration<double, std::micro>(end - start).count(),
            microseconds(usage.ru_utime) + microseconds(usage.ru_stime), static_cast<double>(usage.ru_minflt)};
}

double median(std::vector<double>& v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Drops the file from the page cache and reads it back whole. How a file is
// cached changes what each page fault of a run costs: one the linker has
// just written is cached in small pieces, and its runs cost a few percent
// more than after a plain read. Both programs are read alike first.
void recache(const char* path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    (void)fdatasync(fd);
    (void)posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    char buf[65536];
    while (read(fd, buf, sizeof buf) > 0) {
    }
    close(fd);
}

// A pseudo-terminal whose output is read and dropped between runs, so that
// it never fills.
class Terminal {
  public:
    Terminal() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        const char* name = ptsname(master_);
        if (name != nullptr) slave_ = name;
    }
    ~Terminal() {
        if (master_ >= 0) close(master_);
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;
    [[nodiscard]] const char* path() const { return slave_.empty() ? nullptr : slave_.c_str(); }
    void drain() const {
        char buf[4096];
        while (read(master_, buf, sizeof buf) > 0) {
        }
    }

  private:
    int master_ = -1;
    std::string slave_;
};

// Both programs run with standard error on stderr_path; after each pair
// the terminal, if that is one, is drained.
void compare(benchmark::State& state, const char* stderr_path, const Terminal* terminal) {
    recache(XOV_DO_NOTHING_PATH);
    recache(XOV_PRODUCT_PATH);
    std::vector<double> nothing;
    std::vector<double> product;
    std::vector<double> nothing_cpu;
    std::vector<double> product_cpu;
    double nothing_faults = 0;
    double product_faults = 0;
    for (auto _ : state) {
        const Run a = runOnce(XOV_DO_NOTHING_PATH, stderr_path);
        const Run b = runOnce(XOV_PRODUCT_PATH, stderr_path);
        if (terminal != nullptr) terminal->drain();
        if (a.wall_us < 0 || b.wall_us < 0) {
            state.SkipWithError("spawn failed or the child failed");
            return;
        }
        nothing.push_back(a.wall_us);
        product.push_back(b.wall_us);
        nothing_cpu.push_back(a.cpu_us);
        product_cpu.push_back(b.cpu_us);
        nothing_faults += a.minor_faults;
        product_faults += b.minor_faults;
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
    const double nothing_cpu_median = median(nothing_cpu);
    const double product_cpu_median = median(product_cpu);
    state.counters["do_nothing_cpu_us"] = nothing_cpu_median;
    state.counters["product_cpu_us"] = product_cpu_median;
    state.counters["ratio_cpu"] = nothing_cpu_median > 0 ? product_cpu_median / nothing_cpu_median : 0.0;
    const auto runs = static_cast<double>(nothing.size());
    state.counters["do_nothing_faults"] = nothing_faults / runs;
    state.counters["product_faults"] = product_faults / runs;
}
void BM_ProductVsDoNothing(benchmark::State& state) { compare(state, "/dev/null", nullptr); }
BENCHMARK(BM_ProductVsDoNothing)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(300);

void BM_ProductVsDoNothingOnATerminal(benchmark::State& state) {
    const Terminal terminal;
    if (terminal.path() == nullptr) {
        state.SkipWithError("no pseudo-terminal");
        return;
    }
    compare(state, terminal.path(), &terminal);
}
BENCHMARK(BM_ProductVsDoNothingOnATerminal)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(300);

}  // namespace

BENCHMARK_MAIN();
