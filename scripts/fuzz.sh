#!/usr/bin/env bash
# Builds the fuzz targets (tests/fuzz) with clang, libFuzzer, ASan and UBSan into
# build-fuzz/ and runs each for SECONDS (default 60) on a working copy of its checked-in
# corpus and regression inputs. Exits non-zero on any crash, leak or timeout; prints the
# executions and coverage of every target. Findings land in build-fuzz/findings/<target>/.
set -euo pipefail
seconds="${1:-60}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${TIDEMARK_FUZZ_BUILD_DIR:-$root/build-fuzz}"
bash "$root/scripts/install-deps.sh"   # clang and its runtime are in the package list
if [[ -f "$root/scripts/install-web-deps.sh" ]]; then bash "$root/scripts/install-web-deps.sh" >/dev/null; fi
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DTIDEMARK_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "${launcher[@]}" >/dev/null
cmake --build "$build" --target fuzz_targets -j "$(nproc)"

failed=()
summary=()
for binary in "$build"/fuzz/*Fuzzer; do
  name="$(basename "$binary")"
  work="$build/corpus/$name"
  findings="$build/findings/$name"
  mkdir -p "$work" "$findings"
  inputs=("$root/tests/fuzz/corpus/$name")
  [[ -d "$root/tests/fuzz/regressions/$name" ]] && inputs+=("$root/tests/fuzz/regressions/$name")
  log="$build/findings/$name.log"
  # New inputs go into the working copy only; the checked-in seeds stay small.
  if "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
       -print_final_stats=1 -artifact_prefix="$findings/" "$work" "${inputs[@]}" >"$log" 2>&1; then
    status=ok
  else
    status=FAILED
    failed+=("$name")
  fi
  runs="$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1 || true)"
  rate="$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1 || true)"
  cov="$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1 || true)"
  summary+=("$(printf '%-26s %-7s %12s runs %8s/s  %s' "$name" "$status" "${runs:-?}" "${rate:-?}" "${cov:-cov: ?}")")
  if [[ $status == FAILED ]]; then
    echo "== $name failed; last lines of $log:"
    tail -30 "$log"
  fi
done
echo "== Fuzzing, ${seconds} s per target:"
printf '%s\n' "${summary[@]}"
if ((${#failed[@]})); then
  echo "Failed: ${failed[*]} (inputs in $build/findings/)"
  exit 1
fi
