#!/usr/bin/env bash
# Formatting and static analysis, as CI runs them.
#
#   scripts/check-style.sh           clang-format over every source, clang-tidy over src/
#   scripts/check-style.sh --format  clang-format only
#
# clang-tidy reads .clang-tidy; it needs the compile commands of a
# configured (not built) clang++ tree, which it makes in build/lint.
set -euo pipefail
cd "$(dirname "$0")/.."

format_only=0
[ "${1:-}" = --format ] && format_only=1
if ((format_only)); then
  scripts/deps.sh lint
else
  scripts/deps.sh build tests clang lint
fi

mapfile -t sources < <(git ls-files -- '*.cpp' '*.h')
echo "clang-format: ${#sources[@]} files"
clang-format --dry-run --Werror "${sources[@]}"

((format_only)) && exit 0

cmake -S . -B build/lint -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug \
      -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DQEL_BUILD_TESTS=OFF -DQEL_BUILD_TOOLS=OFF >/dev/null
mapfile -t units < <(git ls-files -- 'src/*.cpp')
echo "clang-tidy: ${#units[@]} files"
out=$(mktemp)
trap 'rm -f "$out"' EXIT
status=0
printf '%s\n' "${units[@]}" |
  xargs -P "$(nproc)" -n 4 clang-tidy -p build/lint --quiet --warnings-as-errors='*' >"$out" 2>&1 ||
  status=$?
if ((status)); then
  grep -E 'error:|warning:' "$out" | sort -u >&2 || cat "$out" >&2
  echo "clang-tidy: findings above (fix them, or say in a NOLINT(check) why not)" >&2
  exit 1
fi
echo "clang-tidy: clean"
