#!/usr/bin/env bash
# The tests where the program's own threads run (thread_tests: the worker
# beside the event loop, and the update's flows over it with six transfers)
# under ThreadSanitizer, in build-thread/, which builds that program alone.
# Debian's Qt is not instrumented, so the accesses of its own threads are not
# judged (ignore_noninstrumented_modules); any report that remains fails its
# test.
set -euo pipefail
cd "$(dirname "$0")/.."
export TSAN_OPTIONS="${TSAN_OPTIONS:-ignore_noninstrumented_modules=1 exitcode=66 second_deadlock_stack=1}"
dir=build-thread
[ -f "$dir/build.ninja" ] || cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVMRK_SANITIZER=thread -DVMRK_BUILD_BENCH=OFF -DCMAKE_UNITY_BUILD=ON >/dev/null
cmake --build "$dir" -j2 --target thread_tests
(cd "$dir" && ctest -j2 --output-on-failure --timeout 600 -L threads)
