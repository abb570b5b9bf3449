// Cost of a node start-and-end pair (alone and with two threads contending
// on the same free list) and of composing one frame from the live tree.
#include <benchmark/benchmark.h>

#include <string>

#include "progress/internal.hpp"

namespace {

Progress::Node root_node;

void freshTree(const benchmark::State&) {
    Progress::resetForTesting();
    root_node = Progress::initTree("Test", 10);
}

void BM_NodeStartEnd(benchmark::State& state) {
    if (state.thread_index() == 0) freshTree(state);
    // Every thread waits at the loop's start barrier until the tree exists.
    for (auto _ : state) {
        const Progress::Node node = root_node.start("w4_input.test.Input: KeyMods is 1 byte", 0);
        benchmark::DoNotOptimize(node.index);
        node.end();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_NodeStartEnd)->Threads(1)->Threads(2)->UseRealTime();

// A snapshot of `nodes` live nodes (root included) composed into a frame;
// each name is 40 bytes, half the nodes one level deeper.
void BM_ComputeRedraw(benchmark::State& state) {
    freshTree(state);
    const usize nodes = static_cast<usize>(state.range(0));
    Progress::Node held[Progress::node_capacity];
    for (usize k = 1; k < nodes; ++k) {
        const Progress::Node parent = (k % 2 == 0 && k > 1) ? held[k - 1] : root_node;
        std::string name = "node " + std::to_string(k);
        name.resize(40, '.');
        held[k] = parent.start(name, k);
    }
    Progress::global_progress.draw_buffer = Progress::default_draw_buffer;
    Progress::global_progress.rows = 200;
    Progress::global_progress.cols = 200;
    static Progress::Serialized::Buffer buffer;
    usize bytes = 0;
    for (auto _ : state) {
        const Progress::Frame frame = Progress::computeRedraw(buffer);
        bytes = frame.bytes.size();
        benchmark::DoNotOptimize(frame.bytes.data());
    }
    state.counters["frame_bytes"] = static_cast<double>(bytes);
    Progress::resetForTesting();
}
BENCHMARK(BM_ComputeRedraw)->Arg(10)->Arg(83);

}  // namespace

BENCHMARK_MAIN();
