#!/usr/bin/env bash
# The stages that follow the plain suite in scripts/test.sh, each in its own build
# directory, with the time each took. TIDEMARK_TEST_STAGES picks them (default "none":
# the whole set has not yet been timed and proven green on an idle machine, so the plain
# run stays CTest's; e.g. TIDEMARK_TEST_STAGES="fuzz address thread release"):
#   fuzz     every fuzz target for a few seconds on its corpus (scripts/fuzz.sh)
#   address  the whole suite under ASan + LSan + UBSan (scripts/sanitize.sh address)
#   thread   TSan over dispatch, run loop, timers, URL session, processes, both
#            samplers and server supervision
#   release  GCC Release build (-O3: warnings only the optimiser sees)
#   clang    clang Debug build (the fuzz stage already builds most libraries with clang)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
stages="${TIDEMARK_TEST_STAGES:-none}"
[[ "$stages" == none ]] && exit 0
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi

build_only() {  # build_only DIR COMPILER TYPE
  CXX="$2" cmake -S "$root" -B "$1" -DCMAKE_BUILD_TYPE="$3" "${launcher[@]}" >/dev/null
  cmake --build "$1" -j "$(nproc)"
}

times=()
for stage in $stages; do
  start=$SECONDS
  echo "== Stage $stage"
  case "$stage" in
    fuzz) bash "$root/scripts/fuzz.sh" "${TIDEMARK_FUZZ_SMOKE_SECONDS:-3}" ;;
    address) bash "$root/scripts/sanitize.sh" address ;;
    thread) bash "$root/scripts/sanitize.sh" thread DispatchTests RunLoopTests URLSessionTests ProcessTests \
              metrics_sampler_tests NativeProcessSamplerTests NodeServerManagerTests ;;
    release) build_only "$root/build-release" g++ Release ;;
    clang) build_only "$root/build-clang" clang++ Debug ;;
    *) echo "Unknown stage $stage"; exit 2 ;;
  esac
  times+=("$(printf '%-8s %5d s' "$stage" $((SECONDS - start)))")
done
echo "== Stage times:"
printf '%s\n' "${times[@]}"
