#!/usr/bin/env bash
# Builds and tests both builds of tq5orvcache on a Debian 12 machine: the native Linux
# build (with sanitizers) and the Windows build (mingw-w64, tests under Wine).
# Installs the Debian packages it needs when they are missing. Exits non-zero when any
# step or test of either build fails.
set -uo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake ninja-build g++ pkg-config nlohmann-json3-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  mingw-w64-x86-64-dev mingw-w64-tools wine64 libwine-dev
)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  echo "== installing: ${missing[*]}"
  as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  "${as_root[@]}" apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq \
      --no-install-recommends "${missing[@]}" || { echo "package installation failed"; exit 1; }
fi

status=0
for preset in native windows; do
  echo "== $preset: configure, build, test"
  if cmake --preset "$preset" && cmake --build --preset "$preset" && ctest --preset "$preset"; then
    echo "== $preset: passed"
  else
    echo "== $preset: FAILED"
    status=1
  fi
done

# Wine's server and services must not outlive the run.
if [ -d build/windows/wineprefix ]; then
  WINEPREFIX="$PWD/build/windows/wineprefix" /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
fi
exit $status
