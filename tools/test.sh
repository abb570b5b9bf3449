#!/usr/bin/env bash
# Builds and runs the whole test suite: the static product build with every
# test, the same tests under AddressSanitizer + UndefinedBehaviorSanitizer,
# the concurrency tests under ThreadSanitizer, the trace, panic and oracle
# tests built by clang, the compiler-check tests under link-time
# optimisation, a short run of every fuzz target from its
# committed corpus, and clang-tidy over the product code.
# XOV_QUICK=1 runs the static build only; XOV_FUZZ_SECONDS sets the fuzzing
# time per target (default 5: the committed corpora come from long runs, so
# CI replays them and explores briefly; long runs are tools/fuzz.sh's by
# hand; 0 skips the stage).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh

# Tests that exercise threads; they are the ones worth ThreadSanitizer's time.
concurrency_tests='Mutex|ResetEvent|Stress|Concurren|Thread|Race'

start=$(date +%s)
stage() { echo "== $1 ($(( $(date +%s) - start )) s)"; }

stage "static build"
cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default

if [ "${XOV_QUICK:-0}" != 1 ]; then
  stage "address and undefined-behaviour sanitizers"
  cmake --preset asan >/dev/null
  cmake --build --preset asan
  ctest --preset asan

  stage "thread sanitizer"
  # Only the test executables holding concurrency tests (read from the
  # static build's test list), and what they run: building everything a
  # third time would double this stage for tests it does not run.
  mapfile -t tsan_targets < <(ctest --preset default -N -V -R "$concurrency_tests" |
    grep -o 'Test command: [^ ]*' | awk '{print $3}' | xargs -r -n1 basename | sort -u)
  ((${#tsan_targets[@]})) || { echo "no concurrency tests found" >&2; exit 1; }
  cmake --preset tsan >/dev/null
  cmake --build --preset tsan --target "${tsan_targets[@]}"
  ctest --preset tsan -R "$concurrency_tests"

  stage "clang"
  # The product, the fixture and the trace, panic and oracle tests built by
  # clang 16 (the whole suite passes under preset clang; building it all a
  # fourth time would cost minutes for tests the static build already ran).
  cmake --preset clang >/dev/null
  cmake --build --preset clang --target stack_trace_e2e_test panic_e2e_test debuginfo_oracle_test
  ctest --preset clang -E '_NOT_BUILT$'

  stage "link-time optimisation"
  # The compiler's checks must survive GCC's link-time optimisation: the
  # link-optimised fixture, run by the static build's panic tests, calls
  # the panic handler's check entry points and panics on each check.
  cmake --preset lto >/dev/null
  cmake --build --preset lto --target xov_fixture
  XOV_E2E_FIXTURE=$PWD/build/lto/tests/xov_fixture build/default/tests/failure/panic_e2e_test --gtest_filter='Compiler*'

  # clang-tidy is one process per file and fuzzing is time-bound, so the two
  # share the machine instead of taking turns.
  stage "clang-tidy, beside fuzzing"
  bash tools/tidy.sh >build/tidy.out 2>&1 &
  tidy_pid=$!
  if [ "${XOV_FUZZ_SECONDS:-5}" != 0 ]; then
    stage "fuzzing"
    XOV_FUZZ_SECONDS=${XOV_FUZZ_SECONDS:-5} bash tools/fuzz.sh
  fi
  tidy_status=0
  wait "$tidy_pid" || tidy_status=$?
  cat build/tidy.out
  ((tidy_status == 0)) || exit "$tidy_status"
fi

stage "all passed"
