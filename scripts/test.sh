#!/usr/bin/env bash
# All the tests: installs what they need, builds, and runs them with ctest,
# then the Linux suites once more under each sanitizer. The tests start
# their own HTTP servers on 127.0.0.1.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh test
scripts/build-windows.sh
scripts/build.sh
# The Windows suite runs under Wine as one of ctest's tests; the updater of
# before release objects is tested against today's releases and back.
cmake -S . -B build -DVMRK_WINDOWS_BUILD_DIR="$PWD/build-win64" \
  -DVMRK_PREVIOUS_BUILD_DIR="$(scripts/build-previous.sh)" >/dev/null
cmake --build build -j2
(cd build && ctest -j2 --output-on-failure --timeout 300)
# Clang's thread-safety analysis of every annotated source, Windows's too.
scripts/check-thread-safety.sh
# The readers of the journal, the previous release's record and zstd frames
# under libFuzzer, a short while each.
scripts/fuzz.sh
# The Linux suites again under ThreadSanitizer and AddressSanitizer.
scripts/test-sanitized.sh
