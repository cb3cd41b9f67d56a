#!/usr/bin/env bash
# Builds the release twice with scripts/release.sh, from two copies of the
# tracked files at paths of different lengths, one after the other, the second
# with another umask and time zone, and fails when any artifact differs,
# naming it: the .deb, the ZIP, the program, every driver library and DLL.
# Then checks the first release as a user's tools see it: no build path in any
# file, lintian without an error or a warning, a package that depends on libc6
# alone and whose changelog has its version, Windows files of at most 32 KiB,
# and SHA256SUMS.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
require_packages "${package_packages[@]}" zip unzip

SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
export SOURCE_DATE_EPOCH
scratch=$(mktemp -d "${TMPDIR:-/tmp}/bcdmon-release-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
first=$scratch/a/bcdmon
second=$scratch/second/copy/of/bcdmon-source
for tree in "$first" "$second"; do
  mkdir -p "$tree"
  git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$tree"
done
"$first/scripts/release.sh" >"$scratch/first.log" 2>&1 || { cat "$scratch/first.log"; exit 1; }
(umask 077 && TZ=Asia/Tokyo "$second/scripts/release.sh") >"$scratch/second.log" 2>&1 ||
  { cat "$scratch/second.log"; exit 1; }

failures=0
fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}

# The artifacts, by their path in a tree: what dist/ holds, and every
# program, driver library and DLL of the two builds.
artifacts=()
while IFS= read -r -d '' path; do
  artifacts+=("${path#"$first"/}")
done < <(find "$first/dist" "$first/build/dist" -type f \
  -not -path '*/_CPack_Packages/*' -not -path '*/package/stage/*' \
  \( -name '*.deb' -o -name '*.zip' -o -name SHA256SUMS -o -name bcdmon \
  -o -name libzepdriver.so -o -name bcdmon.exe -o -name ZEPDRIVERDLL.dll \) -print0 | sort -z)
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
deb=$(echo "$dist"/*.deb)
zip=$(echo "$dist"/*.zip)
unpacked=$scratch/unpacked
mkdir -p "$unpacked/deb" "$unpacked/zip"
dpkg-deb -R "$deb" "$unpacked/deb"
unzip -q "$zip" -d "$unpacked/zip"
find "$unpacked" -name '*.gz' -exec gzip -d {} +
if grep -r -a -l -e "$scratch" -e "$(pwd)" "$dist" "$unpacked" >&2; then
  fail "a build path is inside the files above"
fi

echo "lintian $(basename "$deb"):"
lintian "$deb" 2>/dev/null | tee "$scratch/lintian.txt"
if grep -q '^[EW]:' "$scratch/lintian.txt"; then fail "lintian: errors or warnings"; fi

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
[[ "$depends" =~ ^libc6(\ \([^,]*\))?$ ]] || fail "the package depends on more than libc6"
version=$(dpkg-deb -f "$deb" Version)
logged=$(dpkg-parsechangelog -l "$first/packaging/changelog" -S Version)
[ "$version" = "$logged" ] || fail "package $version, changelog $logged"

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
