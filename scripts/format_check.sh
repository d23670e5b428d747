#!/usr/bin/env bash
# Fails when a tracked C++ file is not formatted as .clang-format says;
# `scripts/format_check.sh fix` formats them in place.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = fix ]; then
  clang-format -i "${files[@]}"
  exit 0
fi
if ! clang-format --dry-run -Werror "${files[@]}" 2>/tmp/quillo-format.$$; then
  grep -E '^[^ ].*: (warning|error):' /tmp/quillo-format.$$ | cut -d: -f1 | sort -u | sed 's/^/not formatted: /' >&2
  rm -f /tmp/quillo-format.$$
  echo "run scripts/format_check.sh fix" >&2
  exit 1
fi
rm -f /tmp/quillo-format.$$
