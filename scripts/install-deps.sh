#!/usr/bin/env bash
# Installs, from Debian, what a command needs, and only that: "demo" builds
# the Linux updater and drives its window under Xvfb; "test" (the default)
# adds the Windows cross compilers, Wine, nginx and Varnish for the whole suite. Only
# the missing packages are fetched, so a second run costs nothing.
set -euo pipefail

demo=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev libgl-dev libx11-dev libssl-dev openssl libzstd-dev
  xvfb xauth x11-utils xdotool imagemagick
  fonts-wqy-microhei python3 tzdata procps
)
# dpkg-dev unpacks Debian's zstd source package for the Windows build; the
# zstd tool is the benchmarks' measure of a delta.
# clang with its libFuzzer runtime runs the fuzz targets. osslsigncode signs
# the Windows programs (Authenticode) and verifies them in the tests.
test=(nginx varnish curl bc g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix googletest wine64 wine dpkg-dev xz-utils zstd
  clang libclang-rt-14-dev osslsigncode)

case "${1:-test}" in
  demo) packages=("${demo[@]}") ;;
  test) packages=("${demo[@]}" "${test[@]}") ;;
  *) echo "usage: install-deps.sh [demo|test]" >&2; exit 64 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "installing: ${missing[*]}" >&2
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
