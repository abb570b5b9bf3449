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
[ "${XOV_FAT_NO_BUILD:-0}" = 1 ] || cmake --build "$build" --target spawn_time "${targets[@]}" >/dev/null

# The reference tools take far longer per run: fewer runs keep the whole
# comparison short, and their medians are as stable.
ref_runs=$((runs / 5 > 3 ? runs / 5 : 3))

# Median wall and CPU (user + system) milliseconds of a command's runs, as
# "wall cpu", and its peak resident kilobytes. CPU time is the steadier
# figure on a shared machine.
spawn_time=$build/bench/spawn_time
measure() {  # runs command...
    local out
    out=$("$spawn_time" "$@")
    echo "${out% *}" | awk '{ print $1, $2 }'
}
peak() { "$spawn_time" 3 "$@" | awk '{ print $4 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1fx", (b > 0 ? a / b : 0) }'; }

printf '%-6s %8s %8s | %-17s | %-27s | %-27s\n' units "size MB" "peak MB" "ours wall/cpu ms" \
    "addr2line -f -i wall/cpu ms" "llvm-symbolizer wall/cpu ms"
for n in "${sizes[@]}"; do
    exe=$build/bench/fat_trace_$n
    # The addresses the trace prints.
    mapfile -t addresses < <(NO_COLOR=1 "$exe" 2>&1 >/dev/null | sed -n 's/.*: \(0x[0-9a-f]*\) in .*/\1/p')
    [ "${#addresses[@]}" -ge 10 ] || { echo "expected 10 addresses from $exe, got ${#addresses[@]}" >&2; exit 2; }
    read -r ours_wall ours_cpu < <(NO_COLOR=1 measure "$runs" "$exe")
    peak_kb=$(NO_COLOR=1 peak "$exe")
    read -r a2l_wall a2l_cpu < <(measure "$ref_runs" addr2line -f -i -e "$exe" "${addresses[@]}")
    read -r llvm_wall llvm_cpu < <(measure "$ref_runs" llvm-symbolizer-16 --obj="$exe" "${addresses[@]}")
    printf '%-6s %8s %8s | %7s / %7s | %7s / %7s (%s / %s) | %7s / %7s (%s / %s)\n' "$n" \
        "$(awk -v b="$(stat -c %s "$exe")" 'BEGIN { printf "%.1f", b / 1048576 }')" \
        "$(awk -v k="$peak_kb" 'BEGIN { printf "%.1f", k / 1024 }')" "$ours_wall" "$ours_cpu" \
        "$a2l_wall" "$a2l_cpu" "$(ratio "$a2l_wall" "$ours_wall")" "$(ratio "$a2l_cpu" "$ours_cpu")" \
        "$llvm_wall" "$llvm_cpu" "$(ratio "$llvm_wall" "$ours_wall")" "$(ratio "$llvm_cpu" "$ours_cpu")"
done
echo "(runs: $runs of ours, $ref_runs of each reference tool; whole processes; medians; ratios: wall / cpu)"
