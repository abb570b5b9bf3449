#!/usr/bin/env bash
# Installs the Debian packages that are missing, with apt-get (root, or
# sudo).
#   bash tools/deps.sh product   what building and running the product needs
#   bash tools/deps.sh           that and what the whole test suite needs
set -euo pipefail

# The static product: a C++ compiler with its static C and C++ libraries,
# CMake and Ninja, and the static zlib and zstd that inflate compressed
# debug sections.
product=(g++ cmake ninja-build zlib1g-dev libzstd-dev)
# The tests and benchmarks: GoogleTest and Google Benchmark; clang 16 with
# lld and its LLVM tools (the clang build, the oracle samples, llvm-dwp,
# llvm-symbolizer-16, which reads zstd sections, fuzzing and clang-tidy,
# which runs beside the fuzzers and so must not install anything); GNU
# binutils (addr2line, c++filt, objcopy, readelf), gdb, bc and time.
suite=(libgtest-dev libgmock-dev libbenchmark-dev binutils gdb bc time
       clang-16 lld-16 llvm-16 libclang-rt-16-dev clang-tidy-16)

# install <apt-get options...> -- <package...>: the packages not yet installed.
install() {
  local options=() missing=() p
  while [ "$1" != -- ]; do options+=("$1"); shift; done
  shift
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  echo "installing: ${missing[*]}"
  local sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${options[@]}" "${missing[@]}"
}

case "${1:-all}" in
  product | all) ;;
  *) echo "usage: $0 [product|all]" >&2; exit 2 ;;
esac
# The product needs none of its packages' recommendations.
install --no-install-recommends -- "${product[@]}"
if [ "${1:-all}" = all ]; then
  install -- "${suite[@]}"
fi
