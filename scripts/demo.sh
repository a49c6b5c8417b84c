#!/usr/bin/env bash
# The updater's main job, end to end on this machine: builds it, publishes a
# sample release on a local HTTP server (127.0.0.1 only), points myip.txt at
# it and runs the updater from a demo application folder. Without a display
# the window runs under Xvfb and a screenshot of each state is saved.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh >/dev/null

demo=$(mktemp -d /tmp/vmrkxupdate-demo.XXXXXX)
app="$demo/app"; release="$demo/release"; shots="$demo/screenshots"
mkdir -p "$app" "$release" "$shots" "$demo/config" "$demo/run"
chmod 700 "$demo/run"
cp build/vmrkxupdate "$app/"
python3 demo/make_release.py "$release" >/dev/null

pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

exec {port_fd}< <(python3 tests/support/http_server.py --root "$release" --lifetime 900)
pids+=($!)
read -r port <&"$port_fd"
printf 'seip:127.0.0.1:%s\r\n' "$port" > "$app/myip.txt"
echo "server:      http://127.0.0.1:$port/vmrkxupdate/list.txt"
echo "application: $app"

export XDG_CONFIG_HOME="$demo/config" XDG_RUNTIME_DIR="$demo/run"
headless=0
if [ -z "${DISPLAY:-}" ]; then
  headless=1
  display=":$((90 + RANDOM % 100))"
  Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  pids+=($!)
  export DISPLAY="$display"
  for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
fi

shot() {  # name: screenshot of the updater's window
  local id
  id=$(xdotool search --name 'Vmr播放器 - 在线升级' 2>/dev/null | head -1 || true)
  [ -n "$id" ] && import -window "$id" "$shots/$1.png" && echo "screenshot:  $shots/$1.png"
}

wait_for() {  # seconds condition...
  local n=$(( $1 * 10 )); shift
  for _ in $(seq "$n"); do "$@" && return 0; sleep 0.1; done
  return 1
}

"$app/vmrkxupdate" &
updater=$!
pids+=($updater)
if wait_for 15 test -f "$app/list.txt"; then
  echo "list.txt arrived in the application folder:"
  sed 's/^/    /' "$app/list.txt"
else
  echo "list.txt did not arrive" >&2
fi
wait_for 10 sh -c 'xdotool search --name "Vmr播放器" >/dev/null 2>&1' || true
sleep 0.5
if [ "$headless" = 1 ]; then
  shot 1-list-fetched
  kill "$updater" 2>/dev/null || true
  wait "$updater" 2>/dev/null || true

  # The same updater with its server unreachable, and without an address file.
  printf 'seip:127.0.0.1:1\r\n' > "$app/myip.txt"
  "$app/vmrkxupdate" & updater=$!; pids+=($updater)
  wait_for 10 sh -c 'xdotool search --name "Vmr播放器" >/dev/null 2>&1' || true; sleep 1
  shot 2-download-failed
  kill "$updater" 2>/dev/null || true; wait "$updater" 2>/dev/null || true

  rm "$app/myip.txt"
  "$app/vmrkxupdate" & updater=$!; pids+=($updater)
  wait_for 10 sh -c 'xdotool search --name "Vmr播放器" >/dev/null 2>&1' || true; sleep 0.5
  shot 3-no-address-file
  kill "$updater" 2>/dev/null || true; wait "$updater" 2>/dev/null || true
  echo "screenshots in $shots"
else
  echo "the updater's window is open; close it to end the demo"
  wait "$updater" || true
fi
