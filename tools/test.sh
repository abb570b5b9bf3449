#!/usr/bin/env bash
# Builds and runs the whole test suite: the static product build with every
# test, then the sanitizer builds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh

start=$(date +%s)
cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default

echo "test suite: $(( $(date +%s) - start )) s"
