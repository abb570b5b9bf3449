#!/usr/bin/env bash
# clang-tidy (the checks in .clang-tidy) over the product code, using the
# default build's compile_commands.json (configured here when missing).
#   bash tools/tidy.sh              every product source file
#   bash tools/tidy.sh <files...>   just these
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v clang-tidy-16 >/dev/null; then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq clang-tidy-16
fi
[ -f build/default/compile_commands.json ] || cmake --preset default >/dev/null

if (($#)); then
  files=("$@")
else
  mapfile -t files < <(ls support/*.cpp memory/*.cpp failure/*.cpp debuginfo/*.cpp progress/*.cpp runner/*.cpp src/*.cpp)
fi

# The commands are GCC's; clang needs to be told that libstdc++ 12 may use
# its concepts (for std::expected), that GCC's gnu++23 is its gnu++2b, and
# to ignore GCC-only options. Options clang does not know at all (the ones
# that keep error sites apart) leave a filtered copy of the database.
mkdir -p build/tidy
sed -e 's/ -fno-crossjumping//g' -e 's/ -fno-tree-tail-merge//g' build/default/compile_commands.json \
  >build/tidy/compile_commands.json
# The path-sensitive analyzer explores at most 75,000 states per function
# (its lighter mode's budget, a third of the default): over these files
# the default budget cost 188 s of CPU against 117 s. Only a function whose
# exploration outgrows the smaller budget is analysed less deeply.
status=0
run-clang-tidy-16 -quiet -p build/tidy -j "${XOV_TIDY_JOBS:-2}" -extra-arg=-std=gnu++2b \
  -extra-arg=-U__cpp_concepts -extra-arg=-D__cpp_concepts=202002L -extra-arg=-Wno-unknown-warning-option \
  -extra-arg=-Wno-unused-command-line-argument \
  -extra-arg=-Xclang -extra-arg=-analyzer-config -extra-arg=-Xclang -extra-arg=max-nodes=75000 \
  "${files[@]/#/$PWD/}" >build/tidy.raw 2>&1 || status=$?
# The per-file chatter goes; what is left is findings (a clean run leaves
# nothing, which grep -v reports as a failure of its own).
grep -v -E '^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter|^clang-tidy-16 .*-quiet' \
  build/tidy.raw | tee build/tidy.log || true
if ((status != 0)) || grep -q -E '(warning|error): ' build/tidy.log; then
  echo "clang-tidy: findings above (build/tidy.log)" >&2
  exit 1
fi
echo "clang-tidy: clean (${#files[@]} files)"
