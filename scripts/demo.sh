#!/usr/bin/env bash
# Shows the cache doing its job on this machine's own users and groups: builds orvcache
# when needed, starts a cache server in a temporary folder, looks the current user up
# twice (a miss that fetches, then a hit), lists roles and users, shows the status, stops
# the server, starts it again to show that the cache survived, and stops it.
#
# Its kernel objects carry a prefix of their own, so a real server on this machine is
# never touched. Installs the Debian packages the build needs when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; else bold= plain=; fi
step() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }
show() {  # prints a command, then runs it
  printf '$ %s\n' "$*"
  "$@"
}

build=build/demo
tool=$build/bin/orvcache

if [ ! -f "$build/build.ninja" ]; then
  step "Building orvcache (in $build)"
  packages=(cmake ninja-build g++ nlohmann-json3-dev)
  missing=()
  for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    as_root=()
    [ "$(id -u)" -eq 0 ] || as_root=(sudo)
    "${as_root[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq \
      --no-install-recommends "${missing[@]}"
  fi
  # Without the tests, so that it builds in a minute or two.
  echo "configuring (cmake)"
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTQ5_BUILD_TESTS=OFF >/dev/null
fi
# Up to date with the sources. The build's progress lines show while it compiles; nothing
# shows when there is nothing to do.
cmake --build "$build" --target orvcache |
  { grep -v -e '^ninja: no work to do' -e 'Re-checking globbed directories' || true; }
tool=$(cd "$(dirname "$tool")" && pwd)/orvcache

work=$(mktemp -d "${TMPDIR:-/tmp}/orvcache-demo.XXXXXX")
export MERLOC_GROUP_FOLDER_NAME=$work
export TQ5ORVCACHE_OBJECT_PREFIX="demo$$_"
unset TQ5ORVCACHE_DIRECTORY  # the embedded default: the machine's users and groups
server_pid=

cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  # The mutex object outlives every server by design; this one was the demo's own.
  rm -f "/dev/shm/${TQ5ORVCACHE_OBJECT_PREFIX}ZOLMAR_ORVCACHE_MUTEX"
  rm -rf "$work"
}
trap cleanup EXIT

orvcache() { "$tool" "$@"; }

start_server() {
  rm -f "$work/server.pid"
  printf '$ orvcache server --pid-file %s/server.pid >%s/server.log &\n' "$work" "$work"
  "$tool" server --pid-file "$work/server.pid" >"$work/server.log" 2>&1 &
  server_pid=$!
  for _ in $(seq 200); do
    [ -s "$work/server.pid" ] && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.05
  done
  cat "$work/server.log"
  [ -s "$work/server.pid" ] || { echo "the server did not start"; exit 1; }
}

stop_server() {
  printf '$ kill -TERM %s\n' "$server_pid"
  local lines
  lines=$(wc -l <"$work/server.log")
  kill -TERM "$server_pid"
  wait "$server_pid"
  server_pid=
  tail -n +"$((lines + 1))" "$work/server.log"
}

domain=$(hostname -s 2>/dev/null || echo LOCAL)
domain=${domain^^}
user=$(id -un)

step "A cache server in $work (cache file: $work/TQ5ORVCACHE.dat)"
start_server

step "Looking up $user: not cached yet, so the library fetches the roles (the user's groups)"
show orvcache lookup "$domain" "$user"
step "Looking up $user again: answered from the cache"
show orvcache lookup "$domain" "$user"

step "The role table (every group of the machine, loaded by the server)"
printf '$ orvcache roles\n'
orvcache roles >"$work/roles.txt"
head -n 11 "$work/roles.txt"
if [ "$(wc -l <"$work/roles.txt")" -gt 12 ]; then echo "..."; tail -n 1 "$work/roles.txt"; fi

step "The cached users"
show orvcache users
step "The region's header"
show orvcache status

step "Stopping the server: it writes the cache file and removes the region"
stop_server
show orvcache file inspect "$work/TQ5ORVCACHE.dat"

step "Starting it again: the region comes from the cache file"
start_server
show orvcache users
show orvcache lookup "$domain" "$user"

step "Stopping the server"
stop_server
echo
echo "Done: the cache answered from the directory, then from memory, and survived a restart."
