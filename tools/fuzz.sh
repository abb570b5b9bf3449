#!/usr/bin/env bash
# Builds the libFuzzer targets (preset fuzz: clang 16 with AddressSanitizer
# and UndefinedBehaviorSanitizer) and runs them from the committed corpus.
#   bash tools/fuzz.sh                    every target, XOV_FUZZ_SECONDS (10) each,
#                                         XOV_FUZZ_JOBS (1) of them at a time
#   bash tools/fuzz.sh <target> <seconds> one target, longer, by hand
# XOV_FUZZ_BUILD_ONLY=1 builds the targets and runs none.
# Targets: server relay dwarf source_line cfi walk. New inputs go to
# build/fuzz/corpus/<target>; a crash leaves its input in
# build/fuzz/artifacts/ and fails the run (make it a regression test and
# copy it into tests/fuzz/corpus/<target>/).
set -euo pipefail
cd "$(dirname "$0")/.."

# clang and its fuzzer runtime: needed by this stage only.
packages=(clang-16 libclang-rt-16-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi

all_targets=(server relay dwarf source_line cfi walk)
if (($# >= 1)); then
  targets=("$1")
  seconds=${2:-60}
else
  targets=("${all_targets[@]}")
  seconds=${XOV_FUZZ_SECONDS:-10}
fi

# Longest input per target: a few protocol messages; several relay
# messages of up to 255 records; a small executable; a source file
# spanning several read chunks; a call-frame table; registers and a
# 512-word stack.
max_len() {
  case $1 in
    server) echo 4096 ;;
    relay) echo 32768 ;;
    dwarf) echo 65536 ;;
    source_line) echo 20000 ;;
    cfi) echo 4096 ;;
    walk) echo 4233 ;;
    *) echo "unknown fuzz target: $1 (one of: ${all_targets[*]})" >&2; exit 2 ;;
  esac
}

for t in "${targets[@]}"; do max_len "$t" >/dev/null; done
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${targets[@]/%/_fuzz}"

[ "${XOV_FUZZ_BUILD_ONLY:-0}" != 1 ] || exit 0

# One target's run; its summary (or its failure) printed in one piece.
fuzz_one() {
  local t=$1
  mkdir -p "build/fuzz/corpus/$t"
  # New inputs land in the first (scratch) directory; the committed seeds
  # are read only.
  if ! "build/fuzz/tests/fuzz/${t}_fuzz" -max_total_time="$seconds" -max_len="$(max_len "$t")" \
    -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="build/fuzz/artifacts/$t-" \
    "build/fuzz/corpus/$t" "tests/fuzz/corpus/$t" 2>"build/fuzz/$t.log"; then
    { tail -n 60 "build/fuzz/$t.log"; echo "fuzz target $t failed; input in build/fuzz/artifacts/"; } >&2
    return 1
  fi
  echo "== fuzz $t for ${seconds} s: $(grep -E "^stat::number_of_executed_units|^stat::new_units_added|^Done" \
    "build/fuzz/$t.log" | tr '\n' ' ')"
}

# XOV_FUZZ_JOBS targets at a time (default 1); the time is per target.
mkdir -p build/fuzz/artifacts
jobs_max=${XOV_FUZZ_JOBS:-1}
running=0
status=0
for t in "${targets[@]}"; do
  if ((running >= jobs_max)); then
    wait -n || status=1
    running=$((running - 1))
  fi
  fuzz_one "$t" &
  running=$((running + 1))
done
while ((running > 0)); do
  wait -n || status=1
  running=$((running - 1))
done
exit "$status"
