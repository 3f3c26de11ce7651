#!/usr/bin/env bash
# Sets up, builds, and serves the bundled example model on 0.0.0.0:24401.
# serve.sh [MODEL_DIR [HOST [PORT]]]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
bash "$here/scripts/setup.sh"
bash "$here/scripts/build.sh" "$here/build/release" -DCMAKE_BUILD_TYPE=Release
exec "$here/build/release/serving/norvane_serving" "${1:-$here/models/color_classifier}" "${2:-0.0.0.0}" "${3:-24401}"
