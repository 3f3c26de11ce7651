#!/usr/bin/env bash
# Sets up, builds a Release and a sanitizer build, and runs the whole suite in both;
# then the threaded suites under ThreadSanitizer and the fuzz targets.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/setup.sh" --browser
bash "$here/scripts/build.sh" "$here/build/release" -DCMAKE_BUILD_TYPE=Release
bash "$here/scripts/build.sh" "$here/build/asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORVANE_SANITIZE=ON \
  -DNORVANE_BUILD_BENCH=OFF
status=0
echo "== Release build"
(cd "$here/build/release" && ctest --output-on-failure -j "$(nproc)") || status=1
echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
(cd "$here/build/asan" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j "$(nproc)") || status=1
echo "== ThreadSanitizer build: the suites that run threads"
# Reports of the programs the tests start (norvane_serving) go to files too, since
# their standard error is the tests' to read; any report file fails the stage.
tsan="$here/build/tsan"
if cmake -S "$here" -B "$tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORVANE_SANITIZE=thread \
    -DNORVANE_BUILD_BENCH=OFF >/dev/null &&
  cmake --build "$tsan" -j "$(nproc)" --target test_stat test_timers test_controller test_net test_e2e \
    norvane_serving; then
  rm -rf "$tsan/reports"; mkdir -p "$tsan/reports"
  (cd "$tsan" && TSAN_OPTIONS="suppressions=$here/tests/tsan.supp log_path=$tsan/reports/tsan" \
    ctest --output-on-failure -j "$(nproc)" -L '^(stat|timers|controller|net|e2e)$') || status=1
  if [ -n "$(ls -A "$tsan/reports")" ]; then
    cat "$tsan"/reports/*
    echo "ThreadSanitizer reports above"
    status=1
  fi
else
  status=1
fi
echo "== Fuzz targets (libFuzzer, ASan, UBSan), ${NORVANE_FUZZ_SECONDS:-20} s each"
bash "$here/scripts/fuzz.sh" "${NORVANE_FUZZ_SECONDS:-20}" || status=1
exit $status
