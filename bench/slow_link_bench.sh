#!/usr/bin/env bash
# A whole update over a slow link (bench/link_sim.py: 20 Mbit/s and 80 ms
# round trip by default; MBIT and RTT_MS change them). The release is
# python_release.sh's security update, signed and published with a delta
# package from the point release and compressed copies, every file offered
# (the installed ones are older). Three runs of ours:
#   delta   the point release installed: identical files are not fetched,
#           the changed ones come as patches from the package
#   copies  nothing installed (a fresh installation): the full package
#   nobase  the point release installed, each changed file edited by a byte,
#           so that no patch applies: the changed files from the full package
#   plain   the point release installed, no key (unsigned): plain files, 6 at once
#   mirrors the delta run with myip.txt naming three servers, the first
#           black-holed (its connections never complete) and two links
#           to the same release: bounded by the delta's bound plus one
#           connect timeout (the updater's 15 s)
# and curl fetching every file whole, one after another on one connection
# and 6 at once, every compressed copy 6 at once (the fresh installation's
# peer) and the changed files' copies 6 at once (the no-base run's). Each
# round times every run the same way, around the whole process, in a
# rotating order. Printed: the bytes each took through the
# link; the delta run's bytes over the sum of `zstd -19 --patch-from` of
# the changed files plus the list and manifest, and its time over the bound
# of twice (those bytes / bandwidth + 4 round trips); min and median of our
# times over curl's; the copies and nobase runs' time over 1.5 times
# (their bytes / bandwidth + 4 round trips), and their requests.
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
  echo "$f" >> "$work/changed"
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
  if [ "$1" = nobase ]; then
    while read -r f; do [ -f "$work/app/${f#app/}" ] && printf 'x' >> "$work/app/${f#app/}"; done < "$work/changed"
  fi
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
  local t0 t1 asked; asked=$(wc -l < "$work/requests.log"); t0=$(date +%s.%N)
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
  echo "$(echo "$t1 - $t0" | bc) $bytes $(( $(wc -l < "$work/requests.log") - asked ))"
}
curls() {  # PARALLEL [FILE-LIST]
  rm -rf "$work/out"; mkdir -p "$work/out"
  link
  awk -v base="http://127.0.0.1:$port/vmrkxupdate/" -v out="$work/out/" \
    '{ f = $0; gsub("/", "_", f); print "url = \"" base $0 "\"\noutput = \"" out f "\"" }' "${2:-$work/files}" \
    > "$work/curl.conf"
  local t0 t1; t0=$(date +%s.%N)
  if [ "$1" -gt 1 ]; then curl -sf --no-progress-meter -Z --parallel-max "$1" -K "$work/curl.conf"; else curl -sf -K "$work/curl.conf"; fi
  t1=$(date +%s.%N)
  echo "$(echo "$t1 - $t0" | bc) $(unlink)"
}

touch "$work/requests.log"  # counted before the first request makes it
# The compressed copies, as curl fetches them for the copies' peer, and
# those of the changed files for the no-base run's.
awk '$1 == "copy" { print "objects/" $2 ".zst" }' "$release/list.txt.objects" > "$work/copies"
while read -r f; do sha256sum "$release/$f" | cut -d' ' -f1; done < "$work/changed" > "$work/changed.sha"
awk 'NR == FNR { want[$1] = 1; next } $1 == "copy" && ($4 in want) { print "objects/" $2 ".zst" }' \
  "$work/changed.sha" "$release/list.txt.objects" > "$work/changed-copies"
mbit=${MBIT:-20}; rtt=${RTT_MS:-80}
echo "$(wc -l < "$work/files") files, $(du -sb "$release/app" | cut -f1) bytes, $changed changed; link $mbit Mbit/s, $rtt ms"
echo "zstd -19 --patch-from of the changed files, with the list and the manifest: $reference bytes"
bound=$(echo "2 * ($reference * 8 / ($mbit * 1000000) + 4 * $rtt / 1000)" | bc -l)
connect_timeout=15
declare -a rb rt r1 r6 tc tp rm tn rc rn qc qn rz rzn
for round in $(seq "$rounds"); do
  declare -A got=()
  order=(delta copies plain seq par mirrors nobase parz parn); for _ in $(seq $(( (round - 1) % 9 ))); do order=("${order[@]:1}" "${order[0]}"); done
  for who in "${order[@]}"; do
    case $who in
      seq) got[seq]=$(curls 1) ;; par) got[par]=$(curls 6) ;; parz) got[parz]=$(curls 6 "$work/copies") ;;
      parn) got[parn]=$(curls 6 "$work/changed-copies") ;;
      *) got[$who]=$(ours "$who") ;;
    esac
    echo "$who ${got[$who]}" >&2
  done
  read -r td bd _ <<<"${got[delta]}"; read -r tcp bcp qcp <<<"${got[copies]}"; read -r tpl bpl _ <<<"${got[plain]}"
  read -r tnb bnb qnb <<<"${got[nobase]}"
  read -r ts bs <<<"${got[seq]}"; read -r tpar bpar <<<"${got[par]}"; read -r tm bm _ <<<"${got[mirrors]}"
  printf 'round %d: delta %.2f s %d B, copies %.2f s %d B %d requests, no base %.2f s %d B %d requests, plain %.1f s %d B, curl one by one %.1f s %d B, curl 6 at once %.1f s %d B, mirrors %.2f s %d B\n' \
    "$round" "$td" "$bd" "$tcp" "$bcp" "$qcp" "$tnb" "$bnb" "$qnb" "$tpl" "$bpl" "$ts" "$bs" "$tpar" "$bpar" "$tm" "$bm"
  tn+=("$tnb"); qc+=("$qcp"); qn+=("$qnb")
  read -r tz _ <<<"${got[parz]}"; rz+=("$(echo "$tcp / $tz" | bc -l)")
  read -r tzn _ <<<"${got[parn]}"; rzn+=("$(echo "$tnb / $tzn" | bc -l)")
  printf '  curl fetching every compressed copy, 6 at once: %.1f s; the changed files'"'"' copies: %.2f s\n' "$tz" "$tzn"
  rc+=("$(echo "$tcp / (1.5 * ($bcp * 8 / ($mbit * 1000000) + 4 * $rtt / 1000))" | bc -l)")
  rn+=("$(echo "$tnb / (1.5 * ($bnb * 8 / ($mbit * 1000000) + 4 * $rtt / 1000))" | bc -l)")
  rm+=("$(echo "$tm / ($bound + $connect_timeout)" | bc -l)")
  rb+=("$(echo "$bd / $reference" | bc -l)"); rt+=("$(echo "$td / $bound" | bc -l)")
  r1+=("$(echo "$td / $ts" | bc -l)"); r6+=("$(echo "$td / $tpar" | bc -l)")
  tc+=("$tcp"); tp+=("$tpl")
done
stats() { printf '%s\n' "$@" | sort -g | awk '{ a[NR] = $1 } END { printf "min %.3f, median %.3f", a[1], a[int((NR + 1) / 2)] }'; }
echo "delta: bytes over zstd's (goal at most 1.2): $(stats "${rb[@]}")"
printf 'delta: time over the bound of %.2f s (goal at most 1): %s\n' "$bound" "$(stats "${rt[@]}")"
echo "fresh installation (full package), seconds: $(stats "${tc[@]}"); requests: $(stats "${qc[@]}")"
echo "fresh installation: time over 1.5 x (bytes / bandwidth + 4 round trips) (goal at most 1): $(stats "${rc[@]}")"
echo "fresh installation over curl fetching the copies 6 at once (goal at most 0.5): $(stats "${rz[@]}")"
echo "no usable base (full package), seconds: $(stats "${tn[@]}"); requests: $(stats "${qn[@]}")"
echo "no usable base: time over 1.5 x (bytes / bandwidth + 4 round trips) (goal at most 1): $(stats "${rn[@]}")"
echo "no usable base over curl fetching the changed files' copies 6 at once (goal at most 0.5): $(stats "${rzn[@]}")"
echo "unsigned, plain files, seconds: $(stats "${tp[@]}")"
printf 'delta, first of three mirrors black-holed: time over %.2f s, the bound and one connect timeout (goal at most 1): %s\n' \
  "$(echo "$bound + $connect_timeout" | bc -l)" "$(stats "${rm[@]}")"
echo "delta over curl one by one: $(stats "${r1[@]}")"
echo "delta over curl 6 at once:  $(stats "${r6[@]}")"
