#!/usr/bin/env bash
# A whole update over a slow link (bench/link_sim.py: 20 Mbit/s and 80 ms
# round trip by default; MBIT and RTT_MS change them). The release is
# python_release.sh's security update, signed and published with a delta
# package from the point release and compressed copies, every file offered
# (the installed ones are older). Three runs of ours:
#   delta   the point release installed: identical files are not fetched,
#           the changed ones come as patches from the package
#   copies  nothing installed (no known base): compressed copies, 6 at once
#   plain   the point release installed, no key (unsigned): plain files, 6 at once
#   mirrors the delta run with myip.txt naming three servers, the first
#           black-holed (its connections never complete) and two links
#           to the same release: bounded by the delta's bound plus one
#           connect timeout (the updater's 15 s)
# and curl fetching every file whole, one after another on one connection
# and 6 at once. Each round times all five the same way, around the whole
# process, in a rotating order. Printed: the bytes each took through the
# link; the delta run's bytes over the sum of `zstd -19 --patch-from` of
# the changed files plus the list and manifest, and its time over the bound
# of twice (those bytes / bandwidth + 4 round trips); min and median of our
# times over curl's.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh vmrkxupdate vmrkxupdate-listgen >/dev/null
rounds=${ROUNDS:-5}
source bench/published_release.sh
sed 's/^/listgen: /' "$work/listgen.log"
(cd "$release" && find app -type f | sort) > "$work/files"
# The measure of a delta: zstd's own patch-from of each changed file.
reference=$(( $(stat -c %s "$release/list.txt") + $(stat -c %s "$release/list.txt.sig") ))
changed=0
while read -r f; do
  old="${trees[0]}/${f#app/}"
  if [ -f "$old" ] && cmp -s "$old" "$release/$f"; then continue; fi
  changed=$((changed + 1))
  if [ -f "$old" ]; then
    size=$(zstd -q -19 --long=30 --patch-from="$old" -c "$release/$f" 2>/dev/null | wc -c)
  else
    size=$(zstd -q -19 -c "$release/$f" | wc -c)
  fi
  reference=$((reference + size))
done < "$work/files"

link() {  # [NAME] starts a fresh link; sets port and linkpid
  rm -f "$work/count${1:-}"
  exec {lfd}< <(python3 bench/link_sim.py --upstream "$upstream" --rtt-ms "${RTT_MS:-80}" --mbit "${MBIT:-20}" \
                --count-file "$work/count${1:-}" --lifetime 36000)
  linkpid=$!
  read -r port <&"$lfd"
}
unlink() {  # [PID NAME] ends the link; prints the bytes it carried to the client
  local pid=${1:-$linkpid}
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  cat "$work/count${2:-}" 2>/dev/null || echo 0
}
blackhole() {  # a port whose accept queue is full: every new SYN is dropped; sets holeport and holepid
  exec {hfd}< <(python3 -c '
import socket, time
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(0); port = s.getsockname()[1]
fill = []
for _ in range(2):
    c = socket.socket(); c.setblocking(False); fill.append(c)
    try: c.connect(("127.0.0.1", port))
    except BlockingIOError: pass
print(port, flush=True); time.sleep(36000)')
  holepid=$!
  read -r holeport <&"$hfd"
}

ours() {  # delta | copies | plain | mirrors
  rm -rf "$work/app" "$work/config"; mkdir -p "$work/config"
  if [ "$1" = copies ]; then mkdir -p "$work/app"; else cp -a "${trees[0]}" "$work/app"; fi
  find "$work/app" -type f -exec touch -d 2000-01-01 {} +
  cp build/vmrkxupdate "$work/app/"
  [ "$1" = plain ] || cp "$work/maintainer.key.pub" "$work/app/vmrkxupdate.keys"
  local second=""
  if [ "$1" = mirrors ]; then
    blackhole
    link 2; second="$linkpid 2"; local port2=$port
    link
    printf 'seip:127.0.0.1:%s\r\nseip:127.0.0.1:%s\r\nseip:127.0.0.1:%s\r\n' "$holeport" "$port" "$port2" \
      > "$work/app/myip.txt"
  else
    link
    printf 'seip:127.0.0.1:%s\r\n' "$port" > "$work/app/myip.txt"
  fi
  local t0 t1; t0=$(date +%s.%N)
  XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$work/config" WINDIR="$work/windows" DISPLAY= \
    "$work/app/vmrkxupdate" --silent || { echo "the update ($1) failed" >&2; tail "$work/app/vmrkxupdate.log" >&2; exit 1; }
  t1=$(date +%s.%N)
  if ! diff -rq --exclude=vmrkxupdate --exclude='vmrkxupdate.*' --exclude=myip.txt --exclude=update --exclude='.*' \
      "$work/app" "$release/app" >/dev/null; then
    echo "the update ($1) did not install the release" >&2; exit 1
  fi
  local bytes; bytes=$(unlink)
  if [ -n "$second" ]; then
    kill -TERM "$holepid" 2>/dev/null || true
    # shellcheck disable=SC2086
    bytes=$((bytes + $(unlink $second)))
  fi
  echo "$(echo "$t1 - $t0" | bc) $bytes"
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

mbit=${MBIT:-20}; rtt=${RTT_MS:-80}
echo "$(wc -l < "$work/files") files, $(du -sb "$release/app" | cut -f1) bytes, $changed changed; link $mbit Mbit/s, $rtt ms"
echo "zstd -19 --patch-from of the changed files, with the list and the manifest: $reference bytes"
bound=$(echo "2 * ($reference * 8 / ($mbit * 1000000) + 4 * $rtt / 1000)" | bc -l)
connect_timeout=15
declare -a rb rt r1 r6 tc tp rm
for round in $(seq "$rounds"); do
  declare -A got=()
  order=(delta copies plain seq par mirrors); for _ in $(seq $(( (round - 1) % 6 ))); do order=("${order[@]:1}" "${order[0]}"); done
  for who in "${order[@]}"; do
    case $who in seq) got[seq]=$(curls 1) ;; par) got[par]=$(curls 6) ;; *) got[$who]=$(ours "$who") ;; esac
  done
  read -r td bd <<<"${got[delta]}"; read -r tcp bcp <<<"${got[copies]}"; read -r tpl bpl <<<"${got[plain]}"
  read -r ts bs <<<"${got[seq]}"; read -r tpar bpar <<<"${got[par]}"; read -r tm bm <<<"${got[mirrors]}"
  printf 'round %d: delta %.2f s %d B, copies %.1f s %d B, plain %.1f s %d B, curl one by one %.1f s %d B, curl 6 at once %.1f s %d B, mirrors %.2f s %d B\n' \
    "$round" "$td" "$bd" "$tcp" "$bcp" "$tpl" "$bpl" "$ts" "$bs" "$tpar" "$bpar" "$tm" "$bm"
  rm+=("$(echo "$tm / ($bound + $connect_timeout)" | bc -l)")
  rb+=("$(echo "$bd / $reference" | bc -l)"); rt+=("$(echo "$td / $bound" | bc -l)")
  r1+=("$(echo "$td / $ts" | bc -l)"); r6+=("$(echo "$td / $tpar" | bc -l)")
  tc+=("$tcp"); tp+=("$tpl")
done
stats() { printf '%s\n' "$@" | sort -g | awk '{ a[NR] = $1 } END { printf "min %.3f, median %.3f", a[1], a[int((NR + 1) / 2)] }'; }
echo "delta: bytes over zstd's (goal at most 1.2): $(stats "${rb[@]}")"
printf 'delta: time over the bound of %.2f s (goal at most 1): %s\n' "$bound" "$(stats "${rt[@]}")"
echo "no known base, compressed copies, seconds: $(stats "${tc[@]}")"
echo "unsigned, plain files, seconds: $(stats "${tp[@]}")"
printf 'delta, first of three mirrors black-holed: time over %.2f s, the bound and one connect timeout (goal at most 1): %s\n' \
  "$(echo "$bound + $connect_timeout" | bc -l)" "$(stats "${rm[@]}")"
echo "delta over curl one by one: $(stats "${r1[@]}")"
echo "delta over curl 6 at once:  $(stats "${r6[@]}")"
