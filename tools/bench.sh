#!/usr/bin/env bash
# Builds the benchmarks (preset bench) and prints every figure side by side
# with its reference, as a ratio measured in the same run:
#   trace resolution          vs addr2line -f -i and llvm-symbolizer
#   cold trace in generated programs of 8, 64 and 256 units, same references
#   trace capture             vs a bare frame-pointer walk of the same frames
#   leak-checking allocator   vs glibc malloc (isolated pairs, windows of 1
#                             and 64 live blocks), with the system calls'
#                             share of each figure, the fresh pages' first
#                             touches outside the kernel, and the window
#                             over recycled pages (the allocator's code)
#   server round trips        vs a pipe echo
#   progress node pairs and frame composition
#   whole product run         vs a static do-nothing program
# XOV_BENCH_RUNS sets the process count of the trace comparison (100),
# XOV_BENCH_FAT_RUNS that of the generated programs (50).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh

cmake --preset bench >/dev/null
cmake --build --preset bench
# The trace comparison runs the fixture executable of the default build.
cmake --preset default >/dev/null
cmake --build --preset default --target xov_fixture

dir=build/bench/bench
out=build/bench/results
mkdir -p "$out"
# One row per benchmark, "name",real_time,cpu_time,time_unit,syscalls,sys_share,
# pages,user_ns, taken from the JSON report (the CSV reporter refuses benchmarks with
# differing counters). Counters come after the times, so a row is written
# when its object closes.
run() {
  "$dir/$1" --benchmark_format=json 2>/dev/null | tee "$out/$1.json" | awk '
    /^ *"name":/ { name = $0; sub(/^[^:]*: */, "", name); sub(/,$/, "", name); r = c = u = ""; sc = sh = pg = un = "-" }
    /"real_time":/ { r = $2; sub(/,$/, "", r) }
    /"cpu_time":/ { c = $2; sub(/,$/, "", c) }
    /"time_unit":/ { u = $2; gsub(/[",]/, "", u) }
    /"syscalls":/ { sc = $2; sub(/,$/, "", sc) }
    /"sys_share":/ { sh = $2; sub(/,$/, "", sh) }
    /"pages":/ { pg = $2; sub(/,$/, "", pg) }
    /"user_ns":/ { un = $2; sub(/,$/, "", un) }
    /^    }/ { if (name != "" && u != "") print name "," r "," c "," u "," sc "," sh "," pg "," un; name = "" }' >"$out/$1.csv"
}
# Time in nanoseconds of one benchmark row (exact name): wall time for
# the rows timed that way (".../real_time"), else the thread's CPU time,
# which a loaded machine disturbs less.
ns() {
  awk -F, -v n="\"$2\"" '$1 == n {
      t = (n ~ /real_time/) ? $2 : $3; u = $4
      if (u == "us") t *= 1e3; else if (u == "ms") t *= 1e6; else if (u == "s") t *= 1e9
      printf "%.1f", t; found = 1 }
    END { if (!found) exit 1 }' "$out/$1.csv"
}
# Counter column of a row: 5 = mmap/munmap calls per pair, 6 = kernel share,
# 7 = fresh pages per pair, 8 = user time charged per first touch (ns).
counter() {
  awk -F, -v n="\"$2\"" -v col="$3" '$1 == n { printf "%.4g", $col; found = 1 } END { if (!found) exit 1 }' "$out/$1.csv"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
row() { printf '  %-44s %12s ns  %s\n' "$1" "$2" "$3"; }

for b in gpa_bench server_bench progress_bench whole_run_bench trace_bench; do run "$b"; done

echo "== leak-checking allocator vs glibc malloc (one alloc + free; kernel = share of the CPU time in system calls and page faults)"
# A fresh page's first touch is charged partly to user time on a VM that
# shadows page tables: "first touches" is fresh pages per pair times that
# charge per page (BM_FirstTouch, same run), the part of the time outside
# the kernel that is not the allocator's code.
touch_user=$(counter gpa_bench BM_FirstTouch 8)
row "fresh page: mmap, first touch, munmap" "$(ns gpa_bench BM_FirstTouch)" "user time charged per page $touch_user ns"
for size in 16 100 1000 5000; do
  for kind in "isolated pair:GpaAllocFree:MallocFree" "window of 1:GpaAllocFreeSliding:MallocFreeSliding" \
              "window of 64:GpaWindow64:MallocWindow64"; do
    IFS=: read -r label gpa libc_name <<<"$kind"
    ours=$(ns gpa_bench "BM_$gpa/$size"); libc=$(ns gpa_bench "BM_$libc_name/$size")
    calls=$(counter gpa_bench "BM_$gpa/$size" 5); share=$(counter gpa_bench "BM_$gpa/$size" 6)
    pages=$(counter gpa_bench "BM_$gpa/$size" 7)
    user=$(awk -v t="$ours" -v s="$share" 'BEGIN { printf "%.1f", t * (1 - s) }')
    # A window fills every bucket, so it writes every page it maps; an
    # isolated pair of a small class writes only the first of its record.
    touches=""
    if [[ $label == window* ]]; then
      touches=", of which first touches about $(awk -v p="$pages" -v u="$touch_user" 'BEGIN { printf "%.1f", p * u }') ns"
    fi
    row "$label, $size bytes" "$ours" "malloc $libc ns, ratio $(ratio "$ours" "$libc"); mmap+munmap $calls/pair, $pages fresh pages/pair, kernel $share; outside the kernel $user ns, ratio $(ratio "$user" "$libc")$touches"
  done
done
# The window again over a backing allocator that hands released blocks out
# again (bench only): no system call, no fresh page, the allocator's code.
recycled=$(ns gpa_bench BM_GpaWindow64Recycled/16); libc=$(ns gpa_bench BM_MallocWindow64/16)
row "window of 64, 16 bytes, pages recycled" "$recycled" "malloc $libc ns, ratio $(ratio "$recycled" "$libc")"
row "allocator mutex lock + unlock" "$(ns gpa_bench BM_MutexLockUnlock)" ""

echo "== server round trips vs a pipe echo"
floor=$(ns server_bench BM_PipeEchoFloor/real_time)
row "pipe echo (floor)" "$floor" ""
for b in RunTestRoundTrip QueryTestMetadataRoundTrip; do
  t=$(ns server_bench "BM_$b/real_time")
  row "$b" "$t" "ratio $(ratio "$t" "$floor")"
done

echo "== progress"
one=$(ns progress_bench BM_NodeStartEnd/real_time/threads:1)
two=$(ns progress_bench BM_NodeStartEnd/real_time/threads:2)
row "node start + end, 1 thread" "$one" ""
row "node start + end, 2 threads (per pair)" "$two" "ratio to 1 thread $(ratio "$two" "$one")"
for n in 10 83; do
  t=$(ns progress_bench "BM_ComputeRedraw/$n")
  row "snapshot + frame, $n nodes" "$t" "share of a 60 Hz frame $(awk -v t="$t" 'BEGIN { printf "%.5f", t / 16666667 }')"
done

echo "== whole run vs a static do-nothing program (spawn to exit, the two alternately, 300 each)"
# A counter of one whole-run benchmark (its name up to the first slash), by
# its JSON key; the report holds one object per benchmark.
whole() {
  awk -v b="\"$1/" -v k="\"$2\":" -v f="$3" '
    $1 == "\"name\":" { mine = index($2, b) == 1 }
    mine && $1 == k { v = $2; sub(/,$/, "", v); printf f, v; exit }' "$out/whole_run_bench.json"
}
for place in "standard error on /dev/null:BM_ProductVsDoNothing" "standard error on a pseudo-terminal:BM_ProductVsDoNothingOnATerminal"; do
  IFS=: read -r label bench <<<"$place"
  echo "  $label"
  row "static do-nothing program, fastest" "$(whole "$bench" do_nothing_min_us %.0f)000" ""
  row "w4_input_tests, terminal mode, fastest" "$(whole "$bench" product_min_us %.0f)000" "ratio $(whole "$bench" ratio_min %.3f)"
  row "static do-nothing program, median" "$(whole "$bench" do_nothing_median_us %.0f)000" ""
  row "w4_input_tests, terminal mode, median" "$(whole "$bench" product_median_us %.0f)000" "ratio $(whole "$bench" ratio_median %.3f)"
  row "static do-nothing program, median CPU" "$(whole "$bench" do_nothing_cpu_us %.0f)000" "$(whole "$bench" do_nothing_faults %.1f) faults"
  row "w4_input_tests, terminal mode, median CPU" "$(whole "$bench" product_cpu_us %.0f)000" "ratio $(whole "$bench" ratio_cpu %.3f), $(whole "$bench" product_faults %.1f) faults"
done

echo "== trace capture and resolution in process"
capture=$(ns trace_bench BM_CaptureTenFrames); bare=$(ns trace_bench BM_BareWalkTenFrames)
row "bare frame-pointer walk, 10 frames" "$bare" ""
row "captureStackTrace, the same 10 frames" "$capture" "ratio $(ratio "$capture" "$bare")"
row "resolve 32 frames (warm)" "$(ns trace_bench BM_ResolveThirtyTwoFramesWarm)" ""

echo "== trace resolution vs addr2line and llvm-symbolizer (cold processes)"
bash bench/trace_bench.sh build/default "${XOV_BENCH_RUNS:-100}"

echo "== cold trace through ten units of generated programs vs addr2line and llvm-symbolizer"
bash bench/fat_trace_bench.sh build/bench "${XOV_BENCH_FAT_RUNS:-50}"
