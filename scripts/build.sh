#!/usr/bin/env bash
# build.sh DIR [cmake args...]: configures and builds into DIR.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
dir=$1; shift
cmake -S "$here" -B "$dir" "$@"
cmake --build "$dir" -j "$(nproc)"
