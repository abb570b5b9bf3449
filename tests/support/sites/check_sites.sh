#!/usr/bin/env bash
# Builds the site probe (probe.cpp) with GCC and, when installed, clang 16,
# at -O0 to -O3, with and without link-time optimisation, and checks in each
# executable that every line marked "site" keeps a call of its own to a
# recording or panic entry point: the line must appear in the inline chain
# of some such call. Merged sites share one call, which names one line.
#   bash tests/support/sites/check_sites.sh <source dir> <work dir> [levels...]
# Levels default to -O0 -O1 -O2 -O3; the test suite checks -O2 (the product's
# build) and -O3 (the benchmarks').
set -euo pipefail
src=$1
work=$2
shift 2
levels=("$@")
((${#levels[@]})) || levels=(-O0 -O1 -O2 -O3)
here=$src/tests/support/sites
mkdir -p "$work"

# What everything linked with the runtime is compiled with (CMakeLists.txt:
# the product's flags, the compiler's safety checks, and for GCC the two
# options that keep error sites apart, which link-time optimisation keeps
# per function). GCC instruments the safety checks when it generates code,
# so its links get them too; clang's are in the objects already, and naming
# them at the link would pull in its own runtime.
common=(-std=gnu++2b -g -fno-omit-frame-pointer -mno-omit-leaf-frame-pointer -fno-exceptions -I "$src")
checks=(-fsanitize=signed-integer-overflow,shift,integer-divide-by-zero,bounds,unreachable,return
  -fno-sanitize-recover=all)
gcc_only=(-fno-crossjumping -fno-tree-tail-merge)
clang_only=(-U__cpp_concepts -D__cpp_concepts=202002L)

mapfile -t sites < <(grep -n '// site$' "$here/probe.cpp" | cut -d: -f1)
entries='returnError|noteErrorReturn|default_panic|unreachable|panicUnwrapError|debug::panic|invalidFree|__ubsan_handle'

failed=0
checked=0

# check <name> <compiler> <link flags...> -- <compile flags...>
check() {
  local name=$1 cxx=$2
  shift 2
  local link=()
  while [ "$1" != "--" ]; do link+=("$1"); shift; done
  shift
  local dir=$work/$name
  mkdir -p "$dir"
  "$cxx" "$@" -c "$here/probe.cpp" -o "$dir/probe.o"
  "$cxx" "$@" -c "$here/callers.cpp" -o "$dir/callers.o"
  "$cxx" "${link[@]}" "$dir/probe.o" "$dir/callers.o" "$dir/stubs.o" -o "$dir/probe"
  local addresses
  addresses=$(objdump -d --no-show-raw-insn -C "$dir/probe" |
    grep -E $'\t''call +[0-9a-f]+ <('"[^>]*($entries)"')' | sed -E 's/^ *([0-9a-f]+):.*/0x\1/' || true)
  local lines=""
  if [ -n "$addresses" ]; then
    # shellcheck disable=SC2086
    # GCC's link-time optimisation names the file of a function's first
    # lines "<artificial>"; the line numbers are right.
    lines=$(addr2line -i -e "$dir/probe" $addresses | grep -E '(/probe\.cpp|<artificial>):[0-9]+' |
      sed -E 's/.*(probe\.cpp|<artificial>):([0-9]+).*/\2/' | sort -un)
  fi
  local missing=()
  for s in "${sites[@]}"; do
    grep -qx "$s" <<<"$lines" || missing+=("$s")
  done
  checked=$((checked + 1))
  if ((${#missing[@]})); then
    failed=$((failed + 1))
    echo "$name: ${#missing[@]} of ${#sites[@]} sites share another site's call:"
    for s in "${missing[@]}"; do echo "  probe.cpp:$s: $(sed -n "${s}p" "$here/probe.cpp" | sed -E 's/^ +//')"; done
  else
    echo "$name: ${#sites[@]} sites, each its own call"
  fi
}

# configs <label> <compiler> <lto link flag or "none"> <flags for compiling and linking...>
configs() {
  local label=$1 cxx=$2 lto_link=$3 compile_only=()
  shift 3
  if [ "$label" = clang ]; then compile_only=("${checks[@]}"); else compile_only=("${gcc_only[@]}"); fi
  "$cxx" -std=gnu++2b -O2 -w "$@" -I "$src" -c "$here/stubs.cpp" -o "$work/stubs-$label.o"
  for level in "${levels[@]}"; do
    for lto in no yes; do
      [ "$lto" = yes ] && [ "$lto_link" = none ] && continue
      local name=$label$level
      local extra=()
      local link=("$@" "$level")
      if [ "$lto" = yes ]; then
        name=$name-flto
        extra=(-flto)
        link+=(-flto)
        [ -n "$lto_link" ] && link+=("$lto_link")
      fi
      mkdir -p "$work/$name"
      cp "$work/stubs-$label.o" "$work/$name/stubs.o"
      check "$name" "$cxx" "${link[@]}" -- "${common[@]}" "${compile_only[@]}" "$@" "$level" "${extra[@]}"
    done
  done
}

configs gcc g++ "" "${checks[@]}"
if command -v clang++-16 >/dev/null; then
  lto=none
  command -v ld.lld-16 >/dev/null && lto=-fuse-ld=lld-16
  [ "$lto" = none ] && command -v ld.lld >/dev/null && lto=-fuse-ld=lld
  configs clang clang++-16 "$lto" "${clang_only[@]}"
  [ "$lto" = none ] && echo "clang: no lld, link-time optimisation not checked"
else
  echo "clang++-16 not installed: clang not checked"
fi

echo "$checked configurations, $failed with shared sites"
((failed == 0))
