#!/usr/bin/env bash
# Installs what is missing and builds everything into build/ (or $TIDEMARK_BUILD_DIR).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${TIDEMARK_BUILD_DIR:-$root/build}"
bash "$root/scripts/install-deps.sh"
if [[ -f "$root/scripts/install-web-deps.sh" ]]; then
  bash "$root/scripts/install-web-deps.sh"
fi
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE="${TIDEMARK_BUILD_TYPE:-RelWithDebInfo}" >/dev/null
cmake --build "$build" -j "$(nproc)"
