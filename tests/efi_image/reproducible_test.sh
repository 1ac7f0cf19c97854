#!/usr/bin/env bash
# usage: reproducible_test.sh IMAGE.efi LLD-LINK FLAGS... -- OBJECTS...
# Links the image's objects twice more, a second apart, and expects both
# results to be the build's image byte for byte (a time stamp in the header
# would differ).
set -uo pipefail
img=${1:?image} link=${2:?lld-link}
shift 2
flags=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
  flags+=("$1")
  shift
done
shift
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
"$link" "${flags[@]}" /out:"$dir/first.efi" "$@" || exit 1
sleep 1.1
"$link" "${flags[@]}" /out:"$dir/second.efi" "$@" || exit 1
failures=0
for f in first second; do
  if ! cmp "$img" "$dir/$f.efi"; then
    echo "FAIL: the $f relink differs from $img"
    failures=$((failures + 1))
  fi
done
[ $failures -eq 0 ] && echo "efi image reproducible: $(stat -c %s "$img") bytes, $(sha256sum "$img" | cut -c1-16)..."
exit $((failures > 0))
