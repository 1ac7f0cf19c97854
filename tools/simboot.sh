#!/usr/bin/env bash
# Builds and runs the simulated notebook; arguments go to simboot.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake -S . -B build -DFIRMWARE_TESTS=OFF >/dev/null
cmake --build build -j2 --target simboot efi_image
exec ./build/simboot "$@"
