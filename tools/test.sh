#!/usr/bin/env bash
# Builds and runs the whole test suite: the static product build with every
# test, the same tests under AddressSanitizer + UndefinedBehaviorSanitizer,
# and the concurrency tests under ThreadSanitizer.
# XOV_QUICK=1 runs the static build only.
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
  cmake --preset tsan >/dev/null
  cmake --build --preset tsan
  ctest --preset tsan -R "$concurrency_tests"
fi

stage "all passed"
