#!/usr/bin/env bash
# Builds the Debian packages with Debian's own tools (dpkg-buildpackage, which
# runs debian/rules), in one of two ways.
#
# From the tree (the first form): it builds the binary packages from a copy
# of the tree, so that nothing of an earlier build gets in, and puts the .deb
# files into OUT: bcdmon, bcdmon-comedi and their -dbgsym.
#
# From an upstream tarball bcdmon-VERSION.tar.gz and the folder DEBIAN of
# the packaging, which the tarball leaves out (--tarball, as
# scripts/release.sh does): it builds as a Debian packager does, in OUT, which
# must be new or empty: the tarball goes there as bcdmon_VERSION.orig.tar.gz,
# is unpacked beside it, DEBIAN is copied into the tree as debian/, and
# dpkg-buildpackage builds the source package and the binaries. OUT keeps
# all that it makes: the .dsc, the .debian.tar.xz, the .changes, the
# .buildinfo, the .debs, the unpacked tree and build.log.
#
# Extra arguments go to DEB_BUILD_OPTIONS: nocheck skips the unit suites,
# which scripts/test.sh runs anyway, and with its build profile GoogleTest is
# not needed either.
#   deb.sh OUT [OPTION...]
#   deb.sh --tarball TARBALL DEBIAN OUT [OPTION...]
set -euo pipefail
source=$(cd "$(dirname "$0")/.." && pwd)
tarball=""
if [ "${1:-}" = --tarball ]; then
  tarball=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
  debian=$(cd "$3" && pwd)
  shift 3
fi
out=$(mkdir -p "$1" && cd "$1" && pwd)
shift
options=$*
profiles=${DEB_BUILD_PROFILES:-}
[[ " $options " != *" nocheck "* ]] || profiles+=" nocheck"

# Runs dpkg-buildpackage in TREE, with the arguments after the first three,
# its output into LOG; when it fails, shows the log and names what installs
# the Build-Depends of the debian/ in DEPS.
build() {
  local tree=$1 log=$2 deps=$3
  shift 3
  if ! (cd "$tree" && DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:-} $options" \
    DEB_BUILD_PROFILES="${profiles# }" dpkg-buildpackage -us -uc "$@") >"$log" 2>&1; then
    cat "$log" >&2
    echo "dpkg-buildpackage failed (above); its Build-Depends: sudo apt-get build-dep $deps" >&2
    exit 1
  fi
}

if [ -n "$tarball" ]; then
  name=$(basename "$tarball" .tar.gz)
  version=${name#bcdmon-}
  if [ "$name" = "$(basename "$tarball")" ] || [ "$version" = "$name" ]; then
    echo "deb.sh: $tarball is not named bcdmon-VERSION.tar.gz, as scripts/release.sh makes it" >&2
    exit 1
  fi
  if [ -n "$(ls -A "$out")" ]; then
    echo "deb.sh: $out is not empty: give a new folder, or empty this one" >&2
    exit 1
  fi
  cp "$tarball" "$out/bcdmon_$version.orig.tar.gz"
  # The files keep the tarball's times, the commit's, as a packager's do:
  # dpkg clamps to the changelog entry's every later time, and the entry is
  # committed after it is written.
  tar -xzf "$out/bcdmon_$version.orig.tar.gz" -C "$out"
  if [ -e "$out/$name/debian" ] || [ ! -f "$debian/changelog" ]; then
    echo "deb.sh: the tarball holds a debian/, or $debian holds no changelog: give the" \
      "tarball that scripts/release.sh makes, and the debian/ of its commit" >&2
    exit 1
  fi
  cp -a "$debian" "$out/$name/debian"
  # dpkg-source looks for the orig tarball of the changelog's upstream
  # version: a tarball of another names the entry that is missing.
  logged=$(dpkg-parsechangelog -l "$out/$name/debian/changelog" -S Version)
  logged=${logged#*:}
  if [ "${logged%-*}" != "$version" ]; then
    echo "deb.sh: debian/changelog's top entry is $logged, not of the tarball's $version:" \
      "add an entry for $version-1 (RELEASING.md)" >&2
    exit 1
  fi
  build "$out/$name" "$out/build.log" "$out/$name"
  ls "$out"/*.deb
  exit 0
fi

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
build "$tree" "$scratch/build.log" "$source" -b
rm -f "$out"/*.deb
cp "$scratch"/*.deb "$out/"
ls "$out"/*.deb
