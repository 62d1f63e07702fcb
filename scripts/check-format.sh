#!/usr/bin/env bash
# Fails when a C++ file of the tree differs from what clang-format makes of it with the
# project's .clang-format (the differences are printed). Fix with clang-format -i on the files.
set -euo pipefail
cd "$(dirname "$0")/.."
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files --cached --others --exclude-standard -- \
    'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' 'bench/*.cpp' 'bench/*.h' \
    'fuzz/*.cpp' 'fuzz/*.h')
else
  mapfile -t files < <(find src tests bench fuzz -name '*.cpp' -o -name '*.h' | sort)
fi
clang-format --style=file --dry-run -Werror "${files[@]}"
echo "check-format: ${#files[@]} files formatted"
