# Shared by the demo and test commands: installs what the build needs on Debian 12, then
# configures and builds from scratch into the given folder.
set -euo pipefail

ORVO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

ORVO_PACKAGES=(
  cmake ninja-build g++ pkg-config binutils
  libssl-dev openssl libpugixml-dev nlohmann-json3-dev liburiparser-dev
  libgtest-dev libgmock-dev libbenchmark-dev libplist-dev
  python3 python3-cryptography iso-codes mono-mcs mono-runtime
)

orvo_install_packages() {
  local missing=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
      missing+=("$package")
  done
  if ((${#missing[@]})); then
    echo "Installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

# orvo_build <build folder> [cmake options...]
orvo_build() {
  local build=$1
  shift
  rm -rf "$build"
  cmake -S "$ORVO_ROOT" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
  cmake --build "$build" -j"$(nproc)"
}

# orvo_prepare_arm64 <folder> [more packages...]: Debian's cross toolchain for 64-bit Arm and the
# arm64 builds of the module's libraries (multiarch), for cmake/aarch64-linux-gnu.cmake.
# liburiparser-dev cannot be installed for two architectures at once: its arm64 build is
# unpacked into <folder> instead, and pkg-config pointed there (PKG_CONFIG_LIBDIR and
# PKG_CONFIG_SYSROOT_DIR are exported: call it in a subshell where pkg-config must find the
# host's libraries afterwards).
orvo_prepare_arm64() {
  local sysroot=$1
  shift
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    dpkg --add-architecture arm64
    apt-get update -qq
  fi
  orvo_install_packages cmake ninja-build pkg-config file crossbuild-essential-arm64 \
    libssl-dev:arm64 libpugixml-dev:arm64 nlohmann-json3-dev liburiparser1:arm64 "$@"
  rm -rf "$sysroot" && mkdir -p "$sysroot"
  (cd "$sysroot" && apt-get download -qq liburiparser-dev:arm64 liburiparser1:arm64 &&
    for deb in *.deb; do dpkg-deb -x "$deb" .; done)
  export PKG_CONFIG_LIBDIR="$sysroot/usr/lib/aarch64-linux-gnu/pkgconfig"
  export PKG_CONFIG_SYSROOT_DIR="$sysroot"
}
