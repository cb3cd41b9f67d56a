#!/usr/bin/env bash
# Builds the Debian packages with Debian's own tools (dpkg-buildpackage, which
# runs debian/rules), from a copy of the tree, so that nothing of an earlier
# build gets in, and puts the .deb files into OUT: bcdmon, bcdmon-comedi and
# their -dbgsym. Extra arguments go to DEB_BUILD_OPTIONS: nocheck skips the
# unit suites, which scripts/test.sh runs anyway, and with its build profile
# GoogleTest is not needed either.
#   deb.sh OUT [OPTION...]
set -euo pipefail
source=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "$1" && cd "$1" && pwd)
shift
scratch=$(mktemp -d "${TMPDIR:-/tmp}/bcdmon-deb-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
tree=$scratch/bcdmon
mkdir "$tree"
# The files git would track (the ignored left out), else all but the build
# folders. Each takes the time of the copy (-m), later than the changelog's
# entry, so that dpkg clamps every time in the package to the entry's: a file
# the checkout has not touched since before the entry would keep its own.
if git -C "$source" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git -C "$source" ls-files -z --cached --others --exclude-standard |
    (cd "$source" && tar --null -T - -cf -) | tar -xmf - -C "$tree"
else
  tar -C "$source" --exclude=./build --exclude=./dist -cf - . | tar -xmf - -C "$tree"
fi
profiles=${DEB_BUILD_PROFILES:-}
[[ " $* " != *" nocheck "* ]] || profiles+=" nocheck"
if ! (cd "$tree" && DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-} $*" DEB_BUILD_PROFILES="${profiles# }" \
  dpkg-buildpackage -us -uc -b) >"$scratch/build.log" 2>&1; then
  cat "$scratch/build.log" >&2
  echo "dpkg-buildpackage failed (above); its Build-Depends: sudo apt-get build-dep $source" >&2
  exit 1
fi
rm -f "$out"/*.deb
cp "$scratch"/*.deb "$out/"
ls "$out"/*.deb
