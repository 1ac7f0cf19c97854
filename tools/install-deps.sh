#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, if missing.
#
#   tools/install-deps.sh          everything
#   tools/install-deps.sh build    what configuring and building need
#   tools/install-deps.sh test     what only the tests need at run time
#                                  (QEMU, OVMF, mtools and UEFIExtract for the
#                                  firmware tests;
#                                  man, groff and mandoc for the zkboot
#                                  package's manual page); .ci/run installs
#                                  these while the tree builds
set -euo pipefail
build_packages=(cmake g++ make python3 git clang-14 clang-format-14 lld-14 llvm-14 libgtest-dev libgmock-dev
                nlohmann-json3-dev libcli11-dev libclang-rt-14-dev libbenchmark-dev ninja-build)
test_packages=(qemu-system-x86 ovmf mtools uefitool-cli man-db groff-base mandoc)
case "${1:-all}" in
  build) packages=("${build_packages[@]}") ;;
  test) packages=("${test_packages[@]}") ;;
  all) packages=("${build_packages[@]}" "${test_packages[@]}") ;;
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
