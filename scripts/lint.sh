#!/usr/bin/env bash
# Checks that need no build, so they fail fast: every source laid out as
# .clang-format says, and the product code clean under .clang-tidy's bug
# and performance checks (tests, benchmarks and fuzz targets are left to
# the sanitizers). `scripts/lint.sh --fix` lays the sources out instead.
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t sources < <(git ls-files '*.cpp' '*.h' '*.c')
if [[ ${1:-} == --fix ]]; then
  clang-format -i "${sources[@]}"
  exit 0
fi
clang-format --dry-run -Werror "${sources[@]}"
echo "lint: ${#sources[@]} sources laid out as .clang-format says"

# A compile database without a build: unity sources would hide a file's
# missing includes.
cmake -S . -B build/tidy -G Ninja -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DCMAKE_UNITY_BUILD=OFF \
      -DVELMORA_TESTS=OFF -DVELMORA_BENCH=OFF >/dev/null
mapfile -t product < <(python3 - <<'PY'
import json, os
root = os.getcwd()
for entry in json.load(open("build/tidy/compile_commands.json")):
    path = os.path.relpath(entry["file"], root)
    if not path.startswith(("build/", "bench/", "tests/", "fuzz/", "..")):
        print(path)
PY
)
printf '%s\n' "${product[@]}" | sort -u |
  xargs -P "$(nproc)" -n 4 clang-tidy -p build/tidy --quiet 2>/dev/null
echo "lint: ${#product[@]} product sources clean under .clang-tidy"
