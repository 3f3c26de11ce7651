#!/usr/bin/env bash
# Sets up, builds a Release and a sanitizer build, and runs the whole suite in both.
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
echo "== Fuzz targets (libFuzzer, ASan, UBSan), ${NORVANE_FUZZ_SECONDS:-20} s each"
bash "$here/scripts/fuzz.sh" "${NORVANE_FUZZ_SECONDS:-20}" || status=1
exit $status
