#!/usr/bin/env bash
# Builds and runs the whole test suite: the static product build with every
# test, the same tests under AddressSanitizer + UndefinedBehaviorSanitizer,
# the concurrency tests under ThreadSanitizer, the trace, panic and oracle
# tests built by clang, the compiler-check tests under link-time
# optimisation, a short run of every fuzz target from its committed corpus,
# and clang-tidy over the product code.
# XOV_QUICK=1 runs the static build only; XOV_FUZZ_SECONDS sets the fuzzing
# time per target (default 5: the committed corpora come from long runs, so
# CI replays them and explores briefly; long runs are tools/fuzz.sh's by
# hand; 0 skips the stage).
#
# The stages overlap so that both cores stay busy: the builds run one after
# the other, each build's tests run while the next preset builds, clang-tidy
# runs at a lower priority all along, and the time-bound fuzzing runs last,
# after the tests. Each step's output is printed whole when it ends, with the
# times it began and ended.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh

start=$(date +%s)
now() { echo $(($(date +%s) - start)); }
logs=build/ci
rm -rf "$logs"
mkdir -p "$logs"

# step <name> <command...>: runs the command with its output in a log of its
# own, then prints the log in one piece (steps end concurrently), with the
# CPU time the step took.
step() {
  local name=$1 begin status=0
  shift
  begin=$(now)
  { flock 9; echo "== $name: started ($begin s)"; } 9>"$logs/.print.lock"
  # Timed in a subshell of its own, which reaps only the step's processes.
  (
    TIMEFORMAT='%U %S'
    time "$@" >"$logs/$name.log" 2>&1
  ) 2>"$logs/$name.cpu" || status=$?
  local verdict=passed cpu
  ((status == 0)) || verdict="FAILED (exit status $status)"
  cpu=$(awk '{printf "%.0f", $1 + $2}' "$logs/$name.cpu")
  {
    flock 9
    echo "== $name: $verdict ($begin s -> $(now) s, $cpu s of CPU)"
    cat "$logs/$name.log"
  } 9>"$logs/.print.lock"
  return "$status"
}

# Background steps: the pid and the name of each, waited for by wait_all.
pids=()
names=()
background() {
  step "$@" &
  pids+=($!)
  names+=("$1")
}
failed=()
wait_all() {
  local i
  for i in "${!pids[@]}"; do
    wait "${pids[$i]}" || failed+=("${names[$i]}")
  done
  pids=()
  names=()
}
# clang-tidy runs apart from the other background steps: it ends last.
tidy_pid=
finish() {
  wait_all
  if [ -n "$tidy_pid" ]; then
    wait "$tidy_pid" || failed+=(clang-tidy)
  fi
  if ((${#failed[@]})); then
    echo "== failed: ${failed[*]} ($(now) s)"
    exit 1
  fi
  echo "== all passed ($(now) s)"
  exit 0
}
# must <name> <command...>: a step the next ones need.
must() {
  step "$@" || { failed+=("$1"); finish; }
}

# tests <build dir>: every test of a full build, each GoogleTest
# executable as one process (the tests labelled "whole"; the presets run
# them one by one instead, label "one").
tests() {
  ctest --test-dir "$1" -LE '^one$' -j 2 --output-on-failure
}

# build <preset> [cmake --build options...]
build() {
  local preset=$1
  shift
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" "$@"
}

# The folders include only from their own layer and the ones below it.
must layers bash tools/check_layers.sh
cmake --preset default >/dev/null
if [ "${XOV_QUICK:-0}" != 1 ]; then
  # clang-tidy needs the compile commands only: it starts now, at a lower
  # priority, so that it takes what the builds and tests leave idle and a
  # quarter of the machine besides (at the lowest priority a machine busy
  # with other work would hold it back indefinitely).
  step clang-tidy env XOV_TIDY_JOBS=2 nice -n 5 bash tools/tidy.sh &
  tidy_pid=$!
fi
must "static build" build default
background "static tests" tests build/default
[ "${XOV_QUICK:-0}" != 1 ] || finish

must "address and undefined-behaviour sanitizers build" build asan
background "address and undefined-behaviour sanitizers tests" tests build/asan

# Only the test executables holding concurrency tests (label "threads",
# given beside each in its CMakeLists.txt; read from the static build's test
# list), and their tests: building everything a third time would double
# this stage for tests it does not run.
mapfile -t tsan_targets < <(ctest --preset default -N -V -L threads |
  grep -o 'Test command: [^ ]*' | awk '{print $3}' | xargs -r -n1 basename | sort -u)
((${#tsan_targets[@]})) || { echo "no concurrency tests found" >&2; failed+=("thread sanitizer build"); finish; }
must "thread sanitizer build" build tsan --target "${tsan_targets[@]}"
background "thread sanitizer tests" ctest --preset tsan -L threads

# The product, the fixture and the trace, panic and oracle tests built by
# clang 16 (the whole suite passes under preset clang; building it all a
# fourth time would cost minutes for tests the static build already ran).
must "clang build" build clang --target stack_trace_e2e_test panic_e2e_test debuginfo_oracle_test
background "clang tests" ctest --preset clang -E '_NOT_BUILT$'

# The compiler's checks must survive GCC's link-time optimisation: the
# link-optimised fixture, run by the static build's panic tests, calls the
# panic handler's check entry points and panics on each check.
must "link-time optimisation build" build lto --target xov_fixture
background "link-time optimisation tests" env XOV_E2E_FIXTURE="$PWD/build/lto/tests/xov_fixture" \
  build/default/tests/failure/panic_e2e_test --gtest_filter='Compiler*'

if [ "${XOV_FUZZ_SECONDS:-5}" != 0 ]; then
  must "fuzz build" env XOV_FUZZ_BUILD_ONLY=1 bash tools/fuzz.sh
  # Fuzzing is bound by time: it waits for the tests and runs two targets
  # at a time (clang-tidy, if still running, yields most of the machine).
  wait_all
  step fuzzing env XOV_FUZZ_SECONDS="${XOV_FUZZ_SECONDS:-5}" XOV_FUZZ_JOBS=2 bash tools/fuzz.sh ||
    failed+=(fuzzing)
fi
finish
