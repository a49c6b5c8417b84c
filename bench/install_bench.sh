#!/usr/bin/env bash
# Installing a real release as one transaction against cp -a of the same
# files (goal: at most 1.5 times). The release is two consecutive versions of
# Debian's Python 3.11 libraries (the point release and its security update,
# 800 files), fetched once with apt-get download into bench/.cache/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh install_bench >/dev/null
cache=bench/.cache/python3.11
packages=(libpython3.11-minimal libpython3.11-stdlib libpython3.11 libpython3.11-dev)
mapfile -t versions < <(apt-cache madison libpython3.11-stdlib | awk -F'|' '{gsub(/ /, "", $2); print $2}' | sort -V | tail -2)
[ ${#versions[@]} -eq 2 ] || { echo "two versions of libpython3.11-stdlib are not to be had here" >&2; exit 1; }
for i in 0 1; do
  tree="$cache/${versions[$i]}"
  [ -d "$tree" ] && continue
  mkdir -p "$cache/debs" "$tree"
  (cd "$cache/debs" && apt-get download "${packages[@]/%/=${versions[$i]}}" >/dev/null 2>&1)
  for p in "${packages[@]}"; do dpkg-deb -x "$cache/debs/${p}_${versions[$i]#*:}_amd64.deb" "$tree"; done
done
echo "old ${versions[0]}, new ${versions[1]}"
work=$(mktemp -d /work/vmrk-installbench.XXXXXX 2>/dev/null || mktemp -d /tmp/vmrk-installbench.XXXXXX)
trap 'rm -rf "$work"' EXIT
build/bench/install_bench "$cache/${versions[0]}" "$cache/${versions[1]}" "$work" "${ROUNDS:-7}"
