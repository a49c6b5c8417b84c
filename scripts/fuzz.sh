#!/usr/bin/env bash
# The readers of what a crash or a server leaves, under libFuzzer with
# AddressSanitizer and UndefinedBehaviorSanitizer, each for a short while
# (FUZZ_SECONDS, 20 by default): the journal and the previous release's
# record, and zstd frames. A crash or a sanitizer report fails the run and
# leaves the input that caused it in build-fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-20}
out=build-fuzz
mkdir -p "$out"
flags=(-std=c++20 -O1 -g -I. -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)
build() {  # name, sources...
  local name=$1; shift
  local binary="$out/$name"
  # Rebuilt only when a source is newer than the binary.
  if [ ! -x "$binary" ] || [ -n "$(find "$@" -newer "$binary" 2>/dev/null)" ]; then
    local sources=()
    for f in "$@"; do [[ $f == *.cpp ]] && sources+=("$f"); done
    clang++ "${flags[@]}" "${sources[@]}" -o "$binary" $(pkg-config --cflags --libs libzstd)
  fi
}
# Each target is one process on one core: the two are built, and run, side
# by side.
build records_fuzz tests/fuzz/records_fuzz.cpp install/transaction_records.cpp install/transaction_records.h &
records=$!
build frame_fuzz tests/fuzz/frame_fuzz.cpp updatelist/zstd_frames.cpp updatelist/zstd_frames.h &
frame=$!
wait "$records"
wait "$frame"
run() {  # name
  local name=$1
  mkdir -p "$out/$name.corpus"
  (cd "$out" && ./"$name" -max_total_time="$seconds" -max_len=4096 -print_final_stats=0 "$name.corpus" 2>"$name.log") || {
    tail -n 40 "$out/$name.log"
    echo "fuzz: $name failed" >&2
    return 1
  }
  echo "fuzz: $name ran ${seconds}s, $(ls "$out/$name.corpus" | wc -l) inputs in its corpus, no fault"
}
run records_fuzz &
records=$!
run frame_fuzz &
frame=$!
failed=0
wait "$records" || failed=1
wait "$frame" || failed=1
exit $failed
