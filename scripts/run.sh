#!/usr/bin/env bash
# Builds everything and runs Tidemark (headless when there is no display).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/build.sh"
exec "${TIDEMARK_BUILD_DIR:-$root/build}/bin/Tidemark"
