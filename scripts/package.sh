#!/usr/bin/env bash
# Builds the Debian packages from debian/ (dpkg-buildpackage), checks them with lintian, installs
# them, and uses the installed copy as hosts do: orvo and its demo; C and C++ built against it
# with find_package, pkg-config and as a subdirectory; the Python package from the .deb and
# pip-installed into a venv, with mypy --strict; the C# binding from the NuGet package it builds
# (with the Unity package folder, and the library cross-built for 64-bit Arm).
# The test suite is not run again in the package build (nocheck): scripts/test.sh runs it.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
# Debian's own tools only (its python3 above all), as on a fresh machine.
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
orvo_install_packages "${ORVO_PACKAGES[@]}" dpkg-dev debhelper lintian dh-python \
  pybuild-plugin-pyproject python3-all python3-setuptools python3-wheel python3-venv \
  python3-pip mypy zip unzip
out="$ORVO_ROOT/build/package"
rm -rf "$out" && mkdir -p "$out/src"

# The build runs in a copy: dpkg-buildpackage writes beside its tree and into debian/.
tar -C "$ORVO_ROOT" --exclude=./build --exclude=./.git -cf - . | tar -C "$out/src" -xf -
fail() { echo "package.sh: $*" >&2; exit 1; }
(cd "$out/src" &&
  DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" dpkg-buildpackage -us -uc -b -Pnocheck) 2>&1 |
  tee "$out/build.log"
# A Debian build keeps warnings as warnings; with its hardening flags there must be none.
if grep -E '^[^ ]+:[0-9]+:[0-9]+: warning:' "$out/build.log"; then
  fail "the package build warns"
fi
lintian --fail-on error,warning "$out"/*.changes && echo "lintian: no error, no warning"
ls "$out"/liborvomodule1-dbgsym_*.deb "$out"/orvo-tools-dbgsym_*.deb >/dev/null
debs=("$out"/liborvomodule1_*.deb "$out"/liborvomodule-dev_*.deb "$out"/orvo-tools_*.deb
  "$out"/python3-orvomodule_*.deb)
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --reinstall "${debs[@]}"
version=$(dpkg-parsechangelog -l "$ORVO_ROOT/debian/changelog" -S Version)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export HOME="$work" XDG_DATA_HOME="$work/data"
# One version everywhere: the changelog, the library's project, the Python package.
[[ $(orvo --version) == "orvo $version, "* ]] || fail "orvo is not version $version"
[[ $(python3 -c 'import orvomodule; print(orvomodule.__version__)') == "$version" ]] ||
  fail "the Python package is not version $version"
orvo demo >demo.log && tail -n 3 demo.log

consumer="$ORVO_ROOT/tests/consumer"
cmake -S "$consumer" -B by-package -G Ninja >/dev/null && cmake --build by-package >/dev/null
by-package/consumer
cc "$consumer/consumer.c" $(pkg-config --cflags --libs orvomodule) -o by-pkg-config
./by-pkg-config
c++ -x c++ -Wall -Werror "$consumer/consumer.c" $(pkg-config --cflags --libs orvomodule) \
  -o by-pkg-config-cxx
./by-pkg-config-cxx
# A game that adds the source tree gets the library and nothing else: no test, no GoogleTest
# lookup, no build type in its cache.
cmake -S "$consumer" -B by-subdirectory -G Ninja -DORVO_SOURCE_DIR="$ORVO_ROOT" >/dev/null &&
  cmake --build by-subdirectory --target consumer >/dev/null
by-subdirectory/consumer
if grep -e GTest -e '^CMAKE_BUILD_TYPE:STRING=.' by-subdirectory/CMakeCache.txt ||
  cmake --build by-subdirectory --target help | grep _test; then
  fail "add_subdirectory brought the above into the game's build"
fi

# Python: the package from the .deb, found by its SONAME; pip into a venv from the source.
python3 -c 'import orvomodule, sys; sys.exit(not orvomodule.__file__.startswith("/usr/lib/python3/"))' ||
  fail "python3 does not import the installed package"
cp -R "$ORVO_ROOT/bindings/python" python-source
python3 -m venv --system-site-packages venv
venv/bin/pip install -q --no-build-isolation --no-index ./python-source
venv/bin/python -c 'import orvomodule, sys; sys.exit(not orvomodule.__file__.startswith(sys.prefix))' ||
  fail "the venv does not import the package pip installed"
venv/bin/python -c 'import orvomodule; orvomodule.Module().GetAllGames()'
python3 -m mypy --strict --no-incremental "$ORVO_ROOT/bindings/python/orvomodule"

# C#: the library for 64-bit Arm (the library only), then the NuGet and Unity packages.
arm64="$out/arm64"
(
  orvo_prepare_arm64 "$out/arm64-uriparser"
  export DEB_BUILD_MAINT_OPTIONS=hardening=+all DEB_HOST_ARCH=arm64
  flags() { dpkg-buildflags --get "$1"; }
  CFLAGS="$(flags CFLAGS) $(flags CPPFLAGS)" CXXFLAGS="$(flags CXXFLAGS) $(flags CPPFLAGS)" \
    LDFLAGS="$(flags LDFLAGS)" cmake -S "$ORVO_ROOT" -B "$arm64" -G Ninja -DCMAKE_BUILD_TYPE=None \
    -DCMAKE_TOOLCHAIN_FILE="$ORVO_ROOT/cmake/aarch64-linux-gnu.cmake" -DORVO_BUILD_TESTS=OFF \
    >/dev/null
  cmake --build "$arm64" --target OrvoModule -j"$(nproc)" >/dev/null
  aarch64-linux-gnu-strip --strip-unneeded -o "$arm64/libOrvoModule.so" "$arm64/libOrvoModule.so.1"
)
x64=$(pkg-config --variable=libdir orvomodule)/libOrvoModule.so.1
bash "$ORVO_ROOT/scripts/csharp_packages.sh" "$version" "$x64" "$arm64/libOrvoModule.so" "$out"
file -L "$x64" "$arm64/libOrvoModule.so" | sed 's/, BuildID.*//'

# The hosts: the installed Python package, and a Mono client against the assembly and library
# taken from the .nupkg.
mkdir nupkg && (cd nupkg && unzip -q "$out/Orvo.OrvoModule.$version.nupkg")
cp nupkg/lib/netstandard2.0/OrvoModule.dll nupkg/runtimes/linux-x64/native/libOrvoModule.so .
mcs -nologo -r:OrvoModule.dll -out:client.exe "$ORVO_ROOT/tests/BindingClient.cs"
python3 "$ORVO_ROOT/tests/bindings_check.py" libOrvoModule.so.1 \
  "$(orvo --version | sed 's/.*app group //')" client.exe 2>/dev/null
