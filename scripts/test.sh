#!/usr/bin/env bash
# Builds everything from scratch and runs every test.
#   scripts/test.sh              the suite (and the benchmarks are built)
#   scripts/test.sh --sanitize   the suite under AddressSanitizer + UndefinedBehaviorSanitizer
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
orvo_install_packages "${ORVO_PACKAGES[@]}"
if [[ ${1:-} == --sanitize ]]; then
  build="$ORVO_ROOT/build/sanitize"
  orvo_build "$build" -DORVO_SANITIZE=ON
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
else
  build="$ORVO_ROOT/build/test"
  orvo_build "$build" -DORVO_BUILD_BENCHMARKS=ON
fi
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
