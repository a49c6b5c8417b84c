#!/usr/bin/env bash
# A 100 MiB file through the tests' server on loopback, once whole and once
# with the connection cut after every 10 MiB, both fetched by the real
# downloader (hashing as a signed release does) and timed the same way:
# around the whole process. Rounds alternate which goes first. The measure
# is what the server had to send: bytes of the cut transfer over bytes of
# the clean one (goal: at most 1.1); the time ratio is printed too, and it
# includes the one-second wait before each of the nine retries.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh >/dev/null
rounds=${ROUNDS:-5}
work=$(mktemp -d /tmp/vmrk-resumebench.XXXXXX)
trap 'kill "${server:-}" 2>/dev/null || true; rm -rf "$work"' EXIT
mkdir -p "$work/root/clean" "$work/root/cut" "$work/out"
head -c 100M /dev/urandom > "$work/root/clean/big.bin"
ln "$work/root/clean/big.bin" "$work/root/cut/big.bin"
echo $((10 * 1024 * 1024)) > "$work/root/cut/big.bin.cutevery"
: > "$work/sent.log"
exec {port_fd}< <(python3 tests/support/http_server.py --root "$work/root" --sent-log "$work/sent.log" --lifetime 3600)
server=$!
read -r port <&"$port_fd"
base="http://127.0.0.1:$port"

# Prints "SECONDS BYTES_SENT" for one fetch of the named variant; a failed or
# damaged transfer ends the benchmark.
fetch() {
  rm -f "$work/out/big.bin"
  local before t0 t1 sent
  before=$(wc -l < "$work/sent.log")
  t0=$(date +%s.%N)
  build/bench/download_bench --sha256 "$work/out" "$base/$1/big.bin" >/dev/null || { echo "failed: $1" >&2; exit 1; }
  t1=$(date +%s.%N)
  cmp -s "$work/out/big.bin" "$work/root/clean/big.bin" || { echo "damaged: $1" >&2; exit 1; }
  sleep 0.2  # the server logs a cut answer as it ends
  sent=$(tail -n +"$((before + 1))" "$work/sent.log" | paste -sd+ | bc)
  echo "$(echo "$t1 - $t0" | bc -l) $sent"
}
stats() { python3 -c '
import statistics, sys
r = [float(x) for x in sys.argv[2:]]
print("%s: min %.4f, median %.4f over %d rounds" % (sys.argv[1], min(r), statistics.median(r), len(r)))' "$@"; }

bytes=(); times=()
for round in $(seq "$rounds"); do
  if [ $((round % 2)) = 1 ]; then read -r ct cb < <(fetch clean); read -r xt xb < <(fetch cut)
  else read -r xt xb < <(fetch cut); read -r ct cb < <(fetch clean); fi
  echo "round $round: clean ${cb} bytes in ${ct}s, cut every 10 MiB ${xb} bytes in ${xt}s"
  bytes+=("$(echo "$xb / $cb" | bc -l)")
  times+=("$(echo "$xt / $ct" | bc -l)")
done
stats "bytes sent, cut / clean (goal at most 1.1)" "${bytes[@]}"
stats "wall time, cut / clean" "${times[@]}"
python3 -c 'import sys; sys.exit(0 if max(map(float, sys.argv[1:])) <= 1.1 else 1)' "${bytes[@]}" ||
  { echo "over the goal" >&2; exit 1; }
