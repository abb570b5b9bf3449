#!/usr/bin/env bash
# Cold process to a printed ten-frame trace in generated programs of 8, 64
# and 256 units (bench/fat_program.cmake: -O1 -g, linked with the runtime,
# the ten frames in ten distinct units), side by side with addr2line -f -i
# and llvm-symbolizer resolving the same ten addresses of the same
# executable, each started cold too; ratios from the same run. Also the
# peak resident memory of our process.
#
#   bench/fat_trace_bench.sh [build dir, default build/bench] [runs, default 50] [units...]
set -euo pipefail
build=${1:-build/bench}
runs=${2:-50}
shift $(($# > 2 ? 2 : $#))
sizes=("$@")
((${#sizes[@]})) || sizes=(8 64 256)

targets=()
for n in "${sizes[@]}"; do targets+=("fat_trace_$n"); done
cmake --build "$build" --target "${targets[@]}" >/dev/null

# The reference tools take far longer per run: fewer runs keep the whole
# comparison short, and their means are as stable.
ref_runs=$((runs / 5 > 3 ? runs / 5 : 3))

mean_ms() {  # runs command... -> mean wall milliseconds per run
    local n=$1 start end
    shift
    start=$(date +%s%N)
    for ((i = 0; i < n; i++)); do "$@" >/dev/null 2>&1 || true; done
    end=$(date +%s%N)
    echo "scale=2; ($end - $start) / $n / 1000000" | bc
}

printf '%-6s %9s %8s %10s %12s %10s %14s %10s\n' units "size MB" "ours ms" "peak MB" "addr2line ms" ratio "llvm-symb. ms" ratio
for n in "${sizes[@]}"; do
    exe=$build/bench/fat_trace_$n
    # The addresses the trace prints.
    mapfile -t addresses < <(NO_COLOR=1 "$exe" 2>&1 >/dev/null | sed -n 's/.*: \(0x[0-9a-f]*\) in .*/\1/p')
    [ "${#addresses[@]}" -eq 10 ] || { echo "expected 10 addresses from $exe, got ${#addresses[@]}" >&2; exit 2; }
    ours=$(NO_COLOR=1 mean_ms "$runs" "$exe")
    peak_kb=$(NO_COLOR=1 /usr/bin/time -f %M "$exe" 2>&1 >/dev/null | tail -n 1)
    a2l=$(mean_ms "$ref_runs" addr2line -f -i -e "$exe" "${addresses[@]}")
    llvm=$(mean_ms "$ref_runs" llvm-symbolizer --obj="$exe" "${addresses[@]}")
    printf '%-6s %9s %8s %10s %12s %9sx %14s %9sx\n' "$n" \
        "$(echo "scale=1; $(stat -c %s "$exe") / 1048576" | bc)" "$ours" "$(echo "scale=1; $peak_kb / 1024" | bc)" \
        "$a2l" "$(echo "scale=1; $a2l / $ours" | bc)" "$llvm" "$(echo "scale=1; $llvm / $ours" | bc)"
done
echo "(runs: $runs of ours, $ref_runs of each reference tool; whole-process wall time)"
