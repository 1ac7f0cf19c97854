#!/usr/bin/env bash
# usage: tools/zkboot/package.sh [BUILD-DIR]
# Builds the Debian package of the OS side (zkboot linked statically, its
# manual page, zkboot-once.service) in a release build directory of its own,
# default build-pkg, and prints the package's path as the last line.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
dir=${1:-$root/build-pkg}
if [ -f "$dir/CMakeCache.txt" ] && ! grep -q '^ZKBOOT_PACKAGE:BOOL=ON$' "$dir/CMakeCache.txt"; then
  echo "package.sh: $dir is a build of the whole tree; give a directory of its own" >&2
  exit 2
fi
generator=()
command -v ninja >/dev/null && [ ! -f "$dir/Makefile" ] && generator=(-G Ninja)
cmake -S "$root" -B "$dir" "${generator[@]}" -DZKBOOT_PACKAGE=ON -DCMAKE_BUILD_TYPE=Release >&2
cmake --build "$dir" -j"${JOBS:-2}" >&2
log=$(cd "$dir" && cpack -G DEB)
echo "$log" >&2
deb=$(echo "$log" | sed -n 's/^CPack: - package: \(.*\) generated\.$/\1/p')
[ -f "$deb" ] || { echo "package.sh: cpack named no package" >&2; exit 1; }
echo "$deb"
