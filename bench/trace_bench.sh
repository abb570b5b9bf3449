#!/usr/bin/env bash
# Cold process to a fully printed ten-frame trace, side by side with
# addr2line -f -i and llvm-symbolizer resolving the same ten addresses of
# the same executable (both started cold too). Whole-process wall time,
# mean over many runs.
#
#   bench/trace_bench.sh [build dir, default build/default] [runs, default 200]
set -euo pipefail
build=${1:-build/default}
runs=${2:-200}
fixture=$build/tests/xov_fixture
[ -x "$fixture" ] || { echo "no fixture executable at $fixture (build with tests on)" >&2; exit 2; }

# The addresses the trace prints, one per line on standard output.
mapfile -t addresses < <(XOV_FIXTURE_TABLE=trace_ten_frames NO_COLOR=1 "$fixture" 2>/dev/null)
[ "${#addresses[@]}" -eq 10 ] || { echo "expected 10 addresses, got ${#addresses[@]}" >&2; exit 2; }

mean_ms() {  # command... -> mean wall milliseconds per run
    local start end
    start=$(date +%s%N)
    for ((i = 0; i < runs; i++)); do "$@" >/dev/null 2>&1 || true; done
    end=$(date +%s%N)
    echo "scale=3; ($end - $start) / $runs / 1000000" | bc
}

ours=$(XOV_FIXTURE_TABLE=trace_ten_frames NO_COLOR=1 mean_ms "$fixture")
addr2line_ms=$(mean_ms addr2line -f -i -e "$fixture" "${addresses[@]}")
llvm_ms=$(mean_ms llvm-symbolizer-16 --obj="$fixture" "${addresses[@]}")
# The same process with nothing to print, to show what the trace itself costs.
baseline=$(XOV_FIXTURE_TABLE=all_pass mean_ms "$fixture")

printf 'runs: %d, executable: %s\n' "$runs" "$fixture"
printf '%-48s %8s ms\n' "fixture printing a 10-frame trace (whole run)" "$ours"
printf '%-48s %8s ms\n' "fixture running two passing tests (no trace)" "$baseline"
printf '%-48s %8s ms\n' "addr2line -f -i, same 10 addresses" "$addr2line_ms"
printf '%-48s %8s ms\n' "llvm-symbolizer, same 10 addresses" "$llvm_ms"
printf 'addr2line / ours: %s   llvm-symbolizer / ours: %s\n' \
    "$(echo "scale=2; $addr2line_ms / $ours" | bc)" "$(echo "scale=2; $llvm_ms / $ours" | bc)"
