#!/usr/bin/env bash
# Builds everything from scratch and runs every test.
#   scripts/test.sh              the suite (and the benchmarks are built)
#   scripts/test.sh --sanitize   the suite under AddressSanitizer + UndefinedBehaviorSanitizer
#   scripts/test.sh --valgrind   the suite under valgrind memcheck (no leak, no invalid access),
#                                with the long loops shortened
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
orvo_install_packages "${ORVO_PACKAGES[@]}"
case ${1:-} in
  --sanitize)
    build="$ORVO_ROOT/build/sanitize"
    orvo_build "$build" -DORVO_SANITIZE=ON
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    ;;
  --valgrind)
    orvo_install_packages valgrind
    build="$ORVO_ROOT/build/memcheck"
    # Every test process runs under memcheck; programs it starts (python, openssl) do not.
    orvo_build "$build" "-DCMAKE_CROSSCOMPILING_EMULATOR=valgrind;--quiet;--error-exitcode=99;--leak-check=full;--show-leak-kinds=definite,indirect;--errors-for-leak-kinds=definite,indirect;--trace-children=no"
    export ORVO_TEST_LIGHT=1
    ;;
  *)
    build="$ORVO_ROOT/build/test"
    orvo_build "$build" -DORVO_BUILD_BENCHMARKS=ON
    ;;
esac
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
