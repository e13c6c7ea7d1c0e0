#!/usr/bin/env bash
# Builds everything, runs the hardening stages of scripts/test-stages.sh (fuzz smoke, TSan
# over the threaded parts, ASan/UBSan suite, GCC Release build), then the whole plain suite
# last, so that CTest's summary closes the run. A failed stage fails the run, but the
# plain suite still runs. TIDEMARK_TEST_STAGES picks stages ("none": the plain suite only).
# TIDEMARK_SANITIZE=address|thread runs only the suite in that sanitizer's build instead.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
if [[ -n "${TIDEMARK_SANITIZE:-}" ]]; then
  exec bash "$root/scripts/sanitize.sh" "$TIDEMARK_SANITIZE"
fi
build="${TIDEMARK_BUILD_DIR:-$root/build}"
start=$SECONDS
bash "$root/scripts/build.sh"
echo "== Plain build: $((SECONDS - start)) s"
stages=0
bash "$root/scripts/test-stages.sh" || stages=$?
cd "$build"
# The .deb test (build, lintian, unpack) is slow, so only this full run includes it.
suite=0
TIDEMARK_PACKAGE_TEST=1 ctest --output-on-failure -j "$(nproc)" --timeout 600 || suite=$?
((suite)) && exit "$suite"
exit "$stages"
