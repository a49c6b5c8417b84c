#!/usr/bin/env bash
# The longest stand-still of the event loop (the thread that delivers the
# transfers' events and paints the window) during a whole signed update of
# python_release.sh's security update, from its point release installed:
# every installed file hashed, the changed ones patched from the delta
# package, the new ones decoded from their copies, then the installation.
# Each round runs, in a rotating order, the run with its disk work on a
# worker and the run with none (as before the worker), on Linux (Qt) and,
# when a Windows build with benchmarks is at hand or can be made, on Windows
# (the Win32 message loop and WinHTTP, under Wine). Printed per round: the
# longest stall in ms; then min and median of each, and of the per-round
# ratios worker over none. Goal: at most 50 ms with the worker. The program
# also says on stderr when each phase began and when its longest stall
# ended, to tell which step a stall belongs to.
#   ROUNDS=5 WINDOWS=1 bench/stall_bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh stall_bench vmrkxupdate-listgen >/dev/null
windows=${WINDOWS:-1}
if [ "$windows" = 1 ]; then
  scripts/fetch-zstd-source.sh >/dev/null
  [ -f build-win64-bench/build.ninja ] || cmake -S . -B build-win64-bench -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=MinSizeRel -DVMRK_BUILD_TESTS=OFF >/dev/null
  cmake --build build-win64-bench -j2 --target stall_bench >/dev/null
fi
rounds=${ROUNDS:-5}
bench_cleanup() { WINEPREFIX="$work/prefix" /usr/lib/wine/wineserver64 -k 2>/dev/null || true; }
source bench/published_release.sh
port=$upstream

if [ "$windows" = 1 ]; then
  export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1
fi

one() {  # linux|windows inline|worker: prints the longest stall in ms
  local app="$work/app"
  [ "$1" = windows ] && app="$WINEPREFIX/drive_c/app"
  rm -rf "$app"; cp -a "${trees[0]}" "$app"
  find "$app" -type f -exec touch -d 2000-01-01 {} +
  local flag=(); [ "$2" = inline ] && flag=(--inline)
  local out
  if [ "$1" = linux ]; then
    out=$(XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$work/config" WINDIR="$work/windows" \
      build/bench/stall_bench "${flag[@]}" "$app" "http://127.0.0.1:$port/" "$key" 2>"$work/stderr")
  else
    out=$(/usr/lib/wine/wine64 build-win64-bench/bench/stall_bench.exe "${flag[@]}" 'C:\app' "http://127.0.0.1:$port/" "$key" 2>"$work/stderr" | tr -d '\r')
  fi
  read -r outcome stall _ <<<"$out"
  [ "$outcome" = updated ] || {
    echo "the update ($1, $2) failed: [$out]" >&2; grep -v fixme "$work/stderr" >&2; tail -n 3 "$app/vmrkxupdate.log" >&2; exit 1; }
  echo "$stall"
}

platforms=(linux); [ "$windows" = 1 ] && platforms+=(windows)
echo "$(find "$release/app" -type f | wc -l) files, $(du -sb "$release/app" | cut -f1) bytes; the point release installed"
declare -A all
for round in $(seq "$rounds"); do
  line="round $round:"
  for p in "${platforms[@]}"; do
    order=(worker inline); [ $((round % 2)) = 0 ] && order=(inline worker)
    declare -A got=()
    for m in "${order[@]}"; do got[$m]=$(one "$p" "$m"); done
    all[$p-worker]+="${got[worker]} "; all[$p-inline]+="${got[inline]} "
    all[$p-ratio]+="$(echo "${got[worker]} / ${got[inline]}" | bc -l) "
    line+=" $p worker ${got[worker]} ms, none ${got[inline]} ms;"
  done
  echo "$line"
done
stats() { printf '%s\n' $1 | sort -g | awk '{ a[NR] = $1 } END { printf "min %.2f, median %.2f", a[1], a[int((NR + 1) / 2)] }'; }
for p in "${platforms[@]}"; do
  echo "$p: longest stall with the worker (goal at most 50 ms): $(stats "${all[$p-worker]}")"
  echo "$p: longest stall with none: $(stats "${all[$p-inline]}")"
  echo "$p: worker over none, per round: $(stats "${all[$p-ratio]}")"
done
