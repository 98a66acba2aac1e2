#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian package of both programs, build/package/pathtracer_<version>_<arch>.deb, with
# Debian's own tools (dpkg-buildpackage and debhelper, from debian/), then checks it with lintian.
# The package is the default build: one package runs at full speed on every CPU of the
# architecture. Install it with: sudo apt-get install ./build/package/pathtracer_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/packages.sh
install_missing_packages "${BUILD_PACKAGES[@]}" debhelper dpkg-dev fakeroot lintian

# The version is written twice, in CMake and in the changelog; they must agree.
cmake_version=$(sed -n 's/^project(pathtracer VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
package_version=$(dpkg-parsechangelog -S Version)
if [ "$cmake_version" != "$package_version" ]; then
    echo "package.sh: CMakeLists.txt says version $cmake_version, debian/changelog $package_version" >&2
    exit 1
fi

# dpkg-buildpackage writes its results next to the source tree: build a copy of the working
# tree (without build/ and .git) inside build/package.
out=build/package
rm -rf "$out"
mkdir -p "$out/source"
tar --exclude=./build --exclude=./.git -cf - . | tar -xf - -C "$out/source"
(cd "$out/source" && dpkg-buildpackage -b -us -uc -j"$(nproc)")
rm -rf "$out/source"

deb="$out/pathtracer_${package_version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || { echo "package.sh: no $deb was built" >&2; exit 1; }
lint_package "$deb"
echo "Built $deb"
