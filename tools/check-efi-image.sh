#!/usr/bin/env bash
# Checks the PE32+ driver image: x64, EFI boot-service driver subsystem, base
# relocations present, no imports, entry point set. Prints the image size.
set -euo pipefail
img=${1:?usage: check-efi-image.sh IMAGE.efi}
readobj=$(command -v llvm-readobj-14 || command -v llvm-readobj)
hdr=$("$readobj" --file-headers "$img")
fail() { echo "efi image check: $*" >&2; exit 1; }
grep -q 'Magic: 0x20B' <<<"$hdr" || fail "not a PE32+ image"
grep -q 'Machine: IMAGE_FILE_MACHINE_AMD64' <<<"$hdr" || fail "machine is not x64"
grep -q 'Subsystem: IMAGE_SUBSYSTEM_EFI_BOOT_SERVICE_DRIVER (0xB)' <<<"$hdr" || fail "subsystem is not 11"
entry=$(awk '/AddressOfEntryPoint:/ {print $2}' <<<"$hdr")
[ "$entry" != "0x0" ] || fail "no entry point"
imports=$(awk '/ImportTableSize:/ {print $2}' <<<"$hdr")
[ "$imports" = "0x0" ] || fail "image has imports"
relocs=$(awk '/BaseRelocationTableSize:/ {print $2}' <<<"$hdr")
[ "$relocs" != "0x0" ] || fail "image has no base relocations"
grep -q 'IMAGE_DLL_CHARACTERISTICS_DYNAMIC_BASE' <<<"$hdr" || fail "image is not relocatable"
size=$(stat -c %s "$img")
echo "efi image: $img"
echo "efi image: machine x64, subsystem 11 (EFI boot-service driver), entry $entry, relocations $relocs, no imports"
budget=$((24 * 1024))
if [ "$size" -le "$budget" ]; then
  echo "efi image size: $size bytes ($(( (size + 1023) / 1024 )) KiB), within the 24 KiB budget"
else
  echo "efi image size: $size bytes ($(( (size + 1023) / 1024 )) KiB), OVER the 24 KiB budget"
fi
