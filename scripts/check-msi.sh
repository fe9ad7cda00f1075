#!/usr/bin/env bash
# Builds the Windows installer (preset windows-release, target msi; the 32-bit Release tree
# must be built) and tries it under Wine, in a prefix of its own, as an administrator would:
# refused without a directory file; `msiexec /i` installs the files and starts the service;
# a lookup through it (the stand-in directory server registered from the installed files);
# an upgrade to the next version keeps the cache file and serves on; `msiexec /x` stops and
# removes the service and the files and leaves the cache folder with the cache file.
# Exits non-zero with the reasons when any check fails.
set -uo pipefail
cd "$(dirname "$0")/.."

failures=0
fail() {
  echo "check-msi: $*" >&2
  failures=$((failures + 1))
}

tree=$PWD/build/windows-release
echo "== msi: build"
cmake --build --preset windows-release --target msi >/dev/null ||
  { echo "check-msi: the MSI did not build" >&2; exit 1; }
msi=$(ls "$tree"/package/tq5orvcache-*-x64.msi)
version=${msi##*/tq5orvcache-}
version=${version%-x64.msi}
next=${version%.*}.$((${version##*.} + 1))
work=$tree/msi-test
prefix=$work/wineprefix
[ ! -d "$prefix" ] || cmake/wine-run.sh --prefix "$prefix" --shutdown >/dev/null
rm -rf "$work"
mkdir -p "$work"
# The next version: the same files, a higher product version.
(cd "$tree" && wixl -D Version="$next" -a x64 -o "$work/upgrade.msi" tq5orvcache.wxs) ||
  { echo "check-msi: the upgrade MSI did not build" >&2; exit 1; }
echo "== msi: checking $msi (and $next for the upgrade) under Wine"

# Output of every Windows program in files: Wine's services would hold a pipe open.
wine_run() { cmake/wine-run.sh --prefix "$prefix" "$@" >"$work/out.txt" 2>&1; }
windows_path() { printf 'Z:%s' "${1//\//\\}"; }
trap 'cmake/wine-run.sh --prefix "$prefix" --shutdown >/dev/null 2>&1' EXIT
cmake/wine-run.sh --prefix "$prefix" --boot >"$work/boot.txt" 2>&1 ||
  { cat "$work/boot.txt"; echo "check-msi: the Wine prefix did not boot" >&2; exit 1; }

drive_c=$prefix/drive_c
installed=$drive_c/Program\ Files/tq5orvcache
cache_folder=$drive_c/ProgramData/tq5orvcache
orvcache='C:\Program Files\tq5orvcache\x64\orvcache.exe'
mkdir -p "$drive_c/tq5-msi-test"
printf 'CORP\talice\tOperators\tS-1-100\nCORP\talice\tEngineers\tS-1-200\n' \
  >"$drive_c/tq5-msi-test/directory.txt"
directory='C:\tq5-msi-test\directory.txt'
# Wine keeps no events: the service also appends what it reports to a file, named in the
# machine's environment, which services see (from the service manager's next start on).
wine_run reg add 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' \
  /v TQ5ORVCACHE_EVENT_LOG_COPY /d 'C:\tq5-msi-test\events.txt' /f ||
  fail "cannot set the machine's environment: $(cat "$work/out.txt")"
cmake/wine-run.sh --prefix "$prefix" --shutdown >/dev/null 2>&1
cmake/wine-run.sh --prefix "$prefix" --boot >>"$work/boot.txt" 2>&1 ||
  { cat "$work/boot.txt"; echo "check-msi: the Wine prefix did not boot again" >&2; exit 1; }

service_state() {  # RUNNING, STOPPED, ... or nothing when no such service is installed
  wine_run sc query orvcache
  sed -nE 's/^ *STATE *: *[0-9]+ +([A-Z_]+).*/\1/p' "$work/out.txt"
}
wait_for_state() {
  local i
  for i in $(seq 1 60); do
    [ "$(service_state)" = "$1" ] && return 0
    sleep 1
  done
  return 1
}

# Without a directory file the installer refuses before it changes anything.
if wine_run msiexec /i "$(windows_path "$msi")" /qn; then
  fail "installed without DIRECTORYFILE"
fi
[ ! -e "$installed" ] || fail "a refused installation left $installed"

# Installed: the files in place and the service running.
wine_run msiexec /i "$(windows_path "$msi")" /qn DIRECTORYFILE="$directory" ||
  fail "msiexec /i failed: $(cat "$work/out.txt")"
for file in x64/tq5orvcache.dll x64/orvcache.exe x64/orv_directory_server.exe \
            x64/tq5orvcache.lib x64/libtq5orvcache.dll.a x64/tq5orvcache.def \
            x86/tq5orvcache.dll x86/tq5orvcache.lib include/tq5orvcache.h README.md \
            docs/windows.md docs/examples/server_and_lookup.c; do
  [ -f "$installed/$file" ] || fail "not installed: $file"
done
bits=$(file -b "$installed/x86/tq5orvcache.dll")
[[ "$bits" == "PE32 "* ]] || fail "x86/tq5orvcache.dll is $bits"
wait_for_state RUNNING || fail "the service is not running after the installation: $(service_state)"
event_source='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\orvcache'
wine_run reg query "$event_source" /v EventMessageFile &&
  grep -qi 'x64\\orvcache.exe' "$work/out.txt" ||
  fail "the event source is not registered: $(cat "$work/out.txt")"

# A lookup through the running service, from the stand-in directory server.
wine_run 'C:\Program Files\tq5orvcache\x64\orv_directory_server.exe' /RegServer \
  /Directory "$directory" || fail "the stand-in directory server did not register"
if wine_run "$orvcache" lookup CORP alice; then
  grep -q Engineers "$work/out.txt" || fail "the lookup did not answer alice's roles: $(cat "$work/out.txt")"
else
  fail "the lookup failed: $(cat "$work/out.txt")"
fi
wine_run "$orvcache" reload || fail "reload did not reach the service: $(cat "$work/out.txt")"

# The upgrade: the older version's service stops (writing the cache file) and goes, the
# newer one starts from that file, which still holds alice.
wine_run msiexec /i "$(windows_path "$work/upgrade.msi")" /qn ||
  fail "the upgrade failed: $(cat "$work/out.txt")"
[ -f "$cache_folder/TQ5ORVCACHE.dat" ] || fail "no cache file after the upgrade"
wait_for_state RUNNING || fail "the service is not running after the upgrade: $(service_state)"
if wine_run "$orvcache" users --json; then
  grep -q '"alice"' "$work/out.txt" || fail "the upgrade lost the cached user: $(cat "$work/out.txt")"
else
  fail "users failed after the upgrade: $(cat "$work/out.txt")"
fi

# Removed: no service, no installed file; the cache folder keeps the cache file.
wine_run 'C:\Program Files\tq5orvcache\x64\orv_directory_server.exe' /UnregServer
wine_run msiexec /x "$(windows_path "$work/upgrade.msi")" /qn ||
  fail "msiexec /x failed: $(cat "$work/out.txt")"
[ -z "$(service_state)" ] || fail "the service is still installed: $(service_state)"
[ ! -e "$installed/x64/orvcache.exe" ] || fail "orvcache.exe is still installed"
! wine_run reg query "$event_source" || fail "the event source is still registered"
# The service's events: started and ready after the installation, the reload, its stop
# for the upgrade, started and ready again, stopped for the removal.
events=$(tr -d '\r' <"$drive_c/tq5-msi-test/events.txt" 2>/dev/null | cut -d' ' -f1-3 | tr '\n' ' ')
expected="orvcache information 0x40000001 orvcache information 0x40000003 orvcache information 0x40000004 orvcache information 0x40000007 orvcache information 0x40000001 orvcache information 0x40000003 orvcache information 0x40000007 "
[ "$events" = "$expected" ] || fail "the service reported: ${events:-nothing}"
[ -f "$cache_folder/TQ5ORVCACHE.dat" ] || fail "the uninstallation removed the cache file"

if ((failures)); then
  echo "== msi: FAILED ($failures)"
  exit 1
fi
echo "== msi: passed"
