#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds the plug-in and the compdoc host, and
# reads the attributes of a sample document that the project makes itself.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
velmora_install "${VELMORA_BUILD_PACKAGES[@]}"
cmake --preset release >/dev/null
cmake --build --preset release
sample=build/release/sample.doc
build/release/make_sample "$sample"
TZ=${TZ:-UTC} build/release/compdoc read "$sample"
