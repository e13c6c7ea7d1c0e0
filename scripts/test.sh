#!/usr/bin/env bash
# Builds everything and runs every test; CTest's closing lines give the count.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${TIDEMARK_BUILD_DIR:-$root/build}"
bash "$root/scripts/build.sh"
cd "$build"
# The .deb test (build, lintian, unpack) is slow, so only this full run includes it.
TIDEMARK_PACKAGE_TEST=1 ctest --output-on-failure -j "$(nproc)" --timeout 600
