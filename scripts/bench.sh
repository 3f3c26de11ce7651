#!/usr/bin/env bash
# Builds a Release tree and runs every benchmark; each prints its figures as
# ratios against a baseline measured in the same run.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/setup.sh"
bash "$here/scripts/build.sh" "$here/build/release" -DCMAKE_BUILD_TYPE=Release
# A benchmark that misses its target says so and the others still run.
missed=()
for bench in "$here"/build/release/bench/bench_*; do
  [ -x "$bench" ] || continue
  echo "== $(basename "$bench")"
  "$bench" || missed+=("$(basename "$bench")")
done
[ ${#missed[@]} -eq 0 ] || { echo "missed: ${missed[*]}"; exit 1; }
