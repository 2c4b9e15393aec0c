#!/bin/sh
# Rebuilds the seed corpus of fuzz_package with mkpkg.
#   tests/fuzz/make_corpus.sh [BUILD_DIR]
set -eu
src=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$src/build}
mkpkg=$build/mkpkg
keys=$src/keys/test.keys
out=$src/tests/fuzz/corpus/package
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tree/bin" "$out"
echo hello > "$work/tree/readme"
printf '#!/bin/sh\necho hi\n' > "$work/tree/bin/tool"
chmod 755 "$work/tree/bin/tool"
ln -s bin/tool "$work/tree/link"
echo v1 > "$work/v1"
"$mkpkg" build -o "$out/plain-sha1.npk" --name plain --version 1.0 --build-time 0 --keys "$keys" "$work/tree"
"$mkpkg" build -o "$out/lists-sha256.npk" --name lists --version 6.48.1 --build-time 0 --digest sha256 \
  --arch mipsbe --note note --depends system:6.40:7.0 --provides lists:::3 --conflicts old \
  --variant "1:lib/v:$work/v1" --keys "$keys" "$work/tree"
"$mkpkg" build -o "$out/legacy.npk" --name legacy --version 2.6rc2 --build-time 0 --sign legacy \
  --keys "$keys" --image "$work/v1" "$work/tree"
"$mkpkg" build -o "$work/m1.npk" --name m1 --version 1.0 --build-time 0 --keys "$keys" "$work/tree"
"$mkpkg" build -o "$work/m2.npk" --name m2 --version 1.0 --build-time 0 --keys "$keys"
"$mkpkg" bundle -o "$out/bundle.npk" --name bund --version 1.0 --build-time 0 --member-list m2 \
  "$work/m1.npk" "$work/m2.npk"

# The saved manifest: every kind of line, escapes, malformed lines.
out=$src/tests/fuzz/corpus/manifest
mkdir -p "$out"
printf 'M /flash/bin/tool /flash/bin/tmpAbc123\nL /flash/lib/a.so liba.so.1\nU /flash/old\n' > "$out/kinds"
printf 'M /flash/with\\040space /ram/tmp\\011tab\\012lf\\134bs\nM /x /tmp/a b c\n' > "$out/escapes"
printf 'U /a\nQ skipped line\nM /b\nU /c\n' > "$out/malformed"
printf '\nM /never /read\n' > "$out/empty-first-line"
printf 'M /a /1\nM /a /2\nU /a/b\nL /a/b c\n' > "$out/same-target"

# The list files: the first byte chooses the form (odd: with the fourth column).
out=$src/tests/fuzz/corpus/list_file
mkdir -p "$out"
printf '0system 100689920 0\nroute 0 4294967295\n' > "$out/deps"
printf '1lists 0 0 3\nother\t1 2 -2147483648\n' > "$out/provides"
printf '1three 1 2\n' > "$out/provides-short"
printf '0a -1 2\n' > "$out/signed-min"
printf '0\n\n  \n' > "$out/blank"

# Version texts.
out=$src/tests/fuzz/corpus/version
mkdir -p "$out"
for v in 6.48 6.48.1 7.1beta3 2.6rc2 2.6alpha 0.0 255.255alpha255 02.5 2.5.0 2.6rc0 1.2gamma; do
  printf '%s' "$v" > "$out/text-$v"
done
printf '\x03\x66\x05\x02' > "$out/packed-2.5.3"
printf '\x00\x61\x06\x02' > "$out/packed-2.6alpha"
printf '\x07\x00\x05\x02' > "$out/packed-unknown-type"

# The database: pieces for p/image, p/version, p/deps, p/provides,
# p/conflicts, p/bundle, p/files, p/disabled, p/enabled, the schedule of p,
# the stored image of q, q/version, q/files, the schedule of q, separated by
# "\n%%\n"; "+" marks a file that is there.
out=$src/tests/fuzz/corpus/database
mkdir -p "$out"
database() {
  name=$1
  shift
  first=1
  for piece in "$@"; do
    if [ $first = 0 ]; then printf '\n%%%%\n'; fi
    first=0
    if [ "${piece#@}" != "$piece" ]; then printf '+'; cat "${piece#@}"; else printf '%s' "$piece"; fi
  done > "$out/$name"
}
pkgs=$src/tests/fuzz/corpus/package
database image-p "@$pkgs/plain-sha1.npk" - - - - - - +user - +uninstall "@$pkgs/bundle.npk" - - +enable
database bundle-image "@$pkgs/bundle.npk" - - - - - - - - - "@$pkgs/lists-sha256.npk"
database metadata "-" "+100689921 1700000000" "+system 0 0" "+lists 0 0 -1" "+old 1 2" \
  "+bund" "+flash/bin/tool
/etc/x

bin/rel" "+auto" - "+disable" - "+16805376 0" "+flash/q" "+  enable"
database malformed "-" "+-1 2" "+a 1" "+b 1 2" "+c x y" "+" "+" "+" "+" "+" "+" "+99999999999 0" "+" "+"
