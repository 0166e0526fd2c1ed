#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the peer checks use.
# Sourced by the other scripts; does nothing for packages already present.
set -euo pipefail

VELMORA_BUILD_PACKAGES=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev
                        libcli11-dev nlohmann-json3-dev libsqlite3-dev
                        mingw-w64-tools dpkg-dev pkg-config ccache)
VELMORA_CHECK_PACKAGES=(g++-multilib g++-mingw-w64-x86-64 clang libclang-rt-14-dev
                        clang-format clang-tidy
                        python3-olefile libimage-exiftool-perl libgsf-bin libolecf-utils
                        libreoffice-writer-nogui libreoffice-calc-nogui
                        libreoffice-impress-nogui)
# The Windows build and its run under Wine (scripts/wine-check.sh) only.
VELMORA_WINE_PACKAGES=(g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64-x86-64
                       binutils-mingw-w64-i686 mingw-w64-tools wine64
                       python3)

velmora_install() {
  local missing=()
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$pkg")
  done
  if ((${#missing[@]})); then
    local sudo=""
    [[ $(id -u) -eq 0 ]] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
      "${missing[@]}" >/dev/null
  fi
  # Every configure after this goes through ccache when it is there, so a
  # run after the last one compiles only what changed; an explicit launcher
  # is kept.
  if command -v ccache >/dev/null; then
    export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER:-ccache}
    export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
    # Paths inside the tree count relative to it, so a clone elsewhere
    # finds what another clone compiled.
    export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
    export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
  fi
}

