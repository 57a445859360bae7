#!/usr/bin/env bash
# Cross-builds the library, the tests and orvo for 64-bit Arm (aarch64) and runs the whole
# GoogleTest suite under qemu-aarch64. On a fresh Debian 12 machine as root: installs Debian's
# cross toolchain, the arm64 builds of the libraries (multiarch) and qemu-user.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
orvo_prepare_arm64 "$ORVO_ROOT/build/arm64-uriparser" qemu-user libgtest-dev:arm64 \
  libgmock-dev:arm64 python3 openssl iso-codes
build="$ORVO_ROOT/build/arm64"
orvo_build "$build" -DCMAKE_TOOLCHAIN_FILE="$ORVO_ROOT/cmake/aarch64-linux-gnu.cmake"
file "$build/libOrvoModule.so.1.0.0" "$build/orvo"
# Emulated, every call is some ten times slower: the long loops run shortened.
export ORVO_TEST_LIGHT=1
start=$SECONDS
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" --timeout 1200
echo "the emulated suite took $((SECONDS - start)) s"
