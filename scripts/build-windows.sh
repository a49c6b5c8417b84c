#!/usr/bin/env bash
# Cross-builds the Windows programs with MinGW-w64: build-win64/ (x86_64, what
# the tests run under Wine, with a test key compiled in) and build-win32/
# (i686, the shipped updater, built without keys). zstd is compiled in from
# Debian's source package (scripts/fetch-zstd-source.sh). The test build is a
# unity build (a few source files to one compilation), which parses
# <windows.h> and GoogleTest a few times instead of once per file: half the
# time. The shipped one is compiled file by file, as a release is.
# Each signs its vmrkxupdate.exe (Authenticode) with a test certificate made
# once in its folder (scripts/make-test-signing-cert.sh); a release is signed
# with the maintainer's own (docs/code-signing.md).
#   build-windows.sh [tests|shipped]   one of the two; both by default
set -euo pipefail
cd "$(dirname "$0")/.."
# Left in build-deps/zstd, where the cross builds look for it.
scripts/fetch-zstd-source.sh >/dev/null
case "${1:-both}" in
  tests) builds=(x86_64:build-win64) ;;
  shipped) builds=(i686:build-win32) ;;
  both) builds=(x86_64:build-win64 i686:build-win32) ;;
  *) echo "usage: build-windows.sh [tests|shipped]" >&2; exit 64 ;;
esac
for arch in "${builds[@]}"; do
  toolchain=${arch%%:*}; dir=${arch##*:}
  scripts/make-test-signing-cert.sh "$dir"
  signing=(-DVMRK_SIGN_CERT="$PWD/$dir/test-signing.pem" -DVMRK_SIGN_KEY="$PWD/$dir/test-signing.key")
  [ -f "$dir/build.ninja" ] || cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-$toolchain.cmake" "${signing[@]}" \
    -DCMAKE_BUILD_TYPE=MinSizeRel -DVMRK_BUILD_BENCH=OFF -DVMRK_BUILD_TESTS="$([ "$dir" = build-win64 ] && echo ON || echo OFF)" \
    -DVMRK_TRUSTED_KEYS_FILE="$([ "$dir" = build-win64 ] && echo "$PWD/tests/support/built_in_test_key.pub")" \
    -DCMAKE_UNITY_BUILD="$([ "$dir" = build-win64 ] && echo ON || echo OFF)" >/dev/null
  # A folder configured before its builds were signed is told once, not
  # configured again at each build.
  { grep -qxF "VMRK_SIGN_CERT:FILEPATH=$PWD/$dir/test-signing.pem" "$dir/CMakeCache.txt" &&
    grep -qxF "VMRK_SIGN_KEY:FILEPATH=$PWD/$dir/test-signing.key" "$dir/CMakeCache.txt"; } ||
    cmake -S . -B "$dir" "${signing[@]}" >/dev/null
  cmake --build "$dir" -j2
done
