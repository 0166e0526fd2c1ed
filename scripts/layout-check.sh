#!/usr/bin/env bash
# The host records' 32-bit layouts, asserted at compile time with -m32.
set -euo pipefail
cd "$(dirname "$0")/.."
g++ -m32 -std=c++20 -fsyntax-only -Werror -Iplatform/include -I. tests/host/record_layout_check.cpp
echo "layout-check: 32-bit host record layouts hold"
