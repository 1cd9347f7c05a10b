#!/usr/bin/env bash
# Builds the Debian package build/upgrade-package-tool_<version>_amd64.deb:
# the two programs alone (no tests, no benchmark), RelWithDebInfo with Debian's
# hardening flags, in a build folder of their own (build-deb/, kept between
# runs so a second run only rebuilds what changed), packed by CPack's DEB
# generator with dependencies from dpkg-shlibdeps. It installs only what
# building and packaging need (no test tools).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --package
dir=build-deb

# Debian's flags (stack protector, _FORTIFY_SOURCE, RELRO, BIND_NOW); CMake
# reads CXXFLAGS and LDFLAGS when it first configures the folder.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
eval "$(dpkg-buildflags --export=sh)"
export CXXFLAGS="$CPPFLAGS $CXXFLAGS"

cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
  -DBUILD_BENCHMARK=OFF -DENABLE_SANITIZERS=OFF >/dev/null
cmake --build "$dir" --parallel "$(nproc)"
rm -f "$dir"/*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
mkdir -p build
for deb in "$dir"/*.deb; do
  mv -f "$deb" build/
  echo "build/$(basename "$deb")"
done
