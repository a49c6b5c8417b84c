#!/usr/bin/env bash
# The downloader against curl, both fetching random bytes from nginx on
# loopback, both timed the same way: around their whole process. Rounds
# alternate which side goes first; each round gives one ratio, and min and
# median of the ratios are printed.
#  - 1,000 files of 4 KiB in sequence over one connection (goal: median of
#    ours/curl at most 1.2);
#  - one 1 GiB file to disk (goal: median of curl/ours, our throughput
#    against curl's, at least 1.0; peak memory growth printed too).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh >/dev/null
rounds=${ROUNDS:-5}
work=$(mktemp -d /tmp/vmrk-dlbench.XXXXXX)
trap 'kill $(cat "$work/nginx.pid" 2>/dev/null) 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/root/small" "$work/out" "$work/curl"
for i in $(seq 1000); do head -c 4096 /dev/urandom > "$work/root/small/f$i.bin"; done
head -c 1G /dev/urandom > "$work/root/big.bin"

port=$(scripts/start-nginx.sh "$work/root" "$work" nolog)
base="http://127.0.0.1:$port"
seq 1000 | sed "s|.*|$base/small/f&.bin|" > "$work/urls.txt"
sed 's|^\(.*\)/\(f[0-9]*\.bin\)$|url = "\1/\2"\noutput = "'"$work"'/curl/\2"|' "$work/urls.txt" > "$work/curl.cfg"

seconds() {  # wall time of the whole command, output discarded; a failed run ends the benchmark
  local t0 t1; t0=$(date +%s.%N); "$@" >/dev/null || { echo "failed: $*" >&2; kill $$; }; t1=$(date +%s.%N)
  echo "$t1 - $t0" | bc -l
}
ours_small() { build/bench/download_bench "$work/out" - < "$work/urls.txt"; }
curl_small() { curl -s -K "$work/curl.cfg"; }
ours_big() { build/bench/download_bench "$work/out" "$base/big.bin"; }
curl_big() { curl -s -o "$work/curl/big.bin" "$base/big.bin"; }
clean() { rm -rf "$work/out"/* "$work/curl"/*; sync; }
stats() { python3 -c '
import statistics, sys
r = [float(x) for x in sys.argv[2:]]
print("%s: min %.3f, median %.3f over %d rounds" % (sys.argv[1], min(r), statistics.median(r), len(r)))' "$@"; }

small=(); big=()
for round in $(seq "$rounds"); do
  clean
  if [ $((round % 2)) = 1 ]; then o=$(seconds ours_small); c=$(seconds curl_small)
  else c=$(seconds curl_small); o=$(seconds ours_small); fi
  echo "round $round, 1000 x 4 KiB: downloader ${o}s, curl ${c}s"
  small+=("$(echo "$o / $c" | bc -l)")
  clean
  if [ $((round % 2)) = 1 ]; then o=$(seconds ours_big); clean; c=$(seconds curl_big)
  else c=$(seconds curl_big); clean; o=$(seconds ours_big); fi
  echo "round $round, 1 GiB: downloader ${o}s, curl ${c}s"
  big+=("$(echo "$c / $o" | bc -l)")
done
clean
growth=$(build/bench/download_bench "$work/out" "$base/big.bin" | sed 's/.*peak_growth_kib=\([-0-9]*\).*/\1/')
stats "1000 x 4 KiB, downloader time / curl time" "${small[@]}"
stats "1 GiB, downloader throughput / curl throughput" "${big[@]}"
echo "1 GiB: peak memory growth of the downloader ${growth} KiB"
