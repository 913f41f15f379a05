#!/usr/bin/env bash
# Fails when a tracked C++ file differs from what clang-format makes of it.
set -euo pipefail
cd "$(dirname "$0")/.."
files=$(git ls-files '*.h' '*.hpp' '*.cpp' '*.cc')
[ -n "$files" ] || exit 0
status=0
for f in $files; do
  if ! clang-format --style=file "$f" | cmp -s - "$f"; then
    echo "not formatted: $f"
    status=1
  fi
done
exit $status
