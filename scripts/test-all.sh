#!/usr/bin/env bash
# Builds and tests both builds of tq5orvcache on a Debian 12 machine: the native Linux
# build (with sanitizers) and the Windows builds, 64-bit and 32-bit (mingw-w64, tests under
# Wine; the 32-bit one also against the 64-bit one's programs), then the Release trees of
# both, the Windows zip and the MSI from them (the MSI tried under Wine), builds the .deb
# package and checks it, runs the concurrency tests under ThreadSanitizer and each fuzz
# target briefly.
# Installs the Debian packages it needs when they are missing. Exits non-zero when any
# step or test of either build fails.
set -uo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake ninja-build g++ pkg-config nlohmann-json3-dev libcli11-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  mingw-w64-x86-64-dev mingw-w64-tools wine64 libwine-dev
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-i686-dev
  clang libclang-rt-14-dev
  llvm-14 lld-14  # the MSVC import library (llvm-dlltool), its check (llvm-nm, lld-link)
  passwd  # groupadd/useradd: the access test makes a user and a group of its own
  libsystemd-dev help2man dpkg-dev file  # the server's readiness report; the .deb, its man page
  python3-prometheus-client  # the parsers that read `orvcache stats --format` back
  wixl  # the Windows MSI (msitools' builder)
)
# Whether the kernel runs 32-bit x86 programs at all: one booted without its 32-bit
# emulation refuses them (exec format error), and then Wine's 32-bit side, itself such a
# program, cannot start either. Asked of a 93-byte static i386 program that only exits 0,
# so that the answer needs no 32-bit package.
kernel_runs_32bit_programs() {
  local program status
  program=$(mktemp) || return 1
  printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >"$program"
  chmod +x "$program"
  "$program" 2>/dev/null
  status=$?
  rm -f "$program"
  return $status
}

# Wine's 32-bit side (without it a 32-bit program runs nothing and exits 0) only where the
# kernel can run it: elsewhere it would cost minutes of installing and test nothing.
with_32bit_wine=0
if kernel_runs_32bit_programs; then
  with_32bit_wine=1
  packages+=(wine32:i386)
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
if ((with_32bit_wine)) && ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "== adding the i386 architecture (for wine32)"
  "${as_root[@]}" dpkg --add-architecture i386 || { echo "cannot add the i386 architecture"; exit 1; }
  missing+=(wine32:i386)  # its package lists are not there yet either
fi
if ((${#missing[@]})); then
  echo "== installing: ${missing[*]}"
  "${as_root[@]}" apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq \
      --no-install-recommends "${missing[@]}" || { echo "package installation failed"; exit 1; }
fi

# The run is a bare machine's, whatever this machine holds: no variable of the cache's
# from the caller's environment, and a settings file and registry root of the run's own
# (tests/CMakeLists.txt gives each test its own within them), so that a machine where the
# product is installed and configured gives the same results as a bare one.
while read -r variable; do
  unset "$variable"
done < <(compgen -e | grep -E '^(TQ5ORVCACHE_|MERLOC_GROUP_|ZOLMAR_VERSION$)')
rm -rf build/test-machine
export TQ5ORVCACHE_CONFIG=$PWD/build/test-machine/tq5orvcache.conf
export TQ5ORVCACHE_REGISTRY_ROOT=$PWD/build/test-machine/registry

# What of the machine's own the run must leave as it found it: the settings folder (the
# settings file, the registry tree), the cache's unprefixed kernel objects (a running
# server's among them) and the registry of the user's own Wine prefix.
machine_state() {
  local etc=/etc/tq5orvcache
  if [ -e "$etc" ]; then
    find "$etc" -printf '%p %y %m %u:%g %s\n' | sort
    find "$etc" -type f -exec sha256sum {} + | sort
  fi
  find /dev/shm -maxdepth 1 -name 'ZOLMAR_ORVCACHE*' -printf '%f %i %m %u:%g\n' | sort
  [ ! -e "$HOME/.wine" ] || find "$HOME/.wine" -maxdepth 1 -name '*.reg' -exec sha256sum {} + | sort
}
machine_before=$(machine_state)

# The names the tests give their kernel objects (tests/support, tests/platform_test.cpp,
# the install check, tests/fuzz), sorted; POSIX names outlive the processes that made them.
test_object_names() {
  find /dev/shm -maxdepth 1 -printf '%f\n' 2>/dev/null |
    grep -E '^(t[0-9]+_[0-9]+_|tq5pt[0-9]+_|tq5fz[0-9]+_|install_consumer_)' | sort
}

# Fails when names not in $1 (an earlier test_object_names) are there now and the process
# whose id they carry has ended: a test left them behind. Those of running processes
# (another run on the same machine) are not this run's.
nothing_left_behind() {
  local name pid left=()
  while read -r name; do
    pid=$(sed -nE 's/^(t|tq5pt|tq5fz)([0-9]+)_.*/\2/p' <<<"$name")
    [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null && continue
    left+=("$name")
  done < <(comm -13 <(printf '%s\n' "$1") <(test_object_names))
  ((${#left[@]} == 0)) && return 0
  echo "== tests left kernel objects in /dev/shm: ${left[*]}"
  return 1
}

# The tests of one preset; the native ones must also leave nothing in /dev/shm.
test_preset() {
  local before
  # The settings files and registry trees the tests wrote last time, a crashed test's
  # among them, are not this run's.
  rm -rf "build/$1/tests/test-machine"
  before=$(test_object_names)
  ctest --preset "$1" || return 1
  [ "$1" != native ] || nothing_left_behind "$before"
}

# The concurrency tests under ThreadSanitizer (tests labelled "concurrency").
run_tsan() {
  echo "== tsan: configure, build, test"
  if cmake --preset tsan >/dev/null && cmake --build --preset tsan && ctest --preset tsan; then
    echo "== tsan: passed"
  else
    echo "== tsan: FAILED"
    return 1
  fi
}

# The benchmarks, which hold the performance targets: built, so that they keep up with
# the library; run by hand (their figures depend on the machine).
run_bench_build() {
  echo "== bench: configure, build"
  if cmake --preset bench >/dev/null && cmake --build --preset bench -j2; then
    echo "== bench: passed"
  else
    echo "== bench: FAILED"
    return 1
  fi
}

# The lock annotations under clang's thread-safety analysis (as errors): a build only,
# the behaviour is the native build's.
run_thread_safety() {
  echo "== thread-safety: configure, build"
  if cmake --preset thread-safety >/dev/null && cmake --build --preset thread-safety -j2; then
    echo "== thread-safety: passed"
  else
    echo "== thread-safety: FAILED"
    return 1
  fi
}

# The Windows MSI, from the Release trees: built, then installed, used, upgraded and
# removed under Wine.
run_msi() {
  if scripts/check-msi.sh; then
    return 0
  fi
  echo "== msi: FAILED"
  return 1
}

# The .deb: built, its contents checked, a program built against it unpacked.
run_deb() {
  if scripts/check-deb.sh; then
    return 0
  fi
  echo "== deb: FAILED"
  return 1
}

# Each libFuzzer target for a short while over its seeds (longer: scripts/fuzz.sh --minutes N).
run_fuzz() {
  echo "== fuzz: build, run each target 20 s"
  if scripts/fuzz.sh --seconds 20; then
    echo "== fuzz: passed"
  else
    echo "== fuzz: FAILED"
    return 1
  fi
}

# Whether Wine's 32-bit side runs here: the kernel runs 32-bit programs (asked above) and
# wine32 installed its loader, /usr/lib/wine/wine, which starts.
runs_32bit_programs() {
  ((with_32bit_wine)) && [ -x /usr/lib/wine/wine ] &&
    /usr/lib/wine/wine --version </dev/null >/dev/null 2>&1
}

# The 32-bit build's tests: under Wine, including the test against the 64-bit build's
# programs, which must run rather than skip. Where the kernel runs no 32-bit programs, every
# test that needs no Wine still runs (its exports, imports and zip), and the run fails
# only when TQ5_REQUIRE_32BIT_TESTS=1.
test_windows_x86() {
  if runs_32bit_programs; then
    TQ5_MIXED_BITNESS_REQUIRED=1 test_preset windows-x86
    return
  fi
  echo "== windows-x86: this kernel runs no 32-bit programs (booted without ia32 emulation):"
  echo "== windows-x86: its Wine tests are NOT RUN; the tests that need no Wine run"
  ctest --preset windows-x86 -LE wine || return 1
  [ "${TQ5_REQUIRE_32BIT_TESTS:-0}" != 1 ]
}

# The Release trees of both bitnesses (presets windows-x86-release, windows-release),
# which the zip and the MSI ship: the same sources as the Debug trees whose tests ran
# above, optimised, without the tests.
build_windows_release() {
  echo "== windows release: configure, build (x86, x64)"
  local preset
  for preset in windows-x86-release windows-release; do
    cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j2 || {
      echo "== windows release: $preset does not build"
      return 1
    }
  done
}

# The Windows zip with both bitnesses, from the Release trees: the 64-bit tree packs the
# 32-bit tree's files into x86/ beside its own x64/, and each folder's DLL is of its own
# bitness.
run_zip_both() {
  echo "== windows zip: x64 and x86, Release"
  local out=$PWD/build/windows-release/zip-both zip listing arch file bits failed=0
  rm -rf "$out"
  cpack --preset windows-release -B "$out" >/dev/null &&
    zip=$(ls "$out"/tq5orvcache-*-windows.zip) && listing=$(cmake -E tar tf "$zip") || failed=1
  if ((!failed)); then
    for arch in x64 x86; do
      for file in tq5orvcache.dll orvcache.exe orv_directory_server.exe tq5orvcache.lib \
                  libtq5orvcache.dll.a tq5orvcache.def; do
        grep -q "/$arch/$file\$" <<<"$listing" || { echo "missing: $arch/$file"; failed=1; }
      done
    done
    (cd "$out" && cmake -E tar xf "$zip") || failed=1
    for arch in x64 x86; do
      bits=$(file -b "$out"/tq5orvcache-*-windows/$arch/tq5orvcache.dll)
      [ "$arch" = x64 ] && [[ "$bits" == PE32+* ]] && continue
      [ "$arch" = x86 ] && [[ "$bits" == "PE32 "* ]] && continue
      echo "$arch/tq5orvcache.dll is $bits"
      failed=1
    done
  fi
  if ((failed)); then
    echo "== windows zip: FAILED"
    return 1
  fi
  echo "== windows zip: passed"
}

status=0
for preset in native windows windows-x86; do
  echo "== $preset: configure, build, test"
  tests=(test_preset "$preset")
  [ "$preset" != windows-x86 ] || tests=(test_windows_x86)
  if cmake --preset "$preset" && cmake --build --preset "$preset" && "${tests[@]}"; then
    echo "== $preset: passed"
  else
    echo "== $preset: FAILED"
    status=1
  fi
done

if build_windows_release; then
  run_zip_both || status=1
  run_msi || status=1
else
  echo "== windows zip, msi: FAILED"
  status=1
fi
run_deb || status=1
run_thread_safety || status=1
run_bench_build || status=1
run_tsan || status=1
run_fuzz || status=1

# Wine's servers and services must not outlive the run.
for prefix in build/windows/wineprefix build/windows-x86/wineprefix \
              build/windows-release/msi-test/wineprefix; do
  if [ -d "$prefix" ]; then
    WINEPREFIX="$PWD/$prefix" /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  fi
done
# The machine's own settings and objects are as the run found them.
machine_after=$(machine_state)
if [ "$machine_before" != "$machine_after" ]; then
  echo "== the run changed the machine's own settings or objects:"
  diff <(echo "$machine_before") <(echo "$machine_after")
  status=1
fi
exit $status
