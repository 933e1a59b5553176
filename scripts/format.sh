#!/usr/bin/env bash
# Formats every tracked C and C++ file with the root .clang-format; --check only lists the files
# that differ and fails if there are any.
set -euo pipefail
cd "$(dirname "$0")/.."
format=clang-format-14
command -v "$format" >/dev/null || format=clang-format
mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h' 2>/dev/null || find src tools tests bench -name '*.c' -o -name '*.cpp' -o -name '*.h' | grep -v node_modules)
if [ "${1:-}" = "--check" ]; then
  if ! report="$("$format" --dry-run -Werror "${files[@]}" 2>&1)"; then
    printf '%s\n' "$report" | grep -oE '^[^: ]+:[0-9]+:[0-9]+: (error|warning)' | cut -d: -f1 | sort -u |
      sed 's/^/not formatted (run scripts\/format.sh): /' >&2
    exit 1
  fi
else
  "$format" -i "${files[@]}"
fi
