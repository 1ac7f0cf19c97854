#!/usr/bin/env bash
# Checks the PE32+ driver image: x64, EFI boot-service driver subsystem,
# relocatable (relocations not stripped; the table may be empty when the code
# holds no absolute address), no imports, entry point set. Prints the size by section
# and fails when the image is larger than its budget (24 KiB, 24,576 bytes;
# EFI_IMAGE_BUDGET=<bytes> sets another).
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
! grep -q 'IMAGE_FILE_RELOCS_STRIPPED' <<<"$hdr" || fail "image has its relocations stripped"
grep -q 'IMAGE_DLL_CHARACTERISTICS_DYNAMIC_BASE' <<<"$hdr" || fail "image is not relocatable"
size=$(stat -c %s "$img")
echo "efi image: $img"
echo "efi image: machine x64, subsystem 11 (EFI boot-service driver), entry $entry, relocations $relocs, no imports"

# Size by section: bytes in memory (VirtualSize) and in the file (RawDataSize);
# the headers take the file up to the first section's data.
headers=$size
while read -r key value _; do
  case $key in
    Name:) name=$value ;;
    VirtualSize:) memory=$((value)) ;;
    RawDataSize:) file=$((value)) ;;
    PointerToRawData:)
      at=$((value))
      if [ "$at" -ne 0 ] && [ "$at" -lt "$headers" ]; then headers=$at; fi
      printf 'efi image section %-8s %6d bytes in memory, %6d bytes in the file\n' "$name" "$memory" "$file"
      ;;
  esac
done < <("$readobj" --sections "$img")
printf 'efi image headers %-8s %6s                  %6d bytes in the file\n' "" "" "$headers"

# The budget in bytes; EFI_IMAGE_BUDGET overrides it (the tests use a smaller one).
budget=${EFI_IMAGE_BUDGET:-$((24 * 1024))}
[[ $budget =~ ^[0-9]+$ ]] || fail "EFI_IMAGE_BUDGET must be a number of bytes, not '$budget'"
kib=$(( (size + 1023) / 1024 ))
if [ "$size" -le "$budget" ]; then
  echo "efi image size: $size bytes ($kib KiB), within the budget of $budget bytes"
else
  fail "image size $size bytes ($kib KiB) is OVER the budget of $budget bytes"
fi
