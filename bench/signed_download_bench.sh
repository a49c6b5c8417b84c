#!/usr/bin/env bash
# One 1 GiB file of random bytes from nginx on loopback through the real
# downloader, unsigned against signed (its SHA-256 computed while it streams),
# both timed around their whole process, 5 alternating rounds; prints min and
# median of signed/unsigned. Goal: median at most 1.05.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh >/dev/null
work=$(mktemp -d /tmp/vmrk-sigbench.XXXXXX)
trap 'kill $(cat "$work/nginx.pid" 2>/dev/null) 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/root" "$work/out"
head -c 1G /dev/urandom > "$work/root/big.bin"
port=$(scripts/start-nginx.sh "$work/root" "$work" nolog)
url="http://127.0.0.1:$port/big.bin"
seconds() {
  local t0 t1; t0=$(date +%s.%N); "$@" >/dev/null || { echo "failed: $*" >&2; kill $$; }; t1=$(date +%s.%N)
  rm -f "$work/out"/*; sync
  echo "$t1 - $t0" | bc -l
}
ratios=()
for round in 1 2 3 4 5; do
  if [ $((round % 2)) = 1 ]; then
    u=$(seconds build/bench/download_bench "$work/out" "$url"); s=$(seconds build/bench/download_bench --sha256 "$work/out" "$url")
  else
    s=$(seconds build/bench/download_bench --sha256 "$work/out" "$url"); u=$(seconds build/bench/download_bench "$work/out" "$url")
  fi
  echo "round $round: unsigned ${u}s, signed ${s}s"
  ratios+=("$(echo "$s / $u" | bc -l)")
done
python3 -c '
import statistics, sys
r = [float(x) for x in sys.argv[1:]]
print("1 GiB, signed / unsigned time: min %.3f, median %.3f over %d rounds" % (min(r), statistics.median(r), len(r)))' "${ratios[@]}"
