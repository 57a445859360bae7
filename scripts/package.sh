#!/usr/bin/env bash
# Builds the Debian package, installs it, and uses the installed copy as a host would: orvo and
# its demo, a C program built against it with find_package, with pkg-config and as a
# subdirectory, and the Python and C# bindings calling every entry point.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
orvo_install_packages "${ORVO_PACKAGES[@]}" dpkg-dev
build="$ORVO_ROOT/build/package"
orvo_build "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DORVO_BUILD_TESTS=OFF
(cd "$build" && cpack)
deb=$(ls "$build"/orvomodule_*.deb)
dpkg-deb --info "$deb" | sed -n '/Depends/p'
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --reinstall "$deb"

cd "$(mktemp -d)"
trap 'rm -rf "$PWD"' EXIT
export XDG_DATA_HOME="$PWD/data"
orvo --version
orvo demo >demo.log && tail -n 3 demo.log

consumer="$ORVO_ROOT/tests/consumer"
cmake -S "$consumer" -B by-package -G Ninja >/dev/null && cmake --build by-package >/dev/null
by-package/consumer
cc "$consumer/consumer.c" $(pkg-config --cflags --libs orvomodule) -o by-pkg-config
./by-pkg-config
cmake -S "$consumer" -B by-subdirectory -G Ninja -DORVO_SOURCE_DIR="$ORVO_ROOT" >/dev/null &&
  cmake --build by-subdirectory --target consumer >/dev/null
by-subdirectory/consumer

mcs -nologo -out:client.exe "$ORVO_ROOT/bindings/csharp/OrvoModule.cs" \
  "$ORVO_ROOT/tests/BindingClient.cs"
python3 "$ORVO_ROOT/tests/bindings_check.py" libOrvoModule.so.1 "$(
  sed -n 's/^ORVO_APP_GROUP_IDENTIFIER:STRING=//p' "$build/CMakeCache.txt")" \
  "$ORVO_ROOT/bindings" client.exe 2>/dev/null
