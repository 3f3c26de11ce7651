#!/usr/bin/env bash
# Builds the fuzz tree (clang-14, libFuzzer, ASan, UBSan) and runs every target
# of tests/fuzz for SECONDS each (default 60), starting from its committed seed
# corpus. Fails on any finding; the input that found it is kept under
# build/fuzz/findings/<target>/.
# fuzz.sh [SECONDS]; FUZZ_TARGETS="a b" limits the run to those targets.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
bash "$here/scripts/setup.sh"
build="$here/build/fuzz"
CC=clang-14 CXX=clang++-14 cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORVANE_FUZZ=ON
cmake --build "$build" -j "$(nproc)"

targets=${FUZZ_TARGETS:-}
if [ -z "$targets" ]; then
  for exe in "$build"/tests/fuzz/fuzz_*; do
    [ -x "$exe" ] && targets+=" $(basename "$exe" | sed 's/^fuzz_//')"
  done
fi
[ -n "$targets" ] || { echo "no fuzz targets built"; exit 1; }

passed=0; failed=0
for name in $targets; do
  exe="$build/tests/fuzz/fuzz_$name"
  work="$build/corpus/$name"; findings="$build/findings/$name"
  # The run grows a scratch copy: the committed seeds stay as they are.
  rm -rf "$work"; mkdir -p "$work" "$findings"
  [ -d "$here/tests/fuzz/corpus/$name" ] && cp -r "$here/tests/fuzz/corpus/$name/." "$work/"
  echo "== fuzz_$name for ${seconds}s"
  if (cd "$build" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
      "$exe" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
      -artifact_prefix="$findings/" "$work" 2>"$build/fuzz_$name.log"); then
    grep -E '^stat::number_of_executed_units|^Done' "$build/fuzz_$name.log" || true
    passed=$((passed + 1))
  else
    tail -n 60 "$build/fuzz_$name.log"
    echo "fuzz_$name: FINDING (inputs in $findings)"
    failed=$((failed + 1))
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
