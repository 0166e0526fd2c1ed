#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each over its seeds and
# regressions:
#   short  CI: a few seconds a target
#   long   VELMORA_FUZZ_SECONDS a target (600 by default), scratch corpus
#   soak   VELMORA_FUZZ_SECONDS a target (3600 by default), all targets at
#          once at low priority, each with a corpus kept in
#          VELMORA_FUZZ_WORK (build/fuzz-work) so a soak can resume; then
#          each corpus is minimised into VELMORA_FUZZ_WORK/NAME.min, ready
#          to be copied over fuzz/seeds/NAME. With VELMORA_FUZZ_CPU_SECONDS
#          set, each target instead runs until it has used that much CPU
#          time, however long the machine makes it wait.
# VELMORA_FUZZ_TARGETS="a_fuzz b_fuzz" runs only those targets.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-short}
seconds=10
[[ $mode == long ]] && seconds=${VELMORA_FUZZ_SECONDS:-600}
[[ $mode == soak ]] && seconds=${VELMORA_FUZZ_SECONDS:-3600}

shopt -s nullglob
targets=(fuzz/*_fuzz.cpp)
if ((${#targets[@]} == 0)); then
  echo "fuzz: no targets yet"
  exit 0
fi
names=()
for src in "${targets[@]}"; do names+=("$(basename "$src" .cpp)"); done
# VELMORA_FUZZ_TARGETS names the targets to run (all by default).
if [[ -n ${VELMORA_FUZZ_TARGETS:-} ]]; then
  read -ra names <<<"$VELMORA_FUZZ_TARGETS"
fi
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "${names[@]}"
corpus=${VELMORA_CORPUS:-../shared/corpus}/documents

inputs() { # NAME: the read-only folders a target starts from
  [[ -d fuzz/seeds/$1 ]] && realpath "fuzz/seeds/$1"
  [[ -d fuzz/regressions/$1 ]] && realpath "fuzz/regressions/$1"
  # Real documents make the best seeds for the engine; they stay where they are.
  [[ $1 == cfb_open_fuzz && -d $corpus ]] && realpath "$corpus"
  return 0
}

cpu_used() { # PID: its user and system time in whole seconds
  local f
  read -ra f <"/proc/$1/stat" 2>/dev/null || return 1
  # Fields 14 and 15 after a command name without spaces.
  echo $(((f[13] + f[14]) / $(getconf CLK_TCK)))
}

cpu_budget() { # NAME SECONDS: ask the target to stop once it has used SECONDS
  local pid=""
  for _ in $(seq 60); do
    pid=$(pgrep -n -f "build/fuzz/fuzz/$1 ") && break
    sleep 1
  done
  [[ -n $pid ]] || return 0
  while used=$(cpu_used "$pid"); do
    if ((used >= $2)); then
      kill -USR1 "$pid" # libFuzzer stops gracefully and prints its stats
      return 0
    fi
    sleep 15
  done
}

if [[ $mode == soak ]]; then
  [[ -n ${VELMORA_FUZZ_CPU_SECONDS:-} ]] && seconds=$((86400 * 7))
  work=${VELMORA_FUZZ_WORK:-build/fuzz-work}
  mkdir -p "$work"
  for name in "${names[@]}"; do
    mkdir -p "$work/$name"
    mapfile -t from < <(inputs "$name")
    # Low priority: a soak takes what the machine leaves, and its CPU time
    # (not its wall time) is what it reports. The timeout is wall time, so
    # it is long enough that waiting for a core is not taken for a hang.
    ( cd "$work" && /usr/bin/time -f "$name: %U s user, %S s system, %e s wall" \
        nice -n 19 "$OLDPWD/build/fuzz/fuzz/$name" -max_total_time="$seconds" \
        -rss_limit_mb=2048 -timeout=120 -print_final_stats=1 \
        -artifact_prefix="$name-" "$name" "${from[@]}" \
        >"$name.log" 2>&1 ) &
  done
  if [[ -n ${VELMORA_FUZZ_CPU_SECONDS:-} ]]; then
    for name in "${names[@]}"; do cpu_budget "$name" "$VELMORA_FUZZ_CPU_SECONDS" & done
  fi
  wait
  for name in "${names[@]}"; do
    echo "== $name"
    grep -E '^(#[0-9]+.*(DONE|pulse)|stat::number_of_executed_units|stat::peak_rss_mb)' \
      "$work/$name.log" | tail -3
    tail -1 "$work/$name.log"
    rm -rf "$work/$name.min" && mkdir -p "$work/$name.min"
    mapfile -t from < <(inputs "$name")
    "build/fuzz/fuzz/$name" -merge=1 -rss_limit_mb=2048 -timeout=10 \
      "$work/$name.min" "$work/$name" "${from[@]}" >"$work/$name.merge.log" 2>&1
    echo "$name: $(ls "$work/$name.min" | wc -l) inputs after minimising"
  done
  exit 0
fi

for name in "${names[@]}"; do
  work=$(mktemp -d)
  mapfile -t from < <(inputs "$name")
  echo "fuzz: $name for ${seconds}s"
  # The first folder is the scratch corpus: new finds go there, never into
  # the seeds or the shared documents.
  "build/fuzz/fuzz/$name" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
    -print_final_stats=1 "$work" "${from[@]}" 2>&1 | tail -5
  rm -rf "$work"
done
