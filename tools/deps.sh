#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail

# clang 16 with lld and its LLVM tools: the clang build, the oracle samples
# (lld, llvm-dwp, llvm-symbolizer-16 reads zstd sections), fuzzing and
# clang-tidy, which runs beside the fuzzers and so must not install anything.
packages=(g++ cmake ninja-build libgtest-dev libgmock-dev libbenchmark-dev zlib1g-dev libzstd-dev llvm binutils gdb bc time
          clang-16 lld-16 llvm-16 libclang-rt-16-dev clang-tidy-16)
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
