#!/usr/bin/env bash
# usage: readme_sizes_test.sh README.md IMAGE.efi FILE.ffs
# The README's figures of the firmware file and the image it wraps, written
# "(N bytes for the M-byte image)" with thousands separators, are the sizes
# of this build's BootCtlDxe.ffs and BootCtlDxe.efi.
set -uo pipefail
readme=${1:?README} img=${2:?image} ffs=${3:?ffs}
grouped() { stat -c %s "$1" | sed ':a;s/\B[0-9]\{3\}\>/,&/;ta'; }
want="($(grouped "$ffs") bytes for the $(grouped "$img")-byte image)"
found=$(grep -o '([0-9,]* bytes for the [0-9,]*-byte image)' "$readme")
if [ -z "$found" ]; then
  echo "FAIL: $readme gives no '(N bytes for the M-byte image)'"
  exit 1
fi
status=0
while read -r line; do
  if [ "$line" != "$want" ]; then
    echo "FAIL: $readme says $line; this build makes $want"
    status=1
  fi
done <<< "$found"
[ $status -eq 0 ] && echo "README sizes true: $want"
exit $status
