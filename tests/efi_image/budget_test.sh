#!/usr/bin/env bash
# usage: budget_test.sh check-efi-image.sh IMAGE.efi
# Runs the image check against budgets around the image's size and expects it
# to pass at the size, fail one byte below with the reason, and refuse a
# budget that is not a number and a file that is not a PE32+ image.
set -uo pipefail
check=${1:?check script} img=${2:?image}
size=$(stat -c %s "$img")
failures=0
expect() {  # expect <pass|fail> <text the output must contain> <budget or ''> [image]
  local want=$1 text=$2 budget=$3 image=${4:-$img} out rc
  if [ -n "$budget" ]; then
    out=$(EFI_IMAGE_BUDGET=$budget bash "$check" "$image" 2>&1); rc=$?
  else
    out=$(env -u EFI_IMAGE_BUDGET bash "$check" "$image" 2>&1); rc=$?
  fi
  if { [ "$want" = pass ] && [ $rc -ne 0 ]; } || { [ "$want" = fail ] && [ $rc -eq 0 ]; }; then
    echo "FAIL: budget '$budget' on $image: expected the check to $want, exit status $rc"; echo "$out"; failures=$((failures + 1))
  elif ! grep -qF -- "$text" <<<"$out"; then
    echo "FAIL: budget '$budget' on $image: output lacks \"$text\""; echo "$out"; failures=$((failures + 1))
  fi
}
expect pass "within the budget of $size bytes" "$size"
expect fail "image size $size bytes" "$((size - 1))"
expect fail "OVER the budget of $((size - 1)) bytes" "$((size - 1))"
expect fail "efi image section .text" "$((size - 1))"
expect fail "OVER the budget of 1024 bytes" 1024
expect pass "within the budget of 24576 bytes" ""  # the default: 24 KiB
expect fail "must be a number of bytes" "24k"
notpe=$(mktemp); trap 'rm -f "$notpe"' EXIT
head -c 4096 /dev/zero >"$notpe"
expect fail "" "$size" "$notpe"
[ $failures -eq 0 ] && echo "efi image budget: enforced ($size-byte image passes at $size, fails at $((size - 1)))"
exit $((failures != 0))
