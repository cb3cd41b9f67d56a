#!/usr/bin/env bash
# Runs the package's tests (debian/tests) as Debian runs them, by autopkgtest
# on this machine (its null runner), as root: the package's life, started
# from the last release, 1.0.0-2, a run of the installed program, and
# bcdmon-comedi's device as a choice of the alternative. It builds the
# packages (all of them go to autopkgtest) and that release under
# build/package-tests, and keeps autopkgtest's log there. The life breaks
# the testbed, which the null runner cannot revert: it is run all the same,
# as it puts back what it changed and this machine is given to the tests.
# The tests install the packages system-wide, and the last leaves them
# installed: it refuses to run where bcdmon is installed or granted, and at
# its end purges them (bcdmon with bcdmon-comedi, which depends on it), and
# deletes the group bcdmon unless it was there before.
#   package_tests.sh
set -euo pipefail
cd "$(dirname "$0")/.."
program=/usr/bin/bcdmon
# The last release: the commit it was built from, and its package.
release_commit=546757b
release_deb=bcdmon_1.0.0-2_amd64.deb
out=build/package-tests

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

installed() {
  local status
  status=$(dpkg-query -W -f='${db:Status-Status}' bcdmon 2>/dev/null) && [ "$status" != not-installed ]
}

[ "$(id -u)" -eq 0 ] || fail "the tests install the package: run it as root"
if installed || dpkg-statoverride --list $program >/dev/null; then
  fail "bcdmon is installed here, or a grant of $program stands, which the tests would purge:" \
    "run them where no bcdmon is (a container or a virtual machine)"
fi
# A shallow clone lacks the release's commit: its history is fetched first.
if ! git cat-file -e "$release_commit^{commit}" 2>/dev/null &&
  [ "$(git rev-parse --is-shallow-repository)" = true ]; then
  git fetch --quiet --unshallow || true
fi
git cat-file -e "$release_commit^{commit}" 2>/dev/null ||
  fail "the last release's commit $release_commit is not in this clone: git fetch --unshallow"

rm -rf "$out"
mkdir -p "$out/release" "$out/source"
scripts/deb.sh "$out/debs" nocheck >/dev/null
git archive "$release_commit" | tar -x -C "$out/release"
# Built by its own scripts/deb.sh, which copies a tree it takes for no git
# checkout whole: the ceiling keeps git from finding this one around it.
GIT_CEILING_DIRECTORIES=$PWD/$out "$out/release/scripts/deb.sh" "$out/release/debs" nocheck \
  >"$out/release.log" 2>&1 ||
  { cat "$out/release.log" >&2; fail "the last release could not be built (above)"; }
# autopkgtest reads the tests from debian/ alone, and would copy all of a
# tree, the build folders too.
cp -r debian "$out/source/"

had_group=$(getent group bcdmon || true)
status=0
autopkgtest --summary-file="$out/summary" \
  --env=BCDMON_OLD_DEB="$PWD/$out/release/debs/$release_deb" --ignore-restrictions=breaks-testbed \
  "$out"/debs/*.deb "$out/source/" -- null >"$out/autopkgtest.log" 2>&1 || status=$?
if installed; then apt-get purge -y -q bcdmon >/dev/null; fi
if [ -z "$had_group" ] && getent group bcdmon >/dev/null; then groupdel bcdmon; fi

# Every test must pass, none skipped. autopkgtest's status alone would also
# fail the run where its clean-up's apt-get update meets a mirror mid-sync.
expected=$(sed -n 's/^Tests: *\(.*\)/\1 PASS/p' debian/tests/control)
passed=$(awk '{ print $1, $2 }' "$out/summary" 2>/dev/null || true)
cat "$out/summary" 2>/dev/null || true
if [ "$passed" != "$expected" ]; then
  cat "$out/autopkgtest.log" >&2
  fail "autopkgtest (status $status, its log above and in $out/autopkgtest.log)"
fi
if [ "$status" -ne 0 ]; then
  tail -n 5 "$out/autopkgtest.log" >&2
  echo "autopkgtest ended with status $status after every test passed (above)" >&2
fi
