#!/usr/bin/env bash
# Builds everything (programs, libraries, tests, benchmarks, fuzz replays) with each
# compiler and build type, warnings as errors, each in build-matrix/<compiler>-<type>/,
# and prints one line per build with its result and time. Not part of CI (about an hour
# on two cores); CI builds the default and GCC Release of the programs.
#   bash scripts/build-matrix.sh ["gcc clang"] ["Debug RelWithDebInfo Release"]
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
compilers="${1:-gcc clang}"
types="${2:-Debug RelWithDebInfo Release}"
bash "$root/scripts/install-deps.sh" || exit 1
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
results=()
failed=0
for compiler in $compilers; do
  case "$compiler" in
    gcc) cxx=g++ ;;
    clang) cxx=clang++ ;;
    *) echo "Unknown compiler $compiler (gcc or clang)"; exit 2 ;;
  esac
  for type in $types; do
    dir="$root/build-matrix/$compiler-$type"
    log="$dir.log"
    mkdir -p "$dir"
    start=$SECONDS
    if CXX="$cxx" cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE="$type" "${launcher[@]}" >"$log" 2>&1 &&
       cmake --build "$dir" -j "$(nproc)" >>"$log" 2>&1; then
      result=ok
    else
      result="FAILED (see $log)"
      failed=1
      grep -m5 -E 'error:|Error ' "$log"
    fi
    results+=("$(printf '%-6s %-15s %5d s  %s' "$compiler" "$type" $((SECONDS - start)) "$result")")
  done
done
echo "== Builds, warnings as errors ($(g++ --version | head -1); $(clang++ --version | head -1))"
printf '%s\n' "${results[@]}"
exit "$failed"
