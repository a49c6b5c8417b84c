#!/usr/bin/env bash
# The Linux window under Xvfb against nginx on loopback:
#  - idle CPU with the list shown, at 10, 10,000 and 100,000 rows (goal: below
#    0.5% at every size);
#  - start to a painted 100,000-row list against loading and checking the
#    same list alone, 5 alternating rounds (goal: median ratio at most 1.2);
#  - 10,000 small files through the window, Next to Finish (goal: 200 files a
#    second or more).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh >/dev/null
work=$(mktemp -d /tmp/vmrk-wbench.XXXXXX)
trap 'kill $(cat "$work/nginx.pid" 2>/dev/null) 2>/dev/null || true; [ -n "${xpid:-}" ] && kill "$xpid" 2>/dev/null; rm -rf "$work"' EXIT
if [ -z "${DISPLAY:-}" ]; then
  exec {xfd}< <(Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp -noreset 2>/dev/null)
  xpid=$!
  read -r display <&"$xfd"
  export DISPLAY=":$display"
fi
bench=build/bench/window_bench

# Lists of files that are not installed, so every line becomes a row; and a
# release of 10,000 small files of random bytes.
python3 - "$work" <<'PY'
import os, sys
work = sys.argv[1]
def rtf(lines):
    # Every line ends with its \par, and the document's own last \par is
    # absorbed by the reader, as in the lists the generator writes.
    body = "".join(l.replace("\\", "\\\\") + "\\par\n" for l in lines)
    return "{\\rtf1\\ansi\\ansicpg936\\deff0{\\fonttbl{\\f0\\fnil\\fcharset134 SimSun;}}\\f0\\fs18 " + body + "\\par\n}\n"
for rows in (10, 10000, 100000):
    root = os.path.join(work, "rows%d" % rows, "vmrkxupdate")
    os.makedirs(root)
    lines = ["app\\plugins%d\\file%d.dll?%d*2008-05-12 14:30:05" % (i % 100, i, 1000 + i) for i in range(rows)]
    open(os.path.join(root, "list.txt"), "w").write(rtf(lines))
root = os.path.join(work, "files", "vmrkxupdate")
lines = []
for i in range(10000):
    folder = os.path.join(root, "app", "f%02d" % (i % 50))
    os.makedirs(folder, exist_ok=True)
    data = os.urandom(1024 + i % 3000)
    open(os.path.join(folder, "s%05d.bin" % i), "wb").write(data)
    lines.append("app\\f%02d\\s%05d.bin?%d*2008-05-12 14:30:05" % (i % 50, i, len(data)))
open(os.path.join(root, "list.txt"), "w").write(rtf(lines))
PY
app() {  # a fresh application folder, and nginx serving one release
  kill "$(cat "$work/nginx.pid" 2>/dev/null)" 2>/dev/null && sleep 0.2 || true
  port=$(scripts/start-nginx.sh "$work/$1" "$work" nolog)
  rm -rf "$work/app"; mkdir -p "$work/app"
  printf 'seip:127.0.0.1:%s\r\n' "$port" > "$work/app/myip.txt"
}
stats() { python3 -c '
import statistics, sys
r = [float(x) for x in sys.argv[2:]]
print("%s: min %.3f, median %.3f over %d rounds" % (sys.argv[1], min(r), statistics.median(r), len(r)))' "$@"; }
field() { sed "s/.*$1=\([0-9.]*\).*/\1/"; }

for rows in 10 10000 100000; do
  app "rows$rows"
  echo "idle, $rows rows: $("$bench" idle "$work/app" 5 | field idle_cpu_percent)% CPU"
done

ratios=()
for round in 1 2 3 4 5; do
  app rows100000
  if [ $((round % 2)) = 1 ]; then
    paint=$("$bench" paint "$work/app" | field paint_ms)
    check=$("$bench" check "$work/app" "$work/rows100000/vmrkxupdate/list.txt" | field check_ms)
  else
    check=$("$bench" check "$work/app" "$work/rows100000/vmrkxupdate/list.txt" | field check_ms)
    paint=$("$bench" paint "$work/app" | field paint_ms)
  fi
  echo "round $round: painted 100,000 rows in ${paint} ms, check alone ${check} ms"
  ratios+=("$(echo "$paint / $check" | bc -l)")
done
stats "start to painted list / check alone" "${ratios[@]}"

rates=()
for round in 1 2 3; do
  app files
  line=$("$bench" install "$work/app")
  echo "round $round: $line"
  rates+=("$(echo "$line" | field files_per_second)")
done
stats "10,000 small files through the window, files a second" "${rates[@]}"
