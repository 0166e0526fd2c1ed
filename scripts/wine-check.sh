#!/usr/bin/env bash
# Velmora.dll and compdoc.exe built with mingw-w64 and run on Wine's real
# component platform: exports, resources and version information of the DLL;
# regsvr32 and the keys read back with Wine's own reg; the corpus read by
# ProgID and compared with the expected attributes; regsvr32 /u and the keys
# gone. A fresh, headless WINEPREFIX each run. Where Wine differs from
# Windows, scripts/wine/differences.tsv lists the cases skipped, with causes.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
velmora_install "${VELMORA_BUILD_PACKAGES[@]}" "${VELMORA_WINE_PACKAGES[@]}"

start=$SECONDS
cmake --preset mingw64 >/dev/null
cmake --build --preset mingw64 --target Velmora compdoc
build=build/mingw64
objdump=x86_64-w64-mingw32-objdump

failures=0
fail() { echo "wine-check: FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "wine-check: ok: $*"; }

# --- The DLL as the tools see it -------------------------------------------
exports=$($objdump -p $build/Velmora.dll |
          sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '$1=="[" && NF==3 {print $3}' | tr '\n' ' ')
[[ $exports == "DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer " ]] &&
  pass "exports by name: $exports" || fail "exports are '$exports'"
resources=$($objdump -p $build/Velmora.dll | sed -n '/The .rsrc Resource Directory/,$p')
# Type REGISTRY with ids 102 (0x66) and 103 (0x67); TYPELIB 1; VERSION (16) 1.
grep -A8 ': REGISTRY,' <<<"$resources" | grep -q 'ID: 0x000066' &&
  grep -A8 ': REGISTRY,' <<<"$resources" | grep -q 'ID: 0x000067' &&
  grep -A3 ': TYPELIB,' <<<"$resources" | grep -q 'ID: 0x000001' &&
  grep -A3 'Entry: ID: 0x000010' <<<"$resources" | grep -q 'ID: 0x000001' &&
  pass "resources REGISTRY 102, 103, TYPELIB 1, VERSION 1" || fail "resources: $resources"
version=$(python3 scripts/wine/pe_version.py $build/Velmora.dll)
grep -qx 'OLESelfRegister=' <<<"$version" && grep -qx 'OriginalFilename=Velmora.dll' <<<"$version" &&
  pass "version information with OLESelfRegister" || fail "version information: $version"
for exe in Velmora.dll compdoc.exe; do
  dlls=$($objdump -p $build/$exe | awk '/DLL Name:/ {print tolower($3)}' | sort | tr '\n' ' ')
  extra=$(tr ' ' '\n' <<<"$dlls" | grep -vxE 'kernel32.dll|msvcrt.dll|ole32.dll|oleaut32.dll|advapi32.dll|user32.dll|' || true)
  [[ -z $extra ]] && pass "$exe imports only system libraries: $dlls" ||
    fail "$exe needs libraries a bare system lacks: $extra"
done

# --- A fresh Wine ---------------------------------------------------------
wine=${WINE:-$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)}
wineserver=${WINESERVER:-$(command -v wineserver || echo /usr/lib/wine/wineserver64)}
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" TZ=UTC
WINEPREFIX=$(mktemp -d /tmp/velmora-wine.XXXXXX)
unset DISPLAY WAYLAND_DISPLAY
cleanup() { "$wineserver" -k 2>/dev/null || true; rm -rf "$WINEPREFIX"; }
trap cleanup EXIT
"$wine" wineboot -i >/dev/null 2>&1 || true
"$wineserver" -p 60 2>/dev/null || true   # one server for the whole run
dir="$WINEPREFIX/drive_c/velmora"
mkdir -p "$dir"
cp $build/Velmora.dll $build/compdoc.exe "$dir/"
dll='C:\velmora\Velmora.dll'
w() { "$wine" "$@" 2>/dev/null | tr -d '\r'; }

# The keys of one class, as reg query /s prints them under HKCR.
class_keys() {  # CLSID NAME
  local clsid=$1 name=$2 desc="$2 Class"
  cat <<KEYS
HKEY_CLASSES_ROOT\\Velmora.$name.1|(Default)|$desc
HKEY_CLASSES_ROOT\\Velmora.$name.1\\CLSID|(Default)|$clsid
HKEY_CLASSES_ROOT\\Velmora.$name|(Default)|$desc
HKEY_CLASSES_ROOT\\Velmora.$name\\CLSID|(Default)|$clsid
HKEY_CLASSES_ROOT\\Velmora.$name\\CurVer|(Default)|Velmora.$name.1
HKEY_CLASSES_ROOT\\CLSID\\$clsid|(Default)|$desc
HKEY_CLASSES_ROOT\\CLSID\\$clsid\\InprocServer32|(Default)|$dll
HKEY_CLASSES_ROOT\\CLSID\\$clsid\\InprocServer32|ThreadingModel|Apartment
HKEY_CLASSES_ROOT\\CLSID\\$clsid\\ProgID|(Default)|Velmora.$name.1
HKEY_CLASSES_ROOT\\CLSID\\$clsid\\TypeLib|(Default)|{EEF90444-7203-CA1F-B072-9A3D5354BC0E}
HKEY_CLASSES_ROOT\\CLSID\\$clsid\\VersionIndependentProgID|(Default)|Velmora.$name
KEYS
}
formats='{0D8708AD-A9F4-C810-A862-5D84D75FBB4D}'
file='{51BA3E78-ECB2-16F4-A22E-A41505A64625}'
class_roots=("HKCR\\Velmora.CompDocFormats.1" "HKCR\\Velmora.CompDocFormats" "HKCR\\CLSID\\$formats"
             "HKCR\\Velmora.CompDocFile.1" "HKCR\\Velmora.CompDocFile" "HKCR\\CLSID\\$file")
typelib='HKCR\TypeLib\{EEF90444-7203-CA1F-B072-9A3D5354BC0E}'

# Every value under the class keys, one "key|name|data" a line, sorted.
registered_keys() {
  for root in "${class_roots[@]}"; do
    { w reg query "$root" /s || true; } | awk '
      /^HKEY_/ {key=$0; next}
      /^    / {sub(/^    /, ""); n=index($0, "    "); name=substr($0, 1, n-1); rest=substr($0, n+4);
             m=index(rest, "    "); print key "|" name "|" substr(rest, m+4)}'
  done | sort
}
expected_keys() { { class_keys "$formats" CompDocFormats; class_keys "$file" CompDocFile; } | sort; }

check_registered() {  # WHAT
  local got
  got=$(registered_keys)
  if [[ $got == "$(expected_keys)" ]]; then pass "$1: the class keys are exactly the scripts' keys"
  else fail "$1: keys differ:"; diff <(expected_keys) <(echo "$got") >&2 || true; fi
  w reg query "$typelib\\1.0\\0\\win32" | grep -q 'Velmora.dll' &&
    pass "$1: type library 1.0 registered" || fail "$1: type library not registered"
}

"$wine" regsvr32 /s "$dll" 2>/dev/null && pass "regsvr32 Velmora.dll" || fail "regsvr32 Velmora.dll"
check_registered "after regsvr32"
# ForceRemove: a value another tool left under the class key goes on re-registration.
"$wine" reg add "HKCR\\CLSID\\$formats" /v Stray /d stale /f >/dev/null 2>&1
"$wine" regsvr32 /s "$dll" 2>/dev/null && pass "regsvr32 again" || fail "regsvr32 again"
check_registered "after registering twice"

# --- The corpus through the real platform ----------------------------------
corpus=${VELMORA_CORPUS:-../shared/corpus}
if [[ ! -d $corpus/documents ]]; then
  echo "wine-check: skipped the corpus: no $corpus/documents (set VELMORA_CORPUS)"
else
  out=$(mktemp -d)
  docs=0 skipped=0 bad=0
  for doc in "$corpus"/documents/*; do
    name=$(basename "$doc")
    expected="$corpus/expected/$name.jsonl"
    [[ -f $expected ]] || { echo "wine-check: no expectations for $name"; continue; }
    docs=$((docs + 1))
    cp "$doc" "$dir/doc.bin"
    "$wine" 'C:\velmora\compdoc.exe' --progid Velmora.CompDocFormats.1 read --json \
      'C:\velmora\doc.bin' >"$out/got" 2>"$out/err" || true
    if ! python3 scripts/wine/compare.py "$expected" "$out/got" "$name" \
        scripts/wine/differences.tsv >"$out/cmp"; then
      fail "corpus $name:"; cat "$out/cmp" >&2; head -3 "$out/err" >&2; bad=$((bad + 1))
    elif grep -q skipped "$out/cmp"; then
      skipped=$((skipped + 1))
    fi
  done
  rm -rf "$out"
  pass "corpus: $docs documents read by ProgID, $bad differ, $skipped with recorded Wine differences skipped"
fi

# --- Unregistration --------------------------------------------------------
"$wine" regsvr32 /s /u "$dll" 2>/dev/null && pass "regsvr32 /u Velmora.dll" || fail "regsvr32 /u"
for root in "${class_roots[@]}" "$typelib"; do
  if "$wine" reg query "$root" >/dev/null 2>&1; then fail "$root still there after regsvr32 /u"; fi
done
"$wine" reg query 'HKCR\CLSID' >/dev/null 2>&1 && pass "keys gone, HKCR\\CLSID kept" ||
  fail "HKCR\\CLSID was removed"

echo "wine-check: $failures failures in $((SECONDS - start)) s"
exit $((failures > 0))
