#!/usr/bin/env bash
# Runs a Windows program under Debian's wine64 in a fresh, throw-away Wine
# prefix, and passes its exit status on.
set -uo pipefail
prefix=$(mktemp -d /tmp/vmrk-wine.XXXXXX)
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
"$wine" wineboot --init >/dev/null 2>&1
"$wine" "$@"
status=$?
/usr/lib/wine/wineserver64 -k 2>/dev/null || wineserver -k 2>/dev/null || true
rm -rf "$prefix"
exit $status
