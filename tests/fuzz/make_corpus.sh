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
