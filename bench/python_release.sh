#!/usr/bin/env bash
# Two consecutive releases of a real program's files for the benchmarks:
# Debian's Python 3.11 libraries at the point release and at its security
# update (about 800 files, 48 MB), fetched once with apt-get download into
# bench/.cache/. Prints the old release's folder, then the new one's.
set -euo pipefail
cd "$(dirname "$0")/.."
cache=bench/.cache/python3.11
packages=(libpython3.11-minimal libpython3.11-stdlib libpython3.11 libpython3.11-dev)
mapfile -t versions < <(apt-cache madison libpython3.11-stdlib | awk -F'|' '{gsub(/ /, "", $2); print $2}' | sort -V | tail -2)
[ ${#versions[@]} -eq 2 ] || { echo "two versions of libpython3.11-stdlib are not to be had here" >&2; exit 1; }
for v in "${versions[@]}"; do
  tree="$cache/$v"
  [ -d "$tree" ] && continue
  mkdir -p "$cache/debs" "$tree.part"
  (cd "$cache/debs" && apt-get download "${packages[@]/%/=$v}" >/dev/null 2>&1)
  for p in "${packages[@]}"; do dpkg-deb -x "$cache/debs/${p}_${v#*:}_amd64.deb" "$tree.part"; done
  # A release carries files, not links.
  find "$tree.part" -type l -delete
  mv "$tree.part" "$tree"
done
echo "$PWD/$cache/${versions[0]}"
echo "$PWD/$cache/${versions[1]}"
