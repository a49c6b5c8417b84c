#!/usr/bin/env bash
# The Windows test suite under Wine: a fresh prefix, the tests' own HTTP
# server on 127.0.0.1 serving the prefix's temporary folder (where each test
# makes its folders), then the suite itself.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
exe=$1; shift
prefix=$(mktemp -d /tmp/vmrk-wine.XXXXXX)
export WINEPREFIX="$prefix" WINEDEBUG=${VMRK_WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
# A display for the tests that make real windows.
if [ -z "${DISPLAY:-}" ]; then
  exec {xfd}< <(Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp -noreset 2>/dev/null)
  xvfb=$!
  read -r display <&"$xfd"
    export DISPLAY=":$display"
fi
"$wine" wineboot --init >/dev/null 2>&1
temp=$(ls -d "$prefix"/drive_c/users/*/AppData/Local/Temp 2>/dev/null | head -1)
[ -n "$temp" ] || temp=$(ls -d "$prefix"/drive_c/users/*/Temp 2>/dev/null | head -1)
log="$prefix/requests.log"; : > "$log"
exec {port_fd}< <(python3 "$here/tests/support/http_server.py" --root "$temp" --log "$log" --log-connections --lifetime 900)
server=$!
read -r port <&"$port_fd"
export VMRK_TEST_SERVER_PORT=$port
export VMRK_TEST_SERVER_LOG="Z:${log//\//\\}"
"$wine" "$exe" "$@"
status=$?
kill "$server" 2>/dev/null
[ -n "${xvfb:-}" ] && kill "$xvfb" 2>/dev/null
/usr/lib/wine/wineserver64 -k 2>/dev/null || true
rm -rf "$prefix"
exit $status
