#!/usr/bin/env bash
# Cross-builds the library, the tests and orvo for 64-bit Arm (aarch64) and runs the whole
# GoogleTest suite under qemu-aarch64. On a fresh Debian 12 machine as root: installs Debian's
# cross toolchain, the arm64 builds of the libraries (multiarch) and qemu-user.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  dpkg --add-architecture arm64
  apt-get update -qq
fi
orvo_install_packages cmake ninja-build pkg-config file crossbuild-essential-arm64 qemu-user \
  libssl-dev:arm64 libpugixml-dev:arm64 nlohmann-json3-dev liburiparser1:arm64 \
  libgtest-dev:arm64 libgmock-dev:arm64 python3 openssl iso-codes
build="$ORVO_ROOT/build/arm64"
# liburiparser-dev cannot be installed for two architectures at once: its arm64 build is
# unpacked into a folder of its own instead, and pkg-config pointed there.
sysroot="$ORVO_ROOT/build/arm64-uriparser"
rm -rf "$sysroot" && mkdir -p "$sysroot"
(cd "$sysroot" && apt-get download -qq liburiparser-dev:arm64 liburiparser1:arm64 &&
  for deb in *.deb; do dpkg-deb -x "$deb" .; done)
export PKG_CONFIG_LIBDIR="$sysroot/usr/lib/aarch64-linux-gnu/pkgconfig"
export PKG_CONFIG_SYSROOT_DIR="$sysroot"
orvo_build "$build" -DCMAKE_TOOLCHAIN_FILE="$ORVO_ROOT/cmake/aarch64-linux-gnu.cmake"
file "$build/libOrvoModule.so.1.0.0" "$build/orvo"
# Emulated, every call is some ten times slower: the long loops run shortened.
export ORVO_TEST_LIGHT=1
start=$SECONDS
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" --timeout 1200
echo "the emulated suite took $((SECONDS - start)) s"
