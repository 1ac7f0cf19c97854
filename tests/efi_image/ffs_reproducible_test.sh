#!/usr/bin/env bash
# usage: ffs_reproducible_test.sh FFSPACK IMAGE.efi FILE.ffs SOURCE-DIR BUILD-DIR
# Packs the image twice more, a second apart and from other directories, and
# expects both results to be the build's firmware file byte for byte; then
# checks that neither the image nor the file holds the source or the build
# directory's path (a path in a debug record or a string would make a build
# elsewhere differ).
set -uo pipefail
ffspack=${1:?ffspack} img=${2:?image} ffs=${3:?ffs} src=${4:?source dir} bin=${5:?build dir}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir/a" "$dir/b/c"
cp "$img" "$dir/a/BootCtlDxe.efi"
(cd "$dir/a" && "$ffspack" BootCtlDxe.efi first.ffs > /dev/null) || exit 1
sleep 1.1
(cd "$dir/b/c" && "$ffspack" "$img" second.ffs > /dev/null) || exit 1
failures=0
for f in a/first b/c/second; do
  if ! cmp "$ffs" "$dir/$f.ffs"; then
    echo "FAIL: packing again ($f.ffs) differs from $ffs"
    failures=$((failures + 1))
  fi
done
for path in "$src" "$bin" "$(realpath "$src")" "$(realpath "$bin")"; do
  for f in "$img" "$ffs"; do
    if grep -a -q -F "$path" "$f"; then
      echo "FAIL: $f holds the path $path"
      failures=$((failures + 1))
    fi
  done
done
[ $failures -eq 0 ] && echo "firmware file reproducible: $(stat -c %s "$ffs") bytes, $(sha256sum "$ffs" | cut -c1-16)..., no build path in it or the image"
exit $((failures > 0))
