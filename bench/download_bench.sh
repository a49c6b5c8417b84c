#!/usr/bin/env bash
# The downloader against curl, both fetching from nginx on loopback:
#  - 1,000 files of 4 KiB in sequence (goal: at most 1.5 times one curl run
#    over one connection);
#  - one 1 GiB file (goal: at least 0.8 times curl's throughput, peak memory
#    growth at most 16 MiB).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh >/dev/null
work=$(mktemp -d /tmp/vmrk-dlbench.XXXXXX)
trap 'kill $(cat "$work/nginx.pid" 2>/dev/null) 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/root/small" "$work/out" "$work/curl"
for i in $(seq 1000); do head -c 4096 /dev/urandom > "$work/root/small/f$i.bin"; done
truncate -s 1G "$work/root/big.bin"

port=$(scripts/start-nginx.sh "$work/root" "$work" nolog)
base="http://127.0.0.1:$port"

seq 1000 | sed "s|.*|$base/small/f&.bin|" > "$work/urls.txt"
sed 's|^\(.*\)/\(f[0-9]*\.bin\)$|url = "\1/\2"\noutput = "'"$work"'/curl/\2"|' "$work/urls.txt" > "$work/curl.cfg"

now() { date +%s.%N; }
t0=$(now); curl -s -K "$work/curl.cfg"; t1=$(now)
curl_small=$(echo "$t1 - $t0" | bc -l)
ours_small=$(build/bench/download_bench "$work/out" - < "$work/urls.txt" | sed 's/.*seconds=\([0-9.]*\).*/\1/')
echo "1000 x 4 KiB: downloader ${ours_small}s, curl ${curl_small}s, ratio $(echo "$ours_small / $curl_small" | bc -l | cut -c1-5)"
rm -rf "$work/out"/* "$work/curl"/*

t0=$(now); curl -s -o "$work/curl/big.bin" "$base/big.bin"; t1=$(now)
curl_big=$(echo "$t1 - $t0" | bc -l)
rm -f "$work/curl/big.bin"
line=$(build/bench/download_bench "$work/out" "$base/big.bin")
ours_big=$(echo "$line" | sed 's/.*seconds=\([0-9.]*\).*/\1/')
growth=$(echo "$line" | sed 's/.*peak_growth_kib=\([-0-9]*\).*/\1/')
echo "1 GiB: downloader $(echo "1024 / $ours_big" | bc -l | cut -c1-6) MiB/s, curl $(echo "1024 / $curl_big" | bc -l | cut -c1-6) MiB/s, ratio $(echo "$curl_big / $ours_big" | bc -l | cut -c1-5), peak memory growth ${growth} KiB"
