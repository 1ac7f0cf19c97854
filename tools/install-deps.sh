#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, if missing.
#
#   tools/install-deps.sh          everything
#   tools/install-deps.sh build    what configuring and building need
#   tools/install-deps.sh test     what only the tests need at run time
#                                  (QEMU, OVMF, mtools and UEFIExtract for the
#                                  firmware tests;
#                                  man, groff and mandoc for the zkboot
#                                  package's manual page), and the Debian
#                                  packages of the guest tests' Linux system,
#                                  downloaded (not installed) into
#                                  $ZKBOOT_GUEST_DEBS (/var/cache/zkboot-guest);
#                                  .ci/run installs these while the tree builds
set -euo pipefail
build_packages=(cmake g++ make python3 git clang-14 clang-format-14 lld-14 llvm-14 libgtest-dev libgmock-dev
                nlohmann-json3-dev libcli11-dev libclang-rt-14-dev libbenchmark-dev ninja-build)
test_packages=(qemu-system-x86 ovmf mtools uefitool-cli man-db groff-base mandoc e2fsprogs binutils)
# The guest's Linux system: unpacked by the guest tests, never installed here.
guest_packages=(linux-image-cloud-amd64 busybox-static efibootmgr libefiboot1 libefivar1 libpopt0 systemd-boot-efi)
guest_debs=${ZKBOOT_GUEST_DEBS:-/var/cache/zkboot-guest}
case "${1:-all}" in
  build) packages=("${build_packages[@]}") ;;
  test) packages=("${test_packages[@]}") guest=1 ;;
  all) packages=("${build_packages[@]}" "${test_packages[@]}") guest=1 ;;
  *)
    echo "usage: $0 [build|test|all]" >&2
    exit 2
    ;;
esac
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  export DEBIAN_FRONTEND=noninteractive
  # The package lists are fetched once; a second call within the hour (the
  # test packages after the build packages) uses them, unless they turn out
  # stale.
  if [ -z "$(find /var/lib/apt/lists -maxdepth 1 -name '*Packages*' -mmin -60 2>/dev/null | head -1)" ]; then
    $sudo apt-get update -qq
  fi
  if ! $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"; then
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
fi

# The guest packages, each once: the kernel metapackage is resolved to the
# versioned image package it names.
if [ "${guest:-0}" = 1 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  wanted=()
  for p in "${guest_packages[@]}"; do
    if [ "$p" = linux-image-cloud-amd64 ]; then
      p=$(apt-cache depends "$p" | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)$/\1/p' | head -1)
      [ -n "$p" ] || { echo "install-deps: no kernel package behind linux-image-cloud-amd64" >&2; exit 1; }
    fi
    ls "$guest_debs/${p}_"*.deb > /dev/null 2>&1 || wanted+=("$p")
  done
  if [ ${#wanted[@]} -gt 0 ]; then
    echo "downloading ${wanted[*]} into $guest_debs"
    $sudo mkdir -p "$guest_debs"
    (cd "$guest_debs" && $sudo apt-get download -qq "${wanted[@]}" 2>&1 | grep -v "unsandboxed" || true)
    for p in "${wanted[@]}"; do
      ls "$guest_debs/${p}_"*.deb > /dev/null 2>&1 || { echo "install-deps: $p was not downloaded" >&2; exit 1; }
    done
  fi
fi
