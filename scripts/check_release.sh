#!/usr/bin/env bash
# Builds the release of the commit checked out (HEAD) twice with
# scripts/release.sh, from two clones of the repository, one after the other,
# and fails when any artifact differs, naming it: the source tarball, the two
# .debs, the ZIP, SHA256SUMS, the source package's .dsc and debian tarball,
# and the program and every driver library and DLL inside the archives. What
# varies between the two: the clone's path and its length, the umask the clone
# is made and built under, and the time zone. The times of a checkout's files
# do not matter: the release takes none of them, as it is built from the
# tarball, whose files have the commit's.
# Then checks the first release as a user's tools see it: the tarball's one
# top folder bcdmon-VERSION with the commit's files but debian/ in it, no build path in
# any file, the hardening of every program and library in the packages read
# from the files, lintian on the .changes (the source package and the
# binaries) without any tag but those accepted below, a package bcdmon that
# depends on libc6 alone of libraries, with its conffile and maintainer
# scripts, and a bcdmon-comedi that adds libcomedi0 and needs bcdmon of its
# own version, both of the version of debian/changelog, which carries the
# program's, Windows files of at most 32 KiB, and SHA256SUMS.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
require_packages "${package_packages[@]}" zip unzip

commit=$(git rev-parse HEAD)
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
  echo "Checking the release of commit $(git rev-parse --short HEAD): uncommitted changes are left out"
fi
scratch=$(mktemp -d "${TMPDIR:-/tmp}/bcdmon-release-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
first=$scratch/a/bcdmon
second=$scratch/second/copy/of/bcdmon-source
# Each a clone of its own (--no-local: no object shared with this one) with
# the commit checked out; the second made under the umask it is built with.
git clone -q --no-local --no-checkout . "$first"
git -C "$first" checkout -q --detach "$commit"
(umask 077 && git clone -q --no-local --no-checkout . "$second" &&
  git -C "$second" checkout -q --detach "$commit")
# release.sh takes the time of the commit itself, as it does in a release.
env -u SOURCE_DATE_EPOCH "$first/scripts/release.sh" >"$scratch/first.log" 2>&1 ||
  { cat "$scratch/first.log"; exit 1; }
(umask 077 && env -u SOURCE_DATE_EPOCH TZ=Asia/Tokyo "$second/scripts/release.sh") \
  >"$scratch/second.log" 2>&1 || { cat "$scratch/second.log"; exit 1; }

failures=0
fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}

# Each release's archives unpacked in its tree: each package with its control
# files, in a folder named after it, and the ZIP.
for tree in "$first" "$second"; do
  mkdir -p "$tree/unpacked/zip"
  for deb in "$tree"/dist/*.deb; do
    dpkg-deb -R "$deb" "$tree/unpacked/$(dpkg-deb -f "$deb" Package)"
  done
  unzip -q "$tree"/dist/*.zip -d "$tree/unpacked/zip"
done

# The artifacts, by their path in a tree: what dist/ holds (the source
# package's .dsc and debian tarball among them, not the .changes and
# .buildinfo, which carry the time of the build), and the program, every
# driver library and DLL inside the archives.
artifacts=()
while IFS= read -r -d '' path; do
  artifacts+=("${path#"$first"/}")
done < <({
  find "$first/dist" -type f -print0
  find "$first/unpacked" -type f \( -name bcdmon -o -name libzepdriver.so -o -name bcdmon.exe \
    -o -name ZEPDRIVERDLL.dll \) -print0
} | sort -z)
echo "Same bytes from both builds?"
for artifact in "${artifacts[@]}"; do
  if [ ! -f "$second/$artifact" ]; then
    fail "$artifact: only in the first build"
  elif cmp -s "$first/$artifact" "$second/$artifact"; then
    printf '  same   %s  %s\n' "$(sha256sum <"$first/$artifact" | cut -c1-64)" "$artifact"
  else
    fail "$artifact differs between the builds"
  fi
done

dist=$first/dist
unpacked=$first/unpacked
# The tarball: one top folder, bcdmon-VERSION, and in it the files of the
# commit but debian/, which the source package adds, none more and none
# fewer.
upstream=$(sed -n 's/^project(bcdmon VERSION \([^ )]*\).*/\1/p' "$first/CMakeLists.txt")
top=bcdmon-$upstream
if [ ! -f "$dist/$top.tar.gz" ]; then
  fail "dist/ lacks $top.tar.gz: $(cd "$dist" && echo *)"
else
  tar -tzf "$dist/$top.tar.gz" >"$scratch/tarball.txt"
  git -C "$first" ls-tree -r --name-only HEAD | grep -v '^debian/' | LC_ALL=C sort \
    >"$scratch/commit.txt"
  outside=$(awk -v top="$top/" 'index($0, top) != 1' "$scratch/tarball.txt")
  [ -z "$outside" ] || fail "$top.tar.gz holds entries outside $top/: $outside"
  if diff <(grep -v '/$' "$scratch/tarball.txt" | cut -c$((${#top} + 2))- | LC_ALL=C sort) \
    "$scratch/commit.txt" >"$scratch/tarball.diff"; then
    echo "$top.tar.gz: the $(wc -l <"$scratch/commit.txt") files of commit $commit but debian/, in $top/"
  else
    cat "$scratch/tarball.diff" >&2
    fail "$top.tar.gz does not hold the files of commit $commit (< the tarball's alone, > the commit's alone)"
  fi
fi

deb=$(echo "$dist"/bcdmon_*.deb)
comedi_deb=$(echo "$dist"/bcdmon-comedi_*.deb)
if [ ! -f "$deb" ] || [ ! -f "$comedi_deb" ]; then
  echo "FAILED: dist/ lacks the package bcdmon or bcdmon-comedi: $(cd "$dist" && echo *)" >&2
  exit 1
fi
find "$unpacked" -name '*.gz' -exec gzip -d {} +
if grep -r -a -l -e "$scratch" -e "$(pwd)" "$dist" "$unpacked" >&2; then
  fail "a build path is inside the files above"
fi

# Hardened as Debian builds a package: each file bound now with full RELRO,
# the program position-independent, a canary in each (every one has a
# function with an array or a local whose address it passes on), a checked
# call wherever it imports a C library call that has a checked twin, and no
# .comment.
echo "Hardening, from the files of the packages:"
libc=$(g++ -print-file-name=libc.so.6)
checked_twins=$(readelf --dyn-syms -W "$libc" | sed -n 's/.* __\([a-z0-9_]*\)_chk@.*/\1/p' | sort -u)
[ -n "$checked_twins" ] || fail "no checked calls found in $libc"
check_hardening() {
  local file=$1 name=${1#"$unpacked/"} type flags imports checked
  type=$(readelf -hW "$file" | sed -n 's/^ *Type: *//p')
  flags=$(readelf -dW "$file" | sed -n 's/.*(FLAGS_1) *Flags: *//p')
  imports=$(readelf --dyn-syms -W "$file" | awk '$7 == "UND" { sub(/@.*/, "", $8); print $8 }')
  checked=$( (grep -E '^__.+_chk$' <<<"$imports" || true) | paste -sd ' ')
  [[ " $flags " == *" NOW "* ]] || fail "$name is not bound now"
  readelf -lW "$file" | grep -q GNU_RELRO || fail "$name has no RELRO"
  if [[ "$name" == */bin/* ]] && [[ "$type" != DYN* || " $flags " != *" PIE "* ]]; then
    fail "$name is not position-independent"
  fi
  grep -qx __stack_chk_fail <<<"$imports" || fail "$name has no stack protector"
  if [ -z "$checked" ] && grep -qxF -f <(echo "$checked_twins") <<<"$imports"; then
    fail "$name calls the C library without its checks (no _FORTIFY_SOURCE)"
  fi
  if readelf -SW "$file" | grep -q ' \.comment '; then fail "$name has a .comment section"; fi
  echo "  $name: $type; FLAGS_1 $flags; GNU_RELRO; imports __stack_chk_fail${checked:+ $checked}"
}
while IFS= read -r -d '' binary; do
  check_hardening "$binary"
done < <(find "$unpacked"/bcdmon*/usr -type f \( -path '*/bin/*' -o -name '*.so' \) -print0 | sort -z)

# Every tag lintian knows, down to the pedantic ones, and the overridden
# ones shown too, on the source package and the binaries alike: the .changes
# names them all. The project overrides none, and any tag fails the check
# but these. Three need a public home that the project does not have yet: a
# debian/watch file, which tells where new tarballs appear; the Homepage
# field; and debian/upstream/metadata, which names the repository and where
# to report bugs (experimental in Debian 12's lintian, so not shown here).
accepted=(debian-watch-file-is-missing no-homepage-field upstream-metadata-file-is-missing)
changes=$(echo "$first"/build/dist/debian/*.changes)
echo "lintian --display-info --pedantic --show-overrides $(basename "$changes"):"
lintian_status=0
lintian --display-info --pedantic --show-overrides --fail-on error,warning,info,pedantic \
  "$changes" >"$scratch/lintian.txt" 2>"$scratch/lintian.err" || lintian_status=$?
cat "$scratch/lintian.txt"
# Each line a tag, "E: package[ type]: tag[ details]"; a line of another form
# is taken whole, and so is refused.
refused=$(sed -E 's/^[A-Z]: [^:]+: ([^ ]+)( .*)?$/\1/' "$scratch/lintian.txt" |
  grep -vxF -f <(printf '%s\n' "${accepted[@]}") || true)
if [ "$lintian_status" -ne 0 ] && [ "$lintian_status" -ne 2 ]; then
  cat "$scratch/lintian.err" >&2
  fail "lintian did not run (status $lintian_status)"
elif [ -n "$refused" ]; then
  fail "lintian: tags besides the accepted ones: $(echo "$refused" | sort -u | paste -sd ' ')"
elif [ -s "$scratch/lintian.txt" ]; then
  echo "  only the accepted tags"
else
  echo "  no tag"
fi

version=$(dpkg-deb -f "$deb" Version)
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends of bcdmon: $depends"
# Of the maintainer scripts' tools, debconf is debhelper's to name.
needed='^libc6( \([^,]*\))?, debconf \([^)]*\) \| debconf-2\.0, adduser, libcap2-bin$'
[[ "$depends" =~ $needed ]] ||
  fail "bcdmon depends on more than libc6 and the tools of its maintainer scripts"
# comedilib is the comedi device's alone, and the device is of the program
# beside it.
depends=$(dpkg-deb -f "$comedi_deb" Depends)
echo "Depends of bcdmon-comedi: $depends"
[[ "$depends" =~ ^libc6(\ \([^,]*\))?,\ libcomedi0(\ \([^,]*\))?,\ bcdmon\ \(=\ ([^\)]*)\)$ &&
  "${BASH_REMATCH[3]}" == "$version" ]] ||
  fail "bcdmon-comedi depends on other libraries than libc6 and libcomedi0, or on no bcdmon $version"
# The admin's setup is the package's: board.conf a conffile, the device an
# alternative (no driver of its own at the link), the grant applied by postinst.
[ "$(cat "$unpacked/bcdmon/DEBIAN/conffiles")" = /etc/bcdmon/board.conf ] ||
  fail "conffiles: $(cat "$unpacked/bcdmon/DEBIAN/conffiles")"
for script in postinst prerm postrm; do
  [ -x "$unpacked/bcdmon/DEBIAN/$script" ] || fail "no $script"
done
for package in bcdmon bcdmon-comedi; do
  [ ! -e "$unpacked/$package/usr/lib/bcdmon/libzepdriver.so" ] ||
    fail "usr/lib/bcdmon/libzepdriver.so is a file of $package, not the alternative's link"
done
# The package's version is debian/changelog's (bcdmon-comedi's is the one its
# Depends names, above), and the program it holds is the upstream version of
# it, as the man page's header says.
logged=$(dpkg-parsechangelog -l "$first/debian/changelog" -S Version)
[ "$version" = "$logged" ] || fail "package $version, debian/changelog $logged"
program=$(sed -n 's/^\.TH BCDMON 1 [^ ]* "bcdmon \([^"]*\)".*/\1/p' \
  "$unpacked/bcdmon/usr/share/man/man1/bcdmon.1")
[ "$program" = "${version%-*}" ] ||
  fail "package $version holds bcdmon ${program:-of no version}: the project's VERSION and debian/changelog differ"

for file in bcdmon.exe ZEPDRIVERDLL.dll; do
  size=$(stat -c %s "$unpacked"/zip/*/"$file")
  echo "$file: $size bytes"
  [ "$size" -le 32768 ] || fail "$file is larger than 32 KiB"
done

(cd "$dist" && sha256sum -c SHA256SUMS) || fail "SHA256SUMS does not match dist/"

if [ "$failures" -ne 0 ]; then
  echo "$failures release checks failed" >&2
  exit 1
fi
echo "Release reproducible and checked: $(cd "$dist" && echo *)"
