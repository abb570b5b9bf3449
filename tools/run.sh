#!/usr/bin/env bash
# Builds the static product and runs it in terminal mode; extra arguments
# are passed on (for example --listen=-). It installs and builds only what
# the product needs (preset product: no tests).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh product
cmake --preset product >/dev/null
cmake --build --preset product --target w4_input_tests
exec ./build/product/src/w4_input_tests "$@"
