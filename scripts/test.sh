#!/usr/bin/env bash
# All the tests: installs what they need, builds each program once for them,
# and runs every suite. The tests start their own servers on 127.0.0.1.
#
# One Linux build serves the whole suite: build-check/, under
# AddressSanitizer (with its leak checker), so that every test, the whole
# processes and the end-to-end runs included, is also a memory check. The
# threads are checked where the program's own threads run: the worker and
# the update's flows over it (thread_tests) under ThreadSanitizer, in
# build-thread/ (which builds that program alone). build/ is left to the demo
# and the benchmarks, which want the program as shipped.
#
# The builds for the tests are unity builds (CMAKE_UNITY_BUILD: a few source
# files to one compilation), at two thirds of the time; so two files' private
# names must differ. ctest runs three at once: the two Wine runs, started
# first, spend most of their time waiting on Wine, not on a core.
set -euo pipefail
cd "$(dirname "$0")/.."
# Each step's time, to see where the command's minutes go.
started=$SECONDS
step() { echo "test.sh: $1 done at $((SECONDS - started)) s" >&2; }
scripts/install-deps.sh test
step "packages"
scripts/build-windows.sh
step "Windows builds"
previous=$(scripts/build-previous.sh)
step "build of the previous updater"

export ASAN_OPTIONS="detect_leaks=1 exitcode=66"
export LSAN_OPTIONS="suppressions=$PWD/tests/support/lsan.supp print_suppressions=0"
export TSAN_OPTIONS="ignore_noninstrumented_modules=1 exitcode=66 second_deadlock_stack=1"

# The Windows suite and one whole Windows update run under Wine as two of
# ctest's tests; the updater of before release objects is tested against
# today's releases and back.
[ -f build-check/build.ninja ] || cmake -S . -B build-check -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVMRK_SANITIZER=address -DVMRK_BUILD_BENCH=OFF -DCMAKE_UNITY_BUILD=ON >/dev/null
cmake -S . -B build-check -DVMRK_WINDOWS_BUILD_DIR="$PWD/build-win64" -DVMRK_PREVIOUS_BUILD_DIR="$previous" >/dev/null
cmake --build build-check -j2
step "AddressSanitizer build"
(cd build-check && ctest -j3 --output-on-failure --timeout 300)
step "every suite"

# Clang's thread-safety analysis of every annotated source, Windows's too.
scripts/check-thread-safety.sh
step "thread-safety analysis"
# The readers of the journal, the previous release's record and zstd frames
# under libFuzzer, a short while each.
scripts/fuzz.sh
step "fuzzing"
# The suites that run threads, under ThreadSanitizer.
scripts/test-threads.sh
step "ThreadSanitizer"
