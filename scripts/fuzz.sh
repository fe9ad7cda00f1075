#!/usr/bin/env bash
# Builds the libFuzzer targets (preset fuzz, clang) and runs each for a while over its
# seeds in tests/fuzz/corpus/<target>. New inputs go to build/fuzz/work/<target>, crash
# inputs to build/fuzz/artifacts/. Exits non-zero when a target crashes, a sanitizer
# reports, or a run leaves its kernel objects behind in /dev/shm.
#   scripts/fuzz.sh                 20 seconds per target
#   scripts/fuzz.sh --seconds N     N seconds per target
#   scripts/fuzz.sh --minutes N     N minutes per target
#   scripts/fuzz.sh --no-build      use the targets already built
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=20
build=1
while (($#)); do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --minutes) seconds=$(($2 * 60)); shift 2 ;;
    --no-build) build=0; shift ;;
    *) echo "usage: $0 [--seconds N | --minutes N] [--no-build]" >&2; exit 2 ;;
  esac
done

targets=(cache_file_fuzz region_image_fuzz directory_file_fuzz)
if ((build)); then
  cmake --preset fuzz >/dev/null && cmake --build --preset fuzz || { echo "fuzz build failed"; exit 1; }
fi

status=0
mkdir -p build/fuzz/artifacts
for target in "${targets[@]}"; do
  work="build/fuzz/work/$target"
  log="build/fuzz/$target.log"
  mkdir -p "$work"
  # The seeds' folder comes second: libFuzzer adds new inputs to the first only.
  build/fuzz/bin/"$target" -max_total_time="$seconds" -max_len=8192 -timeout=30 \
    -print_final_stats=1 -artifact_prefix=build/fuzz/artifacts/"$target"- \
    "$work" "tests/fuzz/corpus/$target" >"$log" 2>&1 &
  pid=$!
  wait "$pid"
  rc=$?
  # The targets take names "tq5fz<pid>_..." and remove them at exit; a crash cannot.
  left=$(find /dev/shm -maxdepth 1 -name "tq5fz${pid}_*" -printf '%f\n')
  rm -rf "/dev/shm/tq5fz${pid}_"* "${TMPDIR:-/tmp}/tq5fz$pid"
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  if ((rc != 0)); then
    echo "== fuzz $target: FAILED (exit $rc); the end of $log:"
    tail -n 40 "$log"
    status=1
  elif [ -n "$left" ]; then
    echo "== fuzz $target: left in /dev/shm: $left"
    status=1
  else
    echo "== fuzz $target: ${runs:-?} inputs in ${seconds}s, no fault"
  fi
done
exit $status
