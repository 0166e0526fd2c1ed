#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each over its seeds and
# regressions: `short` for CI (a few seconds a target), `long` for a soak
# (VELMORA_FUZZ_SECONDS a target, 600 by default).
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-short}
seconds=10
[[ $mode == long ]] && seconds=${VELMORA_FUZZ_SECONDS:-600}

shopt -s nullglob
targets=(fuzz/*_fuzz.cpp)
if ((${#targets[@]} == 0)); then
  echo "fuzz: no targets yet"
  exit 0
fi
names=()
for src in "${targets[@]}"; do names+=("$(basename "$src" .cpp)"); done
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${names[@]}"
corpus=${VELMORA_CORPUS:-../shared/corpus}/documents
for name in "${names[@]}"; do
  work=$(mktemp -d)
  dirs=("$work")
  [[ -d fuzz/seeds/$name ]] && dirs+=("fuzz/seeds/$name")
  [[ -d fuzz/regressions/$name ]] && dirs+=("fuzz/regressions/$name")
  # Real documents make the best seeds for the engine; they stay where they are.
  [[ $name == cfb_open_fuzz && -d $corpus ]] && dirs+=("$corpus")
  echo "fuzz: $name for ${seconds}s"
  # The first folder is the scratch corpus: new finds go there, never into
  # the seeds or the shared documents.
  "build/fuzz/fuzz/$name" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
    -print_final_stats=1 "${dirs[@]}" 2>&1 | tail -5
  rm -rf "$work"
done
