#!/usr/bin/env bash
# Builds the static product and runs it in terminal mode; extra arguments
# are passed on (for example --listen=-).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target w4_input_tests
exec ./build/default/src/w4_input_tests "$@"
