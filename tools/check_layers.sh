#!/usr/bin/env bash
# The runtime's folders are layers, each including only from itself and the
# layers below it. Prints the order; fails listing every upward include.
set -euo pipefail
cd "$(dirname "$0")/.."
layers=(support memory debuginfo failure progress runner src driver)
echo "layers, lowest first: ${layers[*]}"
declare -A rank
for i in "${!layers[@]}"; do rank[${layers[$i]}]=$i; done
status=0
for dir in "${layers[@]}"; do
  while IFS=: read -r file line text; do
    target=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"([^/"]+)\/.*/\1/' <<<"$text")
    if [ -n "${rank[$target]+set}" ] && ((rank[$target] > rank[$dir])); then
      echo "$file:$line: $dir includes from $target, a layer above it: $text"
      status=1
    fi
  done < <(grep -Hn '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^/"]*/' "$dir"/*.hpp "$dir"/*.cpp 2>/dev/null || true)
done
exit "$status"
