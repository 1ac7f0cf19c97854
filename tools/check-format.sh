#!/usr/bin/env bash
# Fails when a tracked C++ source is not formatted as .clang-format says.
set -euo pipefail
cd "$(dirname "$0")/.."
fmt=$(command -v clang-format-14 || command -v clang-format)
mapfile -t files < <(git ls-files '*.cpp' '*.h')
"$fmt" --dry-run -Werror "${files[@]}"
echo "format: ${#files[@]} files clean"
