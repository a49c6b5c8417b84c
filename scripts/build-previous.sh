#!/usr/bin/env bash
# Builds the updater and the list generator as they were before release
# objects existed (commit f21360a, the last whose updater knows neither
# list.txt.objects nor objects/), for the compatibility tests: an updater
# already shipped must still update from a release published now, and the
# updater of now from a release published then. Built once into
# build-previous/; prints its build folder. Unoptimised and without debug
# information: the tests need its behaviour, and it builds in a third of the
# time.
set -euo pipefail
cd "$(dirname "$0")/.."
commit=f21360a
dir="$PWD/build-previous"
if [ "$(cat "$dir/commit" 2>/dev/null)" != "$commit" ] || [ ! -x "$dir/build/vmrkxupdate" ]; then
  rm -rf "$dir" && mkdir -p "$dir/src"
  git archive "$commit" | tar -x -C "$dir/src"
  cmake -S "$dir/src" -B "$dir/build" -G Ninja -DCMAKE_BUILD_TYPE=None -DVMRK_BUILD_TESTS=OFF \
    -DVMRK_BUILD_BENCH=OFF >/dev/null
  cmake --build "$dir/build" -j2 --target vmrkxupdate vmrkxupdate-listgen >/dev/null
  echo "$commit" > "$dir/commit"
fi
echo "$dir/build"
