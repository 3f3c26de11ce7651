#!/usr/bin/env bash
# Installs what the build and the tests need (Debian 12, as root).
# setup.sh [--browser]: --browser also installs Chromium and the browser-test packages.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
export DEBIAN_FRONTEND=noninteractive

packages=()
while read -r pkg; do
  [ -n "$pkg" ] && packages+=("$pkg")
done < "$here/tools/debian-packages.txt"
if [ "${1:-}" = "--browser" ]; then
  packages+=(chromium)
  command -v node >/dev/null 2>&1 || packages+=(nodejs)
  command -v npm >/dev/null 2>&1 || packages+=(npm)
fi

missing=()
for pkg in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update
  apt-get install -y "${missing[@]}"
fi

if [ "${1:-}" = "--browser" ] && [ -f "$here/tests/browser/package-lock.json" ]; then
  (cd "$here/tests/browser" && npm ci --no-audit --no-fund)
fi
