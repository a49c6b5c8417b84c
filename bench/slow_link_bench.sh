#!/usr/bin/env bash
# A whole update over a slow link (bench/link_sim.py: 20 Mbit/s and 80 ms
# round trip by default; MBIT and RTT_MS change them), against curl fetching
# the same files: one after another on one connection, and 6 at once. The
# release is python_release.sh's security update, every file offered (the
# installed ones are older). Each round times the three the same way, around
# the whole process, in a rotating order; min and median of our time over
# each of curl's are printed, with the bytes each took through the link.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh vmrkxupdate vmrkxupdate-listgen >/dev/null
mapfile -t trees < <(bench/python_release.sh)
rounds=${ROUNDS:-5}
work=$(mktemp -d /tmp/vmrk-slowlink.XXXXXX)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT

release="$work/root/vmrkxupdate"
mkdir -p "$release/app" "$work/run" "$work/config" "$work/windows"
cp -a "${trees[1]}/." "$release/app/"
build/vmrkxupdate-listgen generate "$release" -o "$release/list.txt" 2>/dev/null
(cd "$release" && find app -type f | sort) > "$work/files"
exec {fd}< <(python3 tests/support/http_server.py --root "$work/root" --lifetime 36000)
pids+=($!)
read -r upstream <&"$fd"

link() {  # starts a fresh link; prints its port
  rm -f "$work/count"
  exec {lfd}< <(python3 bench/link_sim.py --upstream "$upstream" --rtt-ms "${RTT_MS:-80}" --mbit "${MBIT:-20}" \
                --count-file "$work/count" --lifetime 36000)
  linkpid=$!
  read -r port <&"$lfd"
}
unlink() {  # ends the link; prints the bytes it carried to the client
  kill -TERM "$linkpid" 2>/dev/null || true
  for _ in $(seq 100); do kill -0 "$linkpid" 2>/dev/null || break; sleep 0.05; done
  cat "$work/count" 2>/dev/null || echo 0
}

ours() {
  rm -rf "$work/app"; cp -a "${trees[0]}" "$work/app"
  find "$work/app" -type f -exec touch -d 2000-01-01 {} +
  cp build/vmrkxupdate "$work/app/"
  link
  printf 'seip:127.0.0.1:%s\r\n' "$port" > "$work/app/myip.txt"
  local t0 t1; t0=$(date +%s.%N)
  XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$work/config" WINDIR="$work/windows" DISPLAY= \
    "$work/app/vmrkxupdate" --silent || { echo "the update failed" >&2; exit 1; }
  t1=$(date +%s.%N)
  echo "$(echo "$t1 - $t0" | bc) $(unlink)"
}
curls() {  # PARALLEL
  rm -rf "$work/out"; mkdir -p "$work/out"
  link
  awk -v base="http://127.0.0.1:$port/vmrkxupdate/" -v out="$work/out/" \
    '{ f = $0; gsub("/", "_", f); print "url = \"" base $0 "\"\noutput = \"" out f "\"" }' "$work/files" > "$work/curl.conf"
  local t0 t1; t0=$(date +%s.%N)
  if [ "$1" -gt 1 ]; then curl -sf --no-progress-meter -Z --parallel-max "$1" -K "$work/curl.conf"; else curl -sf -K "$work/curl.conf"; fi
  t1=$(date +%s.%N)
  echo "$(echo "$t1 - $t0" | bc) $(unlink)"
}

echo "$(wc -l < "$work/files") files, $(du -sb "$release/app" | cut -f1) bytes; link ${MBIT:-20} Mbit/s, ${RTT_MS:-80} ms"
declare -a r1 r6
for round in $(seq "$rounds"); do
  declare -A got=()
  order=(ours seq par); for _ in $(seq $(( (round - 1) % 3 ))); do order=("${order[@]:1}" "${order[0]}"); done
  for who in "${order[@]}"; do
    case $who in ours) got[ours]=$(ours) ;; seq) got[seq]=$(curls 1) ;; par) got[par]=$(curls 6) ;; esac
  done
  read -r to bo <<<"${got[ours]}"; read -r ts bs <<<"${got[seq]}"; read -r tp bp <<<"${got[par]}"
  printf 'round %d: ours %.1f s %d B, curl one by one %.1f s %d B, curl 6 at once %.1f s %d B\n' \
    "$round" "$to" "$bo" "$ts" "$bs" "$tp" "$bp"
  r1+=("$(echo "$to / $ts" | bc -l)"); r6+=("$(echo "$to / $tp" | bc -l)")
done
stats() { printf '%s\n' "$@" | sort -g | awk '{ a[NR] = $1 } END { printf "min %.2f, median %.2f", a[1], a[int((NR + 1) / 2)] }'; }
echo "ours over curl one by one: $(stats "${r1[@]}")"
echo "ours over curl 6 at once:  $(stats "${r6[@]}")"
