#!/bin/sh
# Runs a Windows program under Wine as CMake's cross-compiling emulator, and manages the
# build tree's own Wine prefix for the test fixtures.
#
#   wine-run.sh --prefix DIR [--] PROGRAM [ARGS...]   run PROGRAM, exit with its exit code
#   wine-run.sh --prefix DIR --boot                    create/update the prefix, start its server
#   wine-run.sh --prefix DIR --shutdown                end every process of the prefix
#
# Wine's output goes to a file, never to our own stdout: the services the first Wine
# process starts inherit its stdout/stderr and keep them open for as long as they live,
# so whatever reads a pipe from us (ctest) would wait for them forever. The file is
# printed once the program has exited.
#
# WINE64 and WINESERVER may name other binaries than the ones found below.

set -u

usage() {
  echo "usage: $0 --prefix DIR (--boot | --shutdown | [--] PROGRAM [ARGS...])" >&2
  exit 2
}

prefix=
mode=run
while [ $# -gt 0 ]; do
  case "$1" in
    --prefix) [ $# -ge 2 ] || usage; prefix=$2; shift 2 ;;
    --boot) mode=boot; shift ;;
    --shutdown) mode=shutdown; shift ;;
    --) shift; break ;;
    *) break ;;
  esac
done
[ -n "$prefix" ] || usage
[ "$mode" != run ] || [ $# -ge 1 ] || usage

find_binary() {  # first executable among the arguments (absolute paths or names on PATH)
  for candidate in "$@"; do
    case "$candidate" in
      /*) [ -x "$candidate" ] && { echo "$candidate"; return 0; } ;;
      *) command -v "$candidate" 2>/dev/null && return 0 ;;
    esac
  done
  return 1
}

# Debian installs the 64-bit loader outside PATH; its /usr/lib/wine/wineserver wrapper
# forces -p0, which would undo the persistence asked for in --boot.
wine64=${WINE64:-$(find_binary /usr/lib/wine/wine64 wine64 wine)} || {
  echo "wine-run.sh: no wine64 found (set WINE64)" >&2
  exit 127
}
wineserver=${WINESERVER:-$(find_binary /usr/lib/wine/wineserver64 wineserver)} || {
  echo "wine-run.sh: no wineserver found (set WINESERVER)" >&2
  exit 127
}

mkdir -p "$(dirname "$prefix")" || exit 1
WINEPREFIX=$(cd "$(dirname "$prefix")" && pwd)/$(basename "$prefix")
WINESERVER=$wineserver
WINEDEBUG=-all
# No prompts to install the .NET and HTML engines into a new prefix.
WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX WINESERVER WINEDEBUG WINEDLLOVERRIDES

log=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX") || exit 1
trap 'rm -f "$log"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

case "$mode" in
  boot)
    # A server that outlives each test program keeps every later start at a few
    # hundredths of a second instead of half a second; it still ends by itself a while
    # after the last program, should --shutdown never run.
    "$wineserver" -p120 </dev/null >"$log" 2>&1
    # The first program of a server session makes Wine create or update the prefix and
    # start its services by itself. An explicit `wineboot -i` would be a second boot
    # beside that one, and leave two service managers that each know only the services
    # created through them: a program that does nothing lets Wine's own boot be the only one.
    # A prefix made while Wine had no working 32-bit side has no 32-bit system folder, and
    # an ordinary boot does not add one later: that prefix is updated in full, once.
    wine32=$(dirname "$wine64")/wine
    if [ -d "$WINEPREFIX/drive_c/windows" ] &&
       [ -z "$(ls -A "$WINEPREFIX/drive_c/windows/syswow64" 2>/dev/null)" ] &&
       [ -x "$wine32" ] && "$wine32" --version </dev/null >/dev/null 2>&1; then
      "$wine64" wineboot -u </dev/null >>"$log" 2>&1
    else
      "$wine64" cmd.exe /c exit </dev/null >>"$log" 2>&1
    fi
    status=$?
    ;;
  shutdown)
    "$wineserver" -k </dev/null >"$log" 2>&1
    status=0  # nothing to end is not a failure
    ;;
  run)
    "$wine64" "$@" </dev/null >"$log" 2>&1
    status=$?
    ;;
esac

cat "$log"
exit "$status"
