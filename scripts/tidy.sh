#!/usr/bin/env bash
# Static analysis: clang-tidy with the checked-in .clang-tidy over the module and the tools.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
orvo_install_packages "${ORVO_PACKAGES[@]}" clang-tidy
build="$ORVO_ROOT/build/tidy"
rm -rf "$build"
# Configuring is enough: clang-tidy reads the compile commands, not the objects.
cmake -S "$ORVO_ROOT" -B "$build" -G Ninja -DORVO_BUILD_TESTS=OFF >/dev/null
# The compile commands are GCC's: clang may not know all of its warning options.
run-clang-tidy -p "$build" -quiet -j"$(nproc)" -extra-arg=-Wno-unknown-warning-option "$ORVO_ROOT/src/.*\.cpp" "$ORVO_ROOT/tools/.*\.cpp"
