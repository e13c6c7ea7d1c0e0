#!/usr/bin/env bash
# Builds everything and runs every test; CTest's closing lines give the count. Then the
# hardening stages of scripts/test-stages.sh that TIDEMARK_TEST_STAGES names (fuzz smoke,
# ASan/UBSan suite, TSan over the threaded parts, GCC Release build; none by default).
# TIDEMARK_SANITIZE=address|thread runs only the suite in that sanitizer's build instead.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
if [[ -n "${TIDEMARK_SANITIZE:-}" ]]; then
  exec bash "$root/scripts/sanitize.sh" "$TIDEMARK_SANITIZE"
fi
build="${TIDEMARK_BUILD_DIR:-$root/build}"
bash "$root/scripts/build.sh"
cd "$build"
# The .deb test (build, lintian, unpack) is slow, so only this full run includes it.
TIDEMARK_PACKAGE_TEST=1 ctest --output-on-failure -j "$(nproc)" --timeout 600
bash "$root/scripts/test-stages.sh"
