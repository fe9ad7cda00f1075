#!/usr/bin/env bash
# Builds the .deb (presets `deb`: Release, prefix /usr) and checks it: its control data
# (dependencies from dpkg-shlibdeps, the library's shlibs, the maintainer scripts), that
# every part is in it, that the unit, the account and the state folder agree with each
# other and with the package's prefix, that the unit passes `systemd-analyze verify`,
# that apt would install it, and that a program builds against the package unpacked into
# a scratch root (CMake package and pkg-config) and runs.
# Exits non-zero with the reasons when any check fails.
set -uo pipefail
cd "$(dirname "$0")/.."

failures=0
fail() {
  echo "check-deb: $*" >&2
  failures=$((failures + 1))
}

echo "== deb: configure, build, package"
cmake --preset deb >/dev/null &&
  cmake --build --preset deb -j2 &&
  rm -f build/deb/packages/*.deb &&
  cpack --preset deb >/dev/null || { echo "check-deb: the package did not build" >&2; exit 1; }
deb=$(ls build/deb/packages/tq5orvcache_*.deb)
echo "== deb: checking $deb"

work=$(mktemp -d "${TMPDIR:-/tmp}/tq5-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT
root=$work/root
dpkg-deb -x "$deb" "$root"
dpkg-deb -e "$deb" "$work/control"
field() { sed -n "s/^$1: //p" "$work/control/control"; }

# Control data: dpkg-shlibdeps found the libraries the binaries use; other packages can
# depend on the library through its shlibs entry; the account is made on installation.
[ "$(field Package)" = tq5orvcache ] || fail "package name: $(field Package)"
field Depends | grep -q 'libc6 (>=' || fail "no libc6 dependency: $(field Depends)"
if ldd build/deb/bin/orvcache | grep -q libsystemd; then
  field Depends | grep -q libsystemd0 || fail "orvcache uses libsystemd, Depends lacks it"
fi
grep -qx 'libtq5orvcache 0 tq5orvcache (>= [0-9.]*)' "$work/control/shlibs" ||
  fail "shlibs: $(cat "$work/control/shlibs" 2>/dev/null)"
grep -q '^activate-noawait ldconfig' "$work/control/triggers" || fail "no ldconfig trigger"
for script in postinst prerm postrm; do
  [ -x "$work/control/$script" ] || fail "no executable $script"
  sh -n "$work/control/$script" || fail "$script is not a valid shell script"
done

# Every part, where Debian's tools look for it.
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
lib=usr/lib/$multiarch
for part in usr/bin/orvcache usr/include/tq5orvcache.h \
  "$lib/libtq5orvcache.so.0" "$lib/libtq5orvcache.so" \
  "$lib/cmake/tq5orvcache/tq5orvcacheConfig.cmake" "$lib/pkgconfig/tq5orvcache.pc" \
  usr/lib/systemd/system/orvcache.service usr/lib/systemd/system/orvcache-metrics.service \
  usr/lib/systemd/system/orvcache-metrics.timer usr/lib/sysusers.d/tq5orvcache.conf \
  usr/lib/tmpfiles.d/tq5orvcache.conf usr/share/man/man1/orvcache.1.gz \
  usr/share/bash-completion/completions/orvcache usr/share/doc/tq5orvcache/README.md; do
  [ -e "$root/$part" ] || fail "missing from the package: /$part"
done
soname=$(objdump -p "$root/$lib/libtq5orvcache.so.0" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = libtq5orvcache.so.0 ] || fail "the library's soname is '$soname'"
zcat "$root/usr/share/man/man1/orvcache.1.gz" | grep -q '^\.SH SYNOPSIS' ||
  fail "the man page has no synopsis"
# Written from the commands' declarations: the server's every option, with its meaning.
for option in log-level no-cache-file start-afresh event-source; do
  escaped=$(printf '%s' "$option" | sed 's/-/\\-/g')
  zcat "$root/usr/share/man/man1/orvcache.1.gz" | grep -qF "\\fB\\-\\-$escaped\\fR" ||
    fail "the man page does not explain --$option"
done

# The unit: runs the packaged command, as the account sysusers.d makes, with the cache
# file in the folder that tmpfiles.d and StateDirectory= make.
unit=$root/usr/lib/systemd/system/orvcache.service
value() { sed -n "s/^$1=//p" "$unit"; }
exec_start=$(value ExecStart)
[ "${exec_start%% *}" = /usr/bin/orvcache ] || fail "ExecStart is not the package's: $exec_start"
[[ $exec_start == */usr/bin/orvcache\ server* ]] || fail "ExecStart runs no server: $exec_start"
if ldd build/deb/bin/orvcache | grep -q libsystemd; then
  [ "$(value Type)" = notify ] || fail "orvcache reports readiness, the unit says Type=$(value Type)"
fi
[ -n "$(value ExecReload)" ] || fail "no ExecReload"
account=$(awk '$1 == "u" { print $2 }' "$root/usr/lib/sysusers.d/tq5orvcache.conf")
[ "$(value User)" = "$account" ] || fail "the unit runs as '$(value User)', sysusers makes '$account'"
state=/var/lib/$(value StateDirectory)
# The settings file, a conffile, names the state folder as the cache folder for every
# process, the unit included (which must not name another for the server alone), and a
# group and version whose registry key the package makes: `orvcache timeout MS` works
# right after installation (tried on the unpacked files, as root does it).
settings=$root/etc/tq5orvcache/tq5orvcache.conf
grep -qx /etc/tq5orvcache/tq5orvcache.conf "$work/control/conffiles" ||
  fail "the settings file is not a conffile: $(cat "$work/control/conffiles" 2>/dev/null)"
value Environment | grep -E '^(MERLOC_GROUP_FOLDER_NAME|MERLOC_GROUP_NAME|ZOLMAR_VERSION)=' &&
  fail "the unit sets for the server alone what the settings file sets for every process"
unpacked() {
  env -u MERLOC_GROUP_FOLDER_NAME -u MERLOC_GROUP_NAME -u ZOLMAR_VERSION \
    TQ5ORVCACHE_CONFIG="$settings" TQ5ORVCACHE_REGISTRY_ROOT="$root/etc/tq5orvcache/registry" \
    TQ5ORVCACHE_OBJECT_PREFIX=check_deb_ "$root/usr/bin/orvcache" "$@"
}
folder=$(sed -n 's/^[[:space:]]*cache-folder[[:space:]]*=[[:space:]]*\([^#[:space:]]*\).*/\1/p' \
  "$settings" | tail -n 1)
[ "$folder" = "$state" ] || fail "the settings file's cache folder is '$folder', not the state folder $state"
unpacked timeout 30000 >"$work/timeout.log" 2>&1 ||
  fail "orvcache timeout 30000 after installation: $(cat "$work/timeout.log")"
awk '$1 == "d" { print $2, $5 }' "$root/usr/lib/tmpfiles.d/tq5orvcache.conf" |
  grep -qx "$state $account" || fail "tmpfiles.d does not make $state for $account"
for setting in PrivateDevices PrivateIPC RemoveIPC DynamicUser; do
  grep -qE "^$setting=(yes|true|on|1)" "$unit" &&
    fail "the unit sets $setting: the historian's processes would not share /dev/shm with it"
done
if command -v systemd-analyze >/dev/null; then
  # Verified against the unpacked files: the command and the man page of the package.
  for name in orvcache.service orvcache-metrics.service orvcache-metrics.timer; do
    sed "s|/usr/bin/orvcache|$root/usr/bin/orvcache|" "$root/usr/lib/systemd/system/$name" \
      >"$work/$name"
  done
  if ! out=$(cd "$work" && MANPATH=$root/usr/share/man systemd-analyze verify \
    orvcache.service orvcache-metrics.service orvcache-metrics.timer 2>&1) || [ -n "$out" ]; then
    fail "systemd-analyze verify: $out"
  fi
  # The metrics unit runs what `orvcache stats` takes.
  metrics=$(sed -n 's/^ExecStart=//p' "$root/usr/lib/systemd/system/orvcache-metrics.service")
  [[ $metrics == "/usr/bin/orvcache stats --format prometheus --output "* ]] ||
    fail "the metrics unit runs: $metrics"
fi

# Bash completion offers every command that `orvcache --help` lists.
completed=$(sed -n '/local commands="/,/"/p' "$root/usr/share/bash-completion/completions/orvcache" |
  tr -s ' "\n' '\n' | grep -E '^[a-z]+$' | grep -vx 'local\|commands' | sort -u)
helped=$("$root/usr/bin/orvcache" --help | awk '/^  [a-z]/ { print $1 }' | sort -u)
missing=$(comm -13 <(echo "$completed") <(echo "$helped"))
[ -z "$missing" ] || fail "bash completion lacks the commands: $missing"

# apt accepts it: every dependency can be satisfied.
apt-get install --simulate -qq "./$deb" >"$work/apt.log" 2>&1 ||
  fail "apt-get install --simulate: $(cat "$work/apt.log")"

# A program outside the project builds against the unpacked package and runs.
TQ5ORVCACHE_OBJECT_PREFIX=install_consumer_ cmake -DPREFIX="$root/usr" \
  -DCONSUMER_DIR="$PWD/tests/consumer" -DWORK_DIR="$work/consumer" -DC_COMPILER=cc \
  -DC_FLAGS= -DPKG_CONFIG=pkg-config -DGENERATOR=Ninja -P tests/consumer/check_install.cmake ||
  fail "the consumer did not build or run against the package"

if ((failures)); then
  echo "== deb: $failures check(s) FAILED"
  exit 1
fi
echo "== deb: passed ($(du -k "$deb" | cut -f1) KiB)"
