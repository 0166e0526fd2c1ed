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
# Each file's clean verdict is kept under the hash of what clang-tidy would
# see (the preprocessed text, comments and so NOLINTs kept, the checks and
# the tool's version), so a run after the last one checks only what changed.
python3 - "$(nproc)" <<'PY'
import concurrent.futures, hashlib, json, os, shlex, subprocess, sys
root = os.getcwd()
cache = os.path.join(os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"),
                     "velmora-tidy")
os.makedirs(cache, exist_ok=True)
salt = hashlib.sha256()
salt.update(subprocess.run(["clang-tidy", "--version"], capture_output=True).stdout)
salt.update(open(".clang-tidy", "rb").read())
entries = {}
for entry in json.load(open("build/tidy/compile_commands.json")):
    path = os.path.relpath(entry["file"], root)
    if not path.startswith(("build/", "bench/", "tests/", "fuzz/", "..")):
        entries[path] = entry

def check(path):
    entry = entries[path]
    args = shlex.split(entry["command"])
    if os.path.basename(args[0]) == "ccache":
        args = args[1:]
    out = args.index("-o")
    args = args[:out] + args[out + 2:] + ["-E", "-P", "-C"]
    pre = subprocess.run(args, cwd=entry["directory"], capture_output=True)
    key = None
    if pre.returncode == 0:
        # The clone's own path is not part of what is checked.
        h = salt.copy()
        h.update(path.encode() + b"\0" + pre.stdout.replace(root.encode(), b"@"))
        key = os.path.join(cache, h.hexdigest())
        if os.path.exists(key):
            return path, 0, b""
    run = subprocess.run(["clang-tidy", "-p", "build/tidy", "--quiet", path],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    if run.returncode == 0 and key:
        open(key, "wb").close()
    return path, run.returncode, run.stdout

failed = 0
with concurrent.futures.ThreadPoolExecutor(int(sys.argv[1])) as pool:
    for path, rc, out in pool.map(check, sorted(entries)):
        sys.stdout.buffer.write(out)
        failed += rc != 0
sys.stdout.flush()
if failed:
    print(f"lint: {failed} product sources not clean under .clang-tidy")
    sys.exit(1)
print(f"lint: {len(entries)} product sources clean under .clang-tidy")
PY
