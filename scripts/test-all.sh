#!/usr/bin/env bash
# Sets up a fresh Debian machine and runs every test: the unit, fault, lock,
# corpus and peer tests under ASan and UBSan; the concurrency tests under
# TSan; the compile check against the Windows SDK; the rooms' include
# edges and the 32-bit record layouts; the sources' layout and lint
# checks; a short run of each fuzz target;
# the installed tree and Debian package used from their installed paths; and
# Velmora.dll built for Windows, registered and run under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
velmora_install "${VELMORA_BUILD_PACKAGES[@]}" "${VELMORA_CHECK_PACKAGES[@]}" \
                "${VELMORA_WINE_PACKAGES[@]}"

export TZ=${TZ:-UTC}
# Fails fast: the rooms' include edges, the records' layouts, the sources'
# layout and the lint checks need no build.
bash scripts/layout-check.sh
bash scripts/lint.sh
cmake --workflow --preset asan
bash scripts/tsan-check.sh
bash scripts/mingw-check.sh
bash scripts/fuzz.sh short
bash scripts/package-check.sh
bash scripts/wine-check.sh
