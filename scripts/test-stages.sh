#!/usr/bin/env bash
# The hardening stages that scripts/test.sh runs before the plain suite, each in its own
# build directory, with the time each took. TIDEMARK_TEST_STAGES picks them (default
# "fuzz thread address release"; "none" for none):
#   fuzz     every fuzz target for a few seconds on its corpus (scripts/fuzz.sh)
#   thread   TSan over dispatch, run loop, timers, URL session, processes, both
#            samplers and server supervision
#   address  the whole suite under ASan + LSan + UBSan (scripts/sanitize.sh address)
#   release  GCC Release build of the shipped programs (-O3: warnings only the
#            optimiser sees)
#   clang    clang Debug build of everything
# The stages share a time budget (TIDEMARK_STAGES_BUDGET seconds, default 3000), so a
# slow machine cannot push the whole run past CI's limit: a stage still running when it
# is spent is stopped and fails, and the stages after it are skipped and fail too.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

if [[ "${1:-}" == --stage ]]; then  # one stage, run by the loop below under its timeout
  set -e
  launcher=()
  if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
  build_only() {  # build_only DIR COMPILER TYPE [TARGET...]
    CXX="$2" cmake -S "$root" -B "$1" -DCMAKE_BUILD_TYPE="$3" "${launcher[@]}" >/dev/null
    local dir="$1"
    shift 3
    cmake --build "$dir" -j "$(nproc)" ${1:+--target "$@"}
  }
  case "$2" in
    fuzz) exec bash "$root/scripts/fuzz.sh" "${TIDEMARK_FUZZ_SMOKE_SECONDS:-3}" ;;
    thread) exec bash "$root/scripts/sanitize.sh" thread DispatchTests RunLoopTests URLSessionTests LoopbackSessionTests ProcessTests \
              metrics_sampler_tests NativeProcessSamplerTests NodeServerManagerTests ;;
    address) exec bash "$root/scripts/sanitize.sh" address ;;
    # The shipped programs only: the whole tree at -O3 would not fit CI's time.
    release) build_only "$root/build-release" g++ Release Tidemark TidemarkServer tidemark-nettop ;;
    clang) build_only "$root/build-clang" clang++ Debug ;;
    *) echo "Unknown stage $2"; exit 2 ;;
  esac
  exit 0
fi

stages="${TIDEMARK_TEST_STAGES:-fuzz thread address release}"
[[ "$stages" == none ]] && exit 0
budget="${TIDEMARK_STAGES_BUDGET:-3000}"
begin=$SECONDS
times=()
failed=()
for stage in $stages; do
  left=$((budget - (SECONDS - begin)))
  if ((left <= 0)); then
    times+=("$(printf '%-8s skipped: the budget of %d s is spent' "$stage" "$budget")")
    failed+=("$stage")
    continue
  fi
  start=$SECONDS
  echo "== Stage $stage"
  # timeout signals its whole process group, so the builds and tests under it stop too.
  timeout --kill-after=30 "$left" bash "${BASH_SOURCE[0]}" --stage "$stage"
  status=$?
  if ((status == 124 || status == 137)); then
    result="stopped: the budget of $budget s is spent"
  elif ((status)); then
    result="failed ($status)"
  else
    result=ok
  fi
  ((status)) && failed+=("$stage")
  times+=("$(printf '%-8s %5d s  %s' "$stage" $((SECONDS - start)) "$result")")
done
echo "== Stage times:"
printf '%s\n' "${times[@]}"
if ((${#failed[@]})); then
  echo "== Failed stages: ${failed[*]}"
  exit 1
fi
