#!/usr/bin/env bash
# The kill soak, for as long as asked: a cache server on short timers, clients that look
# users up against a slow directory and processes that hold the global cache mutex, all
# killed with SIGKILL at random and restarted; afterwards the live region, the cache
# file and every cached user are checked. Exits non-zero on any wrong answer, damage
# left behind, a hang or a server that cannot start again.
#
#   scripts/soak.sh --minutes N | --seconds N  [--seed N] [--clients N] [--holders N]
#                   [--users N] [--env NAME=VALUE]...
#
# --env sets a variable in every process of the run (server, clients, holders, checks),
# after the soak's own isolation variables, for instance
# --env TQ5ORVCACHE_FETCH_OUTSIDE_LOCK=yes for lookups that fetch outside the mutex.
# Builds the native build's tq5_soak and orvcache when needed (BUILD_DIR overrides).
set -euo pipefail
cd "$(dirname "$0")/.."

if (($# == 0)); then
  sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'
  exit 2
fi
build=${BUILD_DIR:-build/native}
if [ ! -f "$build/build.ninja" ]; then
  [ -z "${BUILD_DIR:-}" ] || { echo "soak.sh: $build is not a configured build" >&2; exit 2; }
  cmake --preset native >/dev/null
fi
cmake --build "$build" --target tq5_soak orvcache -j2 >/dev/null
exec "$build/bin/tq5_soak" run --orvcache "$build/bin/orvcache" "$@"
