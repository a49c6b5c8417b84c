#!/usr/bin/env bash
# One whole update by the Windows updater under Wine: the application folder
# on Wine's C: drive (a path with a space), the Windows folder Wine's own,
# nginx on 127.0.0.1 serving a release whose list vmrkxupdate-listgen wrote
# and signed on Linux (so CNG verifies what OpenSSL signed),
# the window under Xvfb, Next and Finish clicked with BM_CLICK. Checked on
# disk: installed files and their times, the side file, the player started.
# Then certificates that must be refused, and servers that stop answering.
#   VMRK_E2E_SHOT=FILE.png keeps a screenshot of the display at a failure.
#   windows_e2e.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR
set -uo pipefail
win=$1; linux=$2
fail() { echo "FAILED: $*" >&2; [ -n "${VMRK_E2E_SHOT:-}" ] && import -window root "$VMRK_E2E_SHOT"; exit 1; }
work=$(mktemp -d /tmp/vmrk-wine-e2e.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  [ -f "$work/nginx.pid" ] && kill "$(cat "$work/nginx.pid")" 2>/dev/null
  WINEPREFIX="$work/prefix" /usr/lib/wine/wineserver64 -k 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
export TZ=Asia/Shanghai WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64

exec {xfd}< <(Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp -noreset 2>/dev/null)
pids+=($!)
read -r display <&"$xfd"
export DISPLAY=":$display"
"$wine" wineboot --init >/dev/null 2>&1
# No window manager runs on this display, and Wine waits 2 s for one to
# withdraw each window it destroys; unmanaged windows end as on Windows.
"$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1

# The release, listed by the maintainer's tool.
rel="$work/release/vmrkxupdate"
mkdir -p "$rel/app/皮肤" "$rel/win/system32"
printf 'readme 2.0\r\n' > "$rel/app/readme.txt"
printf '默认皮肤' > "$rel/app/皮肤/默认.dat"
: > "$rel/app/empty.dat"
printf 'MZ component' > "$rel/win/system32/vmrtest.ocx"
cp "$win/tests/fake_player.exe" "$rel/app/vmrPlayer.exe"
printf 'the next updater' > "$rel/app/vmrkxupdate.exe"
find "$rel" -type f -exec touch -d '2008-05-12 14:30:05' {} +
"$linux/vmrkxupdate-listgen" keygen "$work/maintainer.key" >/dev/null 2>&1 || fail "keygen"
"$linux/vmrkxupdate-listgen" generate "$rel" -o "$rel/list.txt" --sign "$work/maintainer.key" 2>/dev/null || fail "listgen"
# A server as an earlier maintainer's tool leaves it, without release.sig:
# the list and its manifest by their names (the release by content is last).
rm -f "$rel/release.sig"

# HTTPS with a test CA of our own, trusted only inside this run's prefix.
tls="$work/tls"; mkdir -p "$tls"
"$linux/tests/make_test_certificates" "$tls" || fail "the test certificates"
"$wine" "$win/tests/trust_test_ca.exe" "$tls/ca.pem" || fail "the test CA could not be trusted in the prefix"
port=$(TLS_CERT="$tls/good.crt" TLS_KEY="$tls/good.key" "$(dirname "$0")/../../scripts/start-nginx.sh" "$work/release" "$work") ||
  fail "nginx"

app="$WINEPREFIX/drive_c/Program Files/Vmr Player"
mkdir -p "$app"
cp "$win/vmrkxupdate.exe" "$app/"
cp "$win/tests/fake_player.exe" "$app/vmrPlayer.exe"
touch -d 2000-01-01 "$app/vmrPlayer.exe" "$app/vmrkxupdate.exe"
# By name: Wine's SSL policy matches DNS names only, never an IP address.
printf 'seip:https://localhost:%s\r\n' "$port" > "$app/myip.txt"
cp "$work/maintainer.key.pub" "$app/vmrkxupdate.keys"

"$wine" "$app/vmrkxupdate.exe" & updater=$!; pids+=($updater)
for _ in $(seq 150); do xdotool search --name 'Vmr播放器 - 在线升级' >/dev/null 2>&1 && break; sleep 0.1; done
# A second start ends at once and leaves the first one running.
"$wine" "$app/vmrkxupdate.exe" & second=$!; pids+=($second)
for _ in $(seq 200); do kill -0 "$second" 2>/dev/null || break; sleep 0.1; done
kill -0 "$second" 2>/dev/null && fail "a second start did not end"
kill -0 "$updater" 2>/dev/null || fail "the first updater ended"
[ "$(xdotool search --name 'Vmr播放器 - 在线升级' 2>/dev/null | wc -l)" = 1 ] || fail "more than one window"
"$wine" "$win/tests/click_button.exe" "下一步" 60 || fail "Next was never offered"
"$wine" "$win/tests/click_button.exe" "完 成" 120 || fail "Finish was never offered"
for _ in $(seq 100); do kill -0 "$updater" 2>/dev/null || break; sleep 0.1; done
kill -0 "$updater" 2>/dev/null && fail "the updater did not end after Finish"
for _ in $(seq 100); do [ -f "$app/player-started.txt" ] && break; sleep 0.1; done

windows="$WINEPREFIX/drive_c/windows"
[ "$(cat "$app/readme.txt")" = "$(printf 'readme 2.0\r\n')" ] || fail "readme.txt"
[ "$(cat "$app/皮肤/默认.dat")" = "默认皮肤" ] || fail "the Chinese name"
[ -f "$app/empty.dat" ] && [ ! -s "$app/empty.dat" ] || fail "the empty file"
[ "$(cat "$windows/system32/vmrtest.ocx")" = "MZ component" ] || fail "the component below the Windows folder"
[ "$(cat "$app/vmrkxupdate.exe.new")" = "the next updater" ] || fail "the side file"
cmp -s "$app/vmrkxupdate.exe" "$win/vmrkxupdate.exe" || fail "the running updater was replaced"
[ -f "$app/player-started.txt" ] || fail "the player was not started"
want=$(date -d '2008-05-12 14:30:05' +%s)
for f in "$app/readme.txt" "$app/皮肤/默认.dat" "$windows/system32/vmrtest.ocx" "$app/vmrPlayer.exe"; do
  [ "$(stat -c %Y "$f")" = "$want" ] || fail "the time of $f"
done
[ -z "$(ls -A "$app/update")" ] || fail "the staging folder is not empty"
grep -q '"GET /vmrkxupdate/app/%E7%9A%AE%E8%82%A4/%E9%BB%98%E8%AE%A4.dat' "$work/access.log" || fail "the Chinese address"
grep -q '"GET /vmrkxupdate/list.txt.sig' "$work/access.log" || fail "the manifest was not fetched"
serial=$(sed -n 's/^serial //p' "$rel/list.txt.sig")
"$wine" reg query 'HKCU\Software\VB and VBA Program Settings\tesk\vmrmovie' /v releaseserial 2>/dev/null | grep -q "$serial" ||
  fail "the accepted serial $serial was not recorded"
# A certificate that must not be trusted: the server never sees a request.
kill "$(cat "$work/nginx.pid")"; rm -f "$work/nginx.pid"
for bad in expired otherhost unknownca; do
  mkdir -p "$work/$bad"
  badport=$(TLS_CERT="$tls/$bad.crt" TLS_KEY="$tls/$bad.key" NGINX_LOG_LEVEL=info \
    "$(dirname "$0")/../../scripts/start-nginx.sh" "$work/release" "$work/$bad") || fail "nginx with $bad"
  printf 'seip:https://localhost:%s\r\n' "$badport" > "$app/myip.txt"
  : > "$work/$bad/error.log"  # from here on, only the updater's own connection
  "$wine" "$app/vmrkxupdate.exe" & refused=$!; pids+=($refused)
  # The failure state offers Close; the handshake reached the server and
  # ended there, and no request followed it.
  "$wine" "$win/tests/click_button.exe" "关 闭" 60 || fail "no failure state with the $bad certificate"
  for _ in $(seq 100); do kill -0 "$refused" 2>/dev/null || break; sleep 0.1; done
  kill "$(cat "$work/$bad/nginx.pid")" 2>/dev/null
  grep -qE "SSL|client closed connection while" "$work/$bad/error.log" || fail "the updater never reached the server with the $bad certificate"
  grep -q 'GET ' "$work/$bad/access.log" 2>/dev/null && fail "a request went through despite the $bad certificate"
done

# A server that stops answering never holds the window: closing it while the
# list is fetched, and Cancel while a file is fetched, end the process within
# 0.5 s wherever the transfer hangs, and leave no partial file behind.
exec {mfd}< <(python3 -c 'import socket,time
s=socket.socket(); s.bind(("127.0.0.1",0)); s.listen(8)
print(s.getsockname()[1], flush=True); time.sleep(600)')
pids+=($!)
read -r muteport <&"$mfd"
exec {sfd}< <(python3 "$(dirname "$0")/../support/http_server.py" --root "$work/release" --log "$work/fault.log" --lifetime 600)
pids+=($!)
read -r faultport <&"$sfd"
quiet() {  # ADDRESS MARKER-FILE BUTTON...
  local address=$1 marker=$2; shift 2
  printf 'seip:%s\r\n' "$address" > "$app/myip.txt"
  [ -n "$marker" ] && : > "$marker"
  "$wine" "$app/vmrkxupdate.exe" & local run=$!; pids+=($run)
  local button
  for button in "$@"; do
    if [ "$button" = "${!#}" ]; then
      sleep 3
      "$wine" "$win/tests/click_button.exe" "$button" 60 500 || fail "$button with $address ${marker##*/}"
    else
      "$wine" "$win/tests/click_button.exe" "$button" 60 || fail "no $button with $address ${marker##*/}"
    fi
  done
  [ -n "$marker" ] && rm -f "$marker"
  [ -z "$(ls -A "$app/update")" ] || fail "a partial file stayed after ${marker##*/}: $(ls -A "$app/update")"
}
quiet "https://localhost:$muteport" "" CLOSE
quiet "127.0.0.1:$faultport" "$rel/list.txt.stall" CLOSE
rm -f "$app/readme.txt"  # wanted again, so Next fetches it first
quiet "127.0.0.1:$faultport" "$rel/app/readme.txt.stall" "下一步" "取 消"
quiet "127.0.0.1:$faultport" "$rel/app/readme.txt.stallbody" "下一步" "取 消"
[ "$(grep -c 'GET /vmrkxupdate/app/readme.txt$' "$work/fault.log")" = 2 ] || fail "the stalled file was not asked for twice"

# The user's proxy, set the per-user way Internet Options sets it, carries the
# list, its manifest and the files; with 127.0.0.1 in its bypass list the
# same update goes direct. The fault server is the proxy too ("PROXY-GET").
settings='HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings'
"$wine" reg add "$settings" /v ProxyEnable /t REG_DWORD /d 1 /f >/dev/null 2>&1
"$wine" reg add "$settings" /v ProxyServer /d "localhost:$faultport" /f >/dev/null 2>&1
printf 'seip:127.0.0.1:%s\r\n' "$faultport" > "$app/myip.txt"
through_proxy() {  # WANTED-METHOD
  : > "$work/fault.log"
  rm -f "$app/readme.txt"
  "$wine" "$app/vmrkxupdate.exe" & local run=$!; pids+=($run)
  "$wine" "$win/tests/click_button.exe" "下一步" 60 || fail "no Next with the proxy ($1)"
  "$wine" "$win/tests/click_button.exe" "完 成" 60 10000 >/dev/null || fail "no Finish with the proxy ($1)"
  [ "$(cat "$app/readme.txt")" = "$(printf 'readme 2.0\r\n')" ] || fail "readme.txt with the proxy ($1)"
  local path
  for path in /vmrkxupdate/list.txt /vmrkxupdate/list.txt.sig /vmrkxupdate/app/readme.txt; do
    grep -q " $1 $path\$" "$work/fault.log" || fail "$path did not come as $1: $(cat "$work/fault.log")"
  done
  # release.sig (which this server lacks) is asked so that caches revalidate it.
  grep -v ' /vmrkxupdate/release.sig$' "$work/fault.log" | grep -qv " $1 " &&
    fail "not every request came as $1: $(cat "$work/fault.log")"
  if [ "$1" = GET ]; then
    grep -q ' REVALIDATE-GET /vmrkxupdate/release.sig$' "$work/fault.log" ||
      fail "release.sig was not asked with no-cache: $(cat "$work/fault.log")"
  fi
  return 0
}
through_proxy PROXY-GET
"$wine" reg add "$settings" /v ProxyOverride /d "127.0.0.1" /f >/dev/null 2>&1
through_proxy GET
"$wine" reg delete "$settings" /v ProxyEnable /f >/dev/null 2>&1

# An application folder of over 300 characters with a Chinese name: the
# files install and Finish starts the player.
part=$(printf '播放器在线升级测试文件夹%.0s' 1 2 3 4 5 6)  # 72 characters
long="$WINEPREFIX/drive_c/Vmr Player/$part/$part/$part/$part"
mkdir -p "$long"
cp "$app/vmrkxupdate.exe" "$app/vmrkxupdate.keys" "$app/myip.txt" "$long/"
cp "$win/tests/fake_player.exe" "$long/vmrPlayer.exe"
touch -d 2000-01-01 "$long/vmrPlayer.exe"
windows_long="C:\\Vmr Player\\$part\\$part\\$part\\$part"
[ ${#windows_long} -ge 300 ] || fail "the long folder is only ${#windows_long} characters"
"$wine" "$long/vmrkxupdate.exe" & longrun=$!; pids+=($longrun)
"$wine" "$win/tests/click_button.exe" "下一步" 60 || fail "no Next in the long folder"
"$wine" "$win/tests/click_button.exe" "完 成" 60 10000 >/dev/null || fail "no Finish in the long folder"
[ "$(cat "$long/readme.txt")" = "$(printf 'readme 2.0\r\n')" ] || fail "readme.txt in the long folder"
[ "$(cat "$long/皮肤/默认.dat")" = "默认皮肤" ] || fail "the Chinese name in the long folder"
# Finish asks for the player by its 8.3 name. Wine cannot start a
# program from a process whose own folder passes MAX_PATH (its search for
# the program overflows), nor reliably by the 8.3 names it makes of Chinese
# folders: here the request is checked, not that the player runs.
grep -q "finish: starting the player C:.*vmrPlayer.exe" "$long/vmrkxupdate.log" || fail "Finish did not start the player"

# Without a window: /silent and /check end in their exit statuses.
printf 'seip:127.0.0.1:%s\r\n' "$faultport" > "$app/myip.txt"
unattended() {  # WANTED-STATUS ARGUMENT...
  local wanted=$1; shift
  "$wine" "$app/vmrkxupdate.exe" "$@"; local got=$?
  [ "$got" = "$wanted" ] || fail "vmrkxupdate $* ended with $got, not $wanted: $(tail -4 "$app/vmrkxupdate.log")"
}
# Newer than the list's, and not empty (an empty installed file is always
# fetched again): only readme.txt is ever wanted below.
touch "$app/vmrkxupdate.exe"; printf 'x' > "$app/empty.dat"
rm -f "$app/readme.txt" "$app/player-started.txt"
unattended 10 /check
[ -f "$app/readme.txt" ] && fail "/check installed a file"
unattended 0 /silent
[ "$(cat "$app/readme.txt")" = "$(printf 'readme 2.0\r\n')" ] || fail "readme.txt after /silent"
sleep 1; [ -f "$app/player-started.txt" ] && fail "/silent without /restart started the player"
unattended 0 --check
rm -f "$app/readme.txt"
unattended 0 /SILENT /Restart
for _ in $(seq 100); do [ -f "$app/player-started.txt" ] && break; sleep 0.1; done
[ -f "$app/player-started.txt" ] || fail "/silent /restart did not start the player"
# A file where the skin folder must be: the whole release is put back.
rm -f "$app/readme.txt"; rm -rf "$app/皮肤"; printf 'in the way' > "$app/皮肤"
unattended 5 /silent
[ -f "$app/readme.txt" ] && fail "a release put back left readme.txt installed"
[ "$(cat "$app/皮肤")" = "in the way" ] || fail "a release put back changed the file in the way"
grep -q "installation failed, everything put back as it was" "$app/vmrkxupdate.log" || fail "the log has no rollback"
rm -f "$app/皮肤"
unattended 0 /silent  # the skin folder back
# A connection cut half way through a file: the run resumes it with one
# request for the rest, and the signed bytes install whole.
rm -f "$app/readme.txt"
echo 6 > "$rel/app/readme.txt.cutonce"
: > "$work/fault.log"
unattended 0 /silent
[ "$(cat "$app/readme.txt")" = "$(printf 'readme 2.0\r\n')" ] || fail "readme.txt after a resumed transfer"
grep -qP '^\d+ GET /vmrkxupdate/app/readme.txt\tbytes=6-\t"' "$work/fault.log" ||
  fail "no request for the rest of readme.txt: $(cat "$work/fault.log")"
grep -q "retry 1/3 of 1/1 app.readme.txt after: " "$app/vmrkxupdate.log" || fail "the log has no retry"
rm -f "$app/readme.txt"
mv "$rel/app/readme.txt" "$work/readme.txt"  # gone from the server
unattended 3 /silent
mv "$work/readme.txt" "$rel/app/readme.txt"
mv "$rel/list.txt.sig" "$work/list.txt.sig"  # no manifest: the list is refused
unattended 2 /silent
mv "$work/list.txt.sig" "$rel/list.txt.sig"
"$wine" "$app/vmrkxupdate.exe" & wizard=$!; pids+=($wizard)
"$wine" "$win/tests/click_button.exe" "下一步" 60 || fail "no window for the running updater"
unattended 4 /silent
"$wine" "$win/tests/click_button.exe" CLOSE 10 5000 >/dev/null || fail "the running updater did not close"
# The last update (readme.txt, resumed) taken back, once.
unattended 0 /rollback
[ -f "$app/readme.txt" ] && fail "/rollback left the file the last update added"
unattended 2 --rollback
# A release published with deltas from the one installed: the changed
# program file comes as a patch from the delta package (CNG checks what the
# zstd of Debian's source package decoded), nothing is fetched whole, and a
# broken package falls back to the compressed copies by itself.
cp -a "$rel" "$work/old"
head -c 300000 "$win/tests/windows_tests.exe" > "$rel/app/codec.dll"
cp "$rel/app/codec.dll" "$work/old/app/codec.dll"
cp "$rel/app/codec.dll" "$app/codec.dll"
# 20 kB of new bytes: a patch of about that size, which the server below
# sends slowly enough for the other transfer to run beside it.
head -c 20000 /dev/urandom | dd of="$rel/app/codec.dll" bs=20000 seek=150000 oflag=seek_bytes conv=notrunc 2>/dev/null
printf 'a plug-in new in this release' > "$rel/app/new.dll"
touch -d '2009-06-01 10:00:00' "$rel/app/codec.dll" "$rel/app/new.dll"
# readme.txt, gone since the rollback, comes as its compressed copy, which
# starts at once while the package waits for codec.dll to be hashed: 150 kB
# that do not compress, sent slowly below, so that it is still coming when
# the package starts, however slowly the hashing goes.
head -c 150000 /dev/urandom > "$rel/app/readme.txt"
touch -d '2008-05-12 14:30:05' "$rel/app/readme.txt"
touch -d 2000-01-01 "$app/codec.dll"
"$linux/vmrkxupdate-listgen" generate "$rel" -o "$rel/list.txt" --sign "$work/maintainer.key" \
  --delta-from "$work/old" 2>/dev/null || fail "listgen --delta-from"
rm -f "$rel/release.sig"
# The delta package: the first (the full package comes after the delta packages).
package=$(sed -n 's/^package \([0-9a-f]*\) .*/\1/p' "$rel/list.txt.objects" | head -n1)
[ -n "$package" ] || fail "no delta package in the index"
delta_update() {  # WHAT-THE-LOG-SAYS
  cp "$work/old/app/codec.dll" "$app/codec.dll"; touch -d 2000-01-01 "$app/codec.dll"; rm -f "$app/new.dll"
  : > "$work/fault.log"
  unattended 0 /silent
  cmp -s "$app/codec.dll" "$rel/app/codec.dll" || fail "codec.dll after the delta update ($1)"
  [ "$(cat "$app/new.dll")" = "a plug-in new in this release" ] || fail "new.dll after the delta update ($1)"
  grep -q "GET /vmrkxupdate/objects/$package.pack" "$work/fault.log" || fail "the package was not asked for ($1)"
  grep -q "GET /vmrkxupdate/app/codec.dll" "$work/fault.log" && fail "codec.dll was fetched whole ($1)"
  grep -q "$1" "$app/vmrkxupdate.log" || fail "the log does not say: $1"
}
# Objects sent slowly, so that the two transfers below surely overlap.
for object in "$rel"/objects/*; do : > "$object.slow"; done
delta_update "staged .* app.codec.dll, from the delta package, patched"
rm -f "$rel"/objects/*.slow
# readme.txt came as its compressed copy beside the package: two transfers at
# once, on two connections.
[ "$(grep ' GET /vmrkxupdate/objects/' "$work/fault.log" | cut -d' ' -f1 | sort -u | wc -l)" -ge 2 ] ||
  fail "the objects did not come side by side: $(cat "$work/fault.log")"
head -c "$(stat -c %s "$rel/objects/$package.pack")" /dev/zero > "$work/zeros"
cp "$work/zeros" "$rel/objects/$package.pack"  # broken, its length unchanged
delta_update "app.codec.dll: the delta package: .*; now its compressed copy"
# The package gone and codec.dll's copy cut short: from 404 to the copy, from
# the copy to the plain file, and the release still goes in whole.
rm -f "$rel/objects/$package.pack"
codec_copy=$(awk -v sha="$(sha256sum < "$rel/app/codec.dll" | cut -d' ' -f1)" '$1 == "copy" && $4 == sha { print $2 }' \
  "$rel/list.txt.objects")
truncate -s 100 "$rel/objects/$codec_copy.zst"
cp "$work/old/app/codec.dll" "$app/codec.dll"; touch -d 2000-01-01 "$app/codec.dll"; rm -f "$app/new.dll"
unattended 0 /silent
cmp -s "$app/codec.dll" "$rel/app/codec.dll" || fail "codec.dll after two fallbacks"
[ "$(cat "$app/new.dll")" = "a plug-in new in this release" ] || fail "new.dll from its copy"
grep -q "app.codec.dll: its compressed copy: the copy is not the length the index names; now the plain file" \
  "$app/vmrkxupdate.log" || fail "the log does not say codec.dll fell back to the plain file"
grep -q "staged .* app.new.dll, from its compressed copy" "$app/vmrkxupdate.log" || fail "new.dll not from its copy"
# The release by content: release.sig alone at a fixed name, the rest by
# SHA-256, so that what the fixed names hold no longer matters (here: garbage,
# as a cache might keep another release's).
"$linux/vmrkxupdate-listgen" generate "$rel" -o "$rel/list.txt" --sign "$work/maintainer.key" --compressed \
  2>/dev/null || fail "listgen for release.sig"
printf 'not this release' > "$rel/list.txt"
printf 'not this release' > "$rel/app/new.dll"
cp "$work/old/app/codec.dll" "$app/codec.dll"; touch -d 2000-01-01 "$app/codec.dll"; rm -f "$app/new.dll"
unattended 0 /silent
cmp -s "$app/codec.dll" "$rel/app/codec.dll" || fail "codec.dll by content"
[ "$(cat "$app/new.dll")" = "a plug-in new in this release" ] || fail "new.dll by content"
grep -q "release.sig: serial .*, every file named by its content" "$app/vmrkxupdate.log" || fail "release.sig was not read"
grep -q "fetching .* app.new.dll by its content name" "$app/vmrkxupdate.log" || fail "new.dll not by its content name"
# Three servers: the first refuses connections, the second serves every
# object one bit off, the third is whole. Each transfer goes on to the next
# server, and the release still goes in whole.
closed=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cp -a "$work/release" "$work/corrupt"
python3 -c 'import pathlib, sys
for f in pathlib.Path(sys.argv[1]).iterdir():
    b = bytearray(f.read_bytes())
    if b: b[-1] ^= 1; f.write_bytes(b)  # an empty file has no byte to spoil' "$work/corrupt/vmrkxupdate/objects"
exec {cfd}< <(python3 "$(dirname "$0")/../support/http_server.py" --root "$work/corrupt" --log "$work/corrupt.log" --lifetime 600)
pids+=($!)
read -r corruptport <&"$cfd"
printf 'seip:127.0.0.1:%s\r\nseip:127.0.0.1:%s\r\nseip:127.0.0.1:%s\r\n' "$closed" "$corruptport" "$faultport" \
  > "$app/myip.txt"
cp "$work/old/app/codec.dll" "$app/codec.dll"; touch -d 2000-01-01 "$app/codec.dll"; rm -f "$app/new.dll"
unattended 0 /silent
cmp -s "$app/codec.dll" "$rel/app/codec.dll" || fail "codec.dll through mirrors"
[ "$(cat "$app/new.dll")" = "a plug-in new in this release" ] || fail "new.dll through mirrors"
# Its list fails it, unless it answered release.sig too late and was passed
# over before that (a loaded machine).
grep -Eq "from http://127.0.0.1:$corruptport/: (.*; asking another server|no answer)" "$app/vmrkxupdate.log" ||
  fail "the corrupt mirror was not passed over: $(tail -30 "$app/vmrkxupdate.log")"
grep -q "release.sig from http://127.0.0.1:$closed/: no answer" "$app/vmrkxupdate.log" ||
  fail "the refusing server is not in the log"
printf 'seip:127.0.0.1:%s\r\n' "$faultport" > "$app/myip.txt"
# A root of trust: root 1 beside the updater trusts the maintainer's key,
# root 2 on the server replaces it by a new one. A release the old key
# signed is refused by the run that finds root 2 (CNG checks both roots'
# signatures); the new key's goes in. Then the release before it, published
# again marked exact, takes every file back whatever its date.
lg="$linux/vmrkxupdate-listgen"
for key in root new; do "$lg" keygen "$work/$key.key" >/dev/null 2>&1 || fail "keygen $key"; done
"$lg" root init "$work/1.root" --root-key "$work/root.key.pub" --threshold 1 \
  --release-key "$work/maintainer.key.pub" >/dev/null 2>&1 || fail "root init"
"$lg" root sign "$work/1.root" --key "$work/root.key" >/dev/null 2>&1 || fail "root sign 1"
"$lg" root next "$work/1.root" "$work/2.root" --release-key "$work/new.key.pub" >/dev/null 2>&1 || fail "root next"
"$lg" root sign "$work/2.root" --key "$work/root.key" >/dev/null 2>&1 || fail "root sign 2"
cp "$work/1.root" "$app/vmrkxupdate.root"
mkdir -p "$rel/roots" && cp "$work/2.root" "$rel/roots/2.root"
publish() {  # KEY [FLAG...]
  local key=$1; shift
  sleep 1  # serials are seconds: each release newer than the one before
  "$lg" generate "$rel" -o "$rel/list.txt" --sign "$work/$key.key" --compressed "$@" 2>"$work/generate.err" ||
    fail "generate $*: $(cat "$work/generate.err")"
}
cp "$app/readme.txt" "$work/readme.before"
printf 'readme 3.0\r\n' > "$rel/app/readme.txt"; touch -d '2009-01-01 10:00:00' "$rel/app/readme.txt"
publish maintainer
unattended 2 /silent
grep -q "root 2 accepted" "$app/vmrkxupdate.log" || fail "root 2 was not walked to"
cmp -s "$app/readme.txt" "$work/readme.before" || fail "a release signed by the withdrawn key went in"
publish new
unattended 0 /silent
[ "$(cat "$app/readme.txt")" = "$(printf 'readme 3.0\r\n')" ] || fail "the new key's release"
cp "$work/readme.before" "$rel/app/readme.txt"; touch -d '2008-05-12 14:30:05' "$rel/app/readme.txt"
publish new
unattended 0 /silent
[ "$(cat "$app/readme.txt")" = "$(printf 'readme 3.0\r\n')" ] || fail "an older release without the mark went in"
publish new --exact
unattended 0 /silent
cmp -s "$app/readme.txt" "$work/readme.before" || fail "the exact release did not take readme.txt back"
rm -rf "$app/vmrkxupdate.root" "$rel/roots"
"$wine" "$app/vmrkxupdate.exe" /frobnicate & usage=$!; pids+=($usage)
"$wine" "$win/tests/click_button.exe" --in-dialog OK 30 || fail "no usage message"
wait "$usage"; got=$?
[ "$got" = 64 ] || fail "an unknown argument ended with $got, not 64"
grep -q "end: updated" "$app/vmrkxupdate.log" || fail "the log has no completed update"
grep -q "transfer failed while fetching 1/1 app.readme.txt: code 1, HTTP 404" "$app/vmrkxupdate.log" ||
  fail "the log has not the failed transfer: $(grep "transfer failed" "$app/vmrkxupdate.log")"
echo "Windows end-to-end signed update over HTTPS: passed"
