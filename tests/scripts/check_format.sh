#!/usr/bin/env bash
# Every C++ source of ours is laid out as .clang-format says: clang-format
# changes nothing. Lists the files it would change and exits 1 when there is one.
set -euo pipefail
top=${1:?usage: check_format.sh REPOSITORY}
cd "$top"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files '*.cpp' '*.h')
else
  mapfile -t files < <(find . -path ./build -prune -o -path ./.deps -prune -o \
    -path ./tests/pages/node_modules -prune -o \( -name '*.cpp' -o -name '*.h' \) -print)
fi
[ "${#files[@]}" -gt 0 ] || { echo "check_format: no sources found under $top" >&2; exit 1; }
# One run over every file; it names each place it would change.
if out=$(clang-format --dry-run -Werror "${files[@]}" 2>&1); then
  echo "check_format: ${#files[@]} files checked"
  exit 0
fi
printf '%s\n' "$out" | grep -o '^[^:]*: *error\|^[^:]*:[0-9]*:[0-9]*: error' | cut -d: -f1 | sort -u |
  sed 's/^/not formatted (clang-format -i): /'
echo "check_format: ${#files[@]} files checked"
exit 1
