#!/usr/bin/env bash
# Debian's own zstd source package, for the Windows build to compile with
# MinGW (Debian ships libzstd for Linux only). apt fetches it and checks it
# against the archive's signed Sources index, dpkg-source against its .dsc;
# nothing of it is kept in the repository. Unpacked once into
# build-deps/zstd; prints that folder.
set -euo pipefail
cd "$(dirname "$0")/.."
target="$PWD/build-deps/zstd"
if [ ! -f "$target/lib/zstd.h" ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  # apt-get source needs a deb-src entry for the release this machine runs.
  if ! apt-get indextargets --format '$(CREATED_BY)' 2>/dev/null | grep -qx 'Sources'; then
    . /etc/os-release
    $sudo tee /etc/apt/sources.list.d/vmrk-deb-src.sources >/dev/null <<SOURCES
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: ${VERSION_CODENAME}
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
    $sudo apt-get update -qq
  fi
  rm -rf build-deps/zstd-source && mkdir -p build-deps/zstd-source
  (cd build-deps/zstd-source && apt-get source -qq libzstd >/dev/null 2>&1 || apt-get source libzstd >&2)
  unpacked=$(find build-deps/zstd-source -mindepth 1 -maxdepth 1 -type d -name 'libzstd-*' | head -n1)
  [ -f "$unpacked/lib/zstd.h" ] || { echo "fetch-zstd-source: no zstd source unpacked" >&2; exit 1; }
  rm -rf "$target" && mv "$unpacked" "$target"
  rm -rf build-deps/zstd-source
fi
echo "$target"
