#!/usr/bin/env bash
# Configures and builds into build/ (incrementally: nothing is rebuilt that
# did not change): everything, or only the targets named.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -f build/build.ninja ] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 ${1:+--target "$@"}
