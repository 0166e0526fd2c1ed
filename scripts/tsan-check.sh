#!/usr/bin/env bash
# The concurrency tests under ThreadSanitizer: critical sections and the
# apartment bookkeeping, the class-object cache and activation racing
# CoFreeUnusedLibraries, the engine's sharing locks, and compdoc reading a
# batch on eight threads. Only the programs these need are built.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset tsan >/dev/null
cmake --build --preset tsan --target com_tests registration_tests cfb_locks_tests compdoc \
  make_sample Velmora velmora_typelibs >/dev/null

export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
export TZ=${TZ:-UTC}
build=build/tsan
"$build/tests/com_tests" --gtest_brief=1
"$build/tests/registration_tests" --gtest_brief=1 --gtest_filter='ActivationRaceTest.*'
"$build/tests/cfb_locks_tests" --gtest_brief=1

# A batch of made documents, read and listed on eight threads.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for i in $(seq 1 24); do
  "$build/make_sample" --links "$work/doc$i.doc" >/dev/null
  "$build/make_sample" --links "$work/book$i.xls" >/dev/null
done
export VELMORA_REGISTRY="$work/registry.db"
"$build/compdoc" register >/dev/null
"$build/compdoc" read -r -j 8 --json "$work" >/dev/null
"$build/compdoc" refs -r -j 8 --csv "$work" >/dev/null
echo "tsan-check: clean"
