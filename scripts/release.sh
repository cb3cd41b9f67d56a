#!/usr/bin/env bash
# Builds every release artifact of the commit checked out (HEAD) into dist/:
# the source tarball bcdmon-VERSION.tar.gz, the Debian source package that
# adds debian/ to it (its .dsc and .debian.tar.xz), the Debian packages
# bcdmon (with the simulated device, the default) and bcdmon-comedi (the
# comedi device), the Windows ZIP, and SHA256SUMS of them all.
# The whole release is the commit: the tarball is made from it by git archive
# (debian/ left out, .gitattributes), the packages from that tarball and the
# commit's debian/, and the ZIP from that tarball, each from an
# unpacked copy of its own under build/dist/, so that nothing of the work
# tree gets in. Every build of one commit gives the same bytes: the tarball
# has the commit's times and no name or time in its gzip header; the packages
# are built as a packager builds them (scripts/deb.sh --tarball), their times
# their changelog entry's; the ZIP's times are the commit's
# (SOURCE_DATE_EPOCH, unless it is set already); the build folders are made
# afresh, and nothing is taken from who runs it.
# build/dist/debian/ keeps the .changes beside the packages, for lintian;
# dist/ holds what is published.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
require_packages "${build_packages[@]}" "${package_packages[@]}" g++-mingw-w64-i686 zip

# A tree of its own: an unpacked tarball inside a clone's build/ would
# otherwise release the clone's commit.
if [ "$(git rev-parse --show-toplevel 2>/dev/null)" != "$(pwd -P)" ] ||
  ! commit=$(git rev-parse -q --verify 'HEAD^{commit}'); then
  echo "Not a git checkout: a release is made from a commit. Run scripts/release.sh" \
    "in a clone of bcdmon's repository, with the commit to release checked out." >&2
  exit 1
fi
# What is not committed is not released, and the release says so rather than
# refuse: its every byte comes from the commit, which anyone can build again,
# so an edit left in the tree (a note, a test being written) cannot get in,
# and the release manager need not put it away first. One who meant to
# release an edit sees the line and commits it.
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
  echo "This is the release of commit $(git rev-parse --short "$commit"): the uncommitted" \
    "changes to tracked files are left out."
fi
version=$(git show "$commit:CMakeLists.txt" | sed -n 's/^project(bcdmon VERSION \([^ )]*\).*/\1/p')
if [ -z "$version" ]; then
  echo "CMakeLists.txt of commit $commit has no line project(bcdmon VERSION x.y.z" >&2
  exit 1
fi
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct "$commit")
fi
export SOURCE_DATE_EPOCH
umask 022
export LC_ALL=C TZ=UTC

rm -rf build/dist dist
mkdir -p dist build/dist/windows build/dist/packaging
tarball=dist/bcdmon-$version.tar.gz
# git archive gives each file the commit's time and its mode from git; these
# settings keep the releaser's git configuration out of the bytes: the modes
# 0644 and 0755 whatever tar.umask says, and the files as committed, with no
# line ends converted.
git -c tar.umask=0022 -c core.autocrlf=false archive --format=tar --prefix="bcdmon-$version/" \
  "$commit" | gzip -9n >"$tarball"

# The commit's debian/, which the tarball leaves out, its files with the
# commit's time as the tarball's have: git gives a tree the time of now.
git -c tar.umask=0022 -c core.autocrlf=false archive --prefix=debian/ "$commit:debian" | tar -x -C build/dist/packaging
find build/dist/packaging -exec touch -h -d "@$(git log -1 --format=%ct "$commit")" {} +
# dpkg-buildpackage takes the time from debian/changelog only where none is
# set: the package's own, whatever the commit.
env -u SOURCE_DATE_EPOCH scripts/deb.sh --tarball "$tarball" build/dist/packaging/debian \
  build/dist/debian
# The ZIP from another unpacked copy, built outside it. Warnings are not
# errors here: a new compiler's new warning must not stop a release of code
# that the presets have built clean.
tar -xzf "$tarball" -C build/dist/windows
cmake -S "build/dist/windows/bcdmon-$version" --preset win32 -B build/dist/win32 \
  -DBCDMON_BUILD_TESTS=OFF -DBCDMON_WERROR=OFF
cmake --build build/dist/win32
cmake --build build/dist/win32 --target package

cp build/dist/debian/bcdmon_*.dsc build/dist/debian/bcdmon_*.debian.tar.xz \
  build/dist/debian/bcdmon_*.deb build/dist/debian/bcdmon-comedi_*.deb \
  build/dist/win32/bcdmon-*-windows-*.zip dist/
(cd dist && sha256sum -- *.tar.gz *.dsc *.tar.xz *.deb *.zip >SHA256SUMS)
echo "Release of commit $commit in dist/:"
ls -l dist
cat dist/SHA256SUMS
