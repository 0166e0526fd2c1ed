#!/usr/bin/env bash
# Compiles every plug-in source and header against the real Windows SDK
# headers (mingw-w64), so the plug-in never drifts from the platform's real
# API. The SDK, not platform/include, is on the include path here.
set -uo pipefail
cd "$(dirname "$0")/.."
cxx=${MINGW_CXX:-x86_64-w64-mingw32-g++}
flags=(-std=c++20 -fsyntax-only -Wall -Werror -Wno-unknown-pragmas -I.)
status=0
count=0
log=$(mktemp)
while IFS= read -r src; do
  count=$((count + 1))
  if [[ $src == *.h ]]; then
    printf '#include "%s"\n' "$src" | "$cxx" "${flags[@]}" -x c++ - >"$log" 2>&1
  else
    "$cxx" "${flags[@]}" "$src" >"$log" 2>&1
  fi
  if [[ $? -ne 0 ]]; then
    head -40 "$log" >&2
    echo "mingw-check: $src does not compile against the Windows SDK" >&2
    status=1
  fi
done < <(find module format navigator propstore values storage host \( -name '*.cpp' -o -name '*.h' \) | sort)
rm -f "$log"
echo "mingw-check: $count plug-in files checked against the Windows SDK"
exit $status
