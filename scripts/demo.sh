#!/usr/bin/env bash
# The updater's main job, end to end on this machine: builds it, publishes a
# sample release on a local HTTP server (127.0.0.1 only), points myip.txt at
# it and runs a whole update of a demo application folder. Without a display
# the window runs under Xvfb, is driven through Next and Finish with xdotool,
# and a screenshot of each state is saved.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh demo
scripts/build.sh vmrkxupdate vmrkxupdate-listgen >/dev/null

demo=$(mktemp -d /tmp/vmrkxupdate-demo.XXXXXX)
app="$demo/app"; release="$demo/release"; shots="$demo/screenshots"
mkdir -p "$app" "$release" "$shots" "$demo/config" "$demo/run" "$demo/windows/system32"
chmod 700 "$demo/run"
cp build/vmrkxupdate "$app/"
touch -d 2000-01-01 "$app/vmrkxupdate"
printf '#!/bin/sh\necho "Vmr player 1.0 started" >> "$(dirname "$0")/player.log"\n' > "$app/vmrPlayer"
chmod 755 "$app/vmrPlayer"; touch -d 2000-01-01 "$app/vmrPlayer"
python3 demo/make_release.py "$release" >/dev/null
build/vmrkxupdate-listgen generate "$release/vmrkxupdate" -o "$release/vmrkxupdate/list.txt" 2>/dev/null

pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

exec {port_fd}< <(python3 tests/support/http_server.py --root "$release" --log "$demo/requests.log" --lifetime 900)
pids+=($!)
read -r port <&"$port_fd"
printf 'seip:127.0.0.1:%s\r\n' "$port" > "$app/myip.txt"
echo "server:      http://127.0.0.1:$port/vmrkxupdate/list.txt"
echo "application: $app"
echo "windows:     $demo/windows"

export XDG_CONFIG_HOME="$demo/config" XDG_RUNTIME_DIR="$demo/run" WINDIR="$demo/windows"
headless=0
if [ -z "${DISPLAY:-}" ]; then
  headless=1
  exec {xfd}< <(Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp -noreset 2>/dev/null)
  pids+=($!)
  read -r display <&"$xfd"
  export DISPLAY=":$display"
fi

window() { xdotool search --name 'Vmr播放器 - 在线升级' 2>/dev/null | head -1 || true; }
has_window() { [ -n "$(window)" ]; }
shot() {
  local id; id=$(window)
  [ -n "$id" ] && import -window "$id" "$shots/$1.png" && echo "screenshot:  $shots/$1.png"
}
wait_for() {  # seconds command...
  local n=$(( $1 * 10 )); shift
  for _ in $(seq "$n"); do "$@" && return 0; sleep 0.1; done
  return 1
}
click_main_button() {  # at the centre of cmdBegin, scaled to the window's size
  local id; id=$(window); [ -n "$id" ] || return 0
  eval "$(xdotool getwindowgeometry --shell "$id")"
  xdotool mousemove --window "$id" $((WIDTH * 2827 / 9615)) $((HEIGHT * 5700 / 6135)) click 1
}
running() { kill -0 "$updater" 2>/dev/null; }
requested() { grep -q "$1" "$demo/requests.log" 2>/dev/null; }

touch "$demo/started"; sleep 0.01
"$app/vmrkxupdate" & updater=$!; pids+=($updater)

if [ "$headless" = 0 ]; then
  echo "the updater's window is open: press Next, then Finish"
  wait "$updater" || true
else
  wait_for 15 has_window
  wait_for 15 sh -c "! test -e '$app/list.txt' && test -e '$app/update'"
  sleep 1
  shot 1-list-checked
  click_main_button
  wait_for 20 requested intro.slow.dat || true
  sleep 1.5
  shot 2-downloading
  # The list runs app's own files, then its subfolders, then win: the codec
  # below the Windows folder comes last.
  wait_for 60 test -e "$demo/windows/system32/vmrcodec.dll"
  sleep 1
  shot 3-completed
  for _ in $(seq 20); do  # Finish; a click that comes too early is ignored
    running || break
    click_main_button
    sleep 0.5
  done
  wait_for 5 test -s "$app/player.log" || true

  echo
  echo "installed:"
  (cd "$demo" && find app windows -cnewer "$demo/started" -type f ! -name player.log ! -name myip.txt | sort | sed 's/^/    /')
  echo "player restarted: $(tail -1 "$app/player.log" 2>/dev/null || echo no)"
  echo

  # The same updater once more: only the empty file is offered again (an
  # installed file of length 0 always counts as out of date).
  "$app/vmrkxupdate" & updater=$!; pids+=($updater)
  wait_for 10 has_window; sleep 1.5
  shot 4-second-run
  kill "$updater" 2>/dev/null || true; wait "$updater" 2>/dev/null || true

  # A connection that drops at the same byte every time: the row shows the
  # retries while they wait (1, 3 and 9 s), then the failure state.
  rm "$app/media/intro.slow.dat"
  echo 100000 > "$release/vmrkxupdate/app/media/intro.slow.dat.cutat"
  "$app/vmrkxupdate" & updater=$!; pids+=($updater)
  wait_for 10 has_window; sleep 1.5
  click_main_button
  wait_for 20 grep -q "retry 2/3" "$app/vmrkxupdate.log" || true
  sleep 0.5
  shot 5-retrying
  kill "$updater" 2>/dev/null || true; wait "$updater" 2>/dev/null || true
  rm "$release/vmrkxupdate/app/media/intro.slow.dat.cutat"

  # Its server unreachable, and without an address file.
  printf 'seip:127.0.0.1:1\r\n' > "$app/myip.txt"
  "$app/vmrkxupdate" & updater=$!; pids+=($updater)
  wait_for 10 has_window; sleep 1.5
  shot 6-download-failed
  kill "$updater" 2>/dev/null || true; wait "$updater" 2>/dev/null || true
  rm "$app/myip.txt"
  "$app/vmrkxupdate" & updater=$!; pids+=($updater)
  wait_for 10 has_window; sleep 0.5
  shot 7-no-address-file
  kill "$updater" 2>/dev/null || true; wait "$updater" 2>/dev/null || true
  echo "screenshots in $shots"
fi
