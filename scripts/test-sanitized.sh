#!/usr/bin/env bash
# The Linux suites once under ThreadSanitizer and once under AddressSanitizer
# (build-thread/, build-address/). Debian's Qt is not instrumented, so the
# accesses of its own threads are not judged (ignore_noninstrumented_modules);
# any report that remains fails its test.
set -euo pipefail
cd "$(dirname "$0")/.."
export TSAN_OPTIONS="ignore_noninstrumented_modules=1 exitcode=66 second_deadlock_stack=1"
export ASAN_OPTIONS="detect_leaks=1 exitcode=66"
export LSAN_OPTIONS="suppressions=$PWD/tests/support/lsan.supp print_suppressions=0"
for sanitizer in thread address; do
  dir=build-$sanitizer
  [ -f "$dir/build.ninja" ] || cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVMRK_SANITIZER=$sanitizer -DVMRK_BUILD_BENCH=OFF >/dev/null
  cmake --build "$dir" -j2
  # The crash-point and power-cut tables are single-threaded: ThreadSanitizer
  # has nothing to judge in them, and AddressSanitizer runs them.
  exclude=()
  [ "$sanitizer" = thread ] && exclude=(-E 'CrashPoint|PowerCut')
  (cd "$dir" && ctest -j2 --output-on-failure --timeout 600 "${exclude[@]}")
done
