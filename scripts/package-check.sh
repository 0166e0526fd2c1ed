#!/usr/bin/env bash
# The installed tree and the Debian package, checked from their installed
# paths: the tree is installed into a staging folder and packed with CPack;
# from the staged tree and from the unpacked .deb, compdoc reads a sample the
# project writes itself, and a host builds against the installed CMake
# package and the pkg-config file. With --apt (as root, on a machine where
# that is wanted) the .deb is also installed with apt, used from /usr/bin and
# removed again.
#   scripts/package-check.sh [--preset release|dev] [--apt] [--keep DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
preset=release apt=0 keep=""
while (($#)); do
  case $1 in
    --preset) preset=$2; shift ;;
    --apt) apt=1 ;;
    --keep) keep=$2; shift ;;
    *) echo "usage: $0 [--preset NAME] [--apt] [--keep DIR]" >&2; exit 2 ;;
  esac
  shift
done
source scripts/deps.sh
velmora_install "${VELMORA_BUILD_PACKAGES[@]}" dpkg-dev pkg-config
build=build/$preset
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target compdoc Velmora make_sample >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "package-check: $*" >&2; exit 1; }

DESTDIR="$work/stage" cmake --install "$build" --prefix /usr >/dev/null
(cd "$build" && cpack -G DEB -B "$work/deb" >/dev/null)
deb=$(ls "$work"/deb/velmora_*.deb)
dpkg-deb -x "$deb" "$work/unpacked"
[[ -n $keep ]] && cp "$deb" "$keep/"
"$build/make_sample" "$work/sample.doc" >/dev/null

# compdoc from $1/usr/bin, with nothing from the build tree in reach.
check_tree() {
  local root=$1 name=$2 usr=$1/usr
  local out
  out=$(env -u VELMORA_PLUGIN TZ=UTC "$usr/bin/compdoc" read "$work/sample.doc" Summary:Title) ||
    fail "$name: compdoc read failed"
  [[ $out == Summary$'\t'Title$'\t'VT_BSTR$'\t'?* ]] || fail "$name: compdoc read gave '$out'"
  out=$(printf '%s\n' "$work/sample.doc" "$work/missing.doc" |
        env -u VELMORA_PLUGIN "$usr/bin/compdoc" read -q -j 2 - Summary:Title 2>/dev/null) &&
    fail "$name: a missing document did not fail the batch"
  [[ $out == "$work/sample.doc"$'\t'Summary$'\t'Title$'\t'* ]] || fail "$name: batch gave '$out'"
  "$usr/bin/compdoc" --version | grep -q '^compdoc [0-9]' || fail "$name: --version"
  local libdir
  libdir=$(dirname "$(find "$usr/lib" -name 'libvelmora-platform.so' | head -1)")
  [[ -f $libdir/velmora/Velmora.so ]] || fail "$name: no plug-in under $libdir/velmora"
  [[ -f $usr/share/man/man1/compdoc.1 ]] || fail "$name: no manual page"
  man -l "$usr/share/man/man1/compdoc.1" 2>/dev/null | grep -q 'EXIT STATUS' ||
    grep -q 'EXIT STATUS' "$usr/share/man/man1/compdoc.1" || fail "$name: manual page"
  bash -n "$usr/share/bash-completion/completions/compdoc" || fail "$name: completion"

  cmake -S tests/package -B "$work/consumer-$name" -G Ninja -DCMAKE_PREFIX_PATH="$usr" >/dev/null
  cmake --build "$work/consumer-$name" >/dev/null
  out=$(LD_LIBRARY_PATH=$libdir "$work/consumer-$name/consumer" "$libdir/velmora/Velmora.so")
  [[ $out == doc,xls,ppt,pub,dot,vsd,mpp ]] || fail "$name: CMake-built host gave '$out'"

  local pc
  pc=$(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs velmora)
  # shellcheck disable=SC2086
  g++ -std=c++20 tests/package/consumer.cpp $pc -ldl -o "$work/pc-consumer-$name"
  out=$(LD_LIBRARY_PATH=$libdir "$work/pc-consumer-$name" "$libdir/velmora/Velmora.so")
  [[ $out == doc,xls,ppt,pub,dot,vsd,mpp ]] || fail "$name: pkg-config-built host gave '$out'"
  echo "package-check: $name: compdoc, plug-in, manual, completion, CMake package, pkg-config: ok"
}
check_tree "$work/stage" staged
check_tree "$work/unpacked" deb

if ((apt)); then
  cp "$deb" "$work/apt.deb"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$work/apt.deb" >/dev/null
  out=$(cd / && TZ=UTC compdoc read "$work/sample.doc" Summary:Title) || fail "apt: compdoc read failed"
  [[ $out == Summary$'\t'Title$'\t'VT_BSTR$'\t'?* ]] || fail "apt: compdoc read gave '$out'"
  DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq velmora >/dev/null
  echo "package-check: apt install ./$(basename "$deb"): ok"
fi
echo "package-check: $(basename "$deb") $(du -h "$deb" | cut -f1)"
