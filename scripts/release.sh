#!/usr/bin/env bash
# Builds every release artifact into dist/: the Debian packages, bcdmon (with
# the simulated device, the default) and bcdmon-comedi (the comedi device),
# the Windows ZIP, and SHA256SUMS of them all.
# Every build of one commit gives the same bytes: the package is built as a
# packager builds it (scripts/deb.sh), its times its changelog entry's; the
# ZIP's times are the last commit's (SOURCE_DATE_EPOCH, unless it is set
# already); the build folders are made afresh, and nothing is taken from who
# runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
require_packages "${build_packages[@]}" "${package_packages[@]}" g++-mingw-w64-i686 zip

if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  if ! SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null); then
    echo "Not a git checkout: set SOURCE_DATE_EPOCH to the time of the release." >&2
    exit 1
  fi
fi
export SOURCE_DATE_EPOCH
umask 022
export LC_ALL=C TZ=UTC

rm -rf build/dist dist
# dpkg-buildpackage takes the time from debian/changelog only where none is
# set: the package's own, whatever the commit.
env -u SOURCE_DATE_EPOCH scripts/deb.sh build/dist/debian
# Warnings are not errors here: a new compiler's new warning must not stop a
# release of code that the presets have built clean.
cmake --preset win32 -B build/dist/win32 -DBCDMON_BUILD_TESTS=OFF -DBCDMON_WERROR=OFF
cmake --build build/dist/win32
cmake --build build/dist/win32 --target package

mkdir dist
cp build/dist/debian/bcdmon_*.deb build/dist/debian/bcdmon-comedi_*.deb \
  build/dist/win32/bcdmon-*-windows-*.zip dist/
(cd dist && sha256sum -- *.deb *.zip >SHA256SUMS)
echo "Release in dist/:"
ls -l dist
cat dist/SHA256SUMS
