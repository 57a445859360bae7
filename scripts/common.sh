# Shared by the demo and test commands: installs what the build needs on Debian 12, then
# configures and builds from scratch into the given folder.
set -euo pipefail

ORVO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

ORVO_PACKAGES=(
  cmake ninja-build g++ pkg-config binutils
  libssl-dev openssl libpugixml-dev nlohmann-json3-dev liburiparser-dev
  libgtest-dev libgmock-dev libbenchmark-dev libplist-dev
  python3 python3-cryptography iso-codes strace mono-mcs mono-runtime
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
