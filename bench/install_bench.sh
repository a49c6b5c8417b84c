#!/usr/bin/env bash
# Installing a real release as one transaction against cp -a of the same
# files (goal: at most 1.5 times), with the releases of python_release.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh install_bench >/dev/null
mapfile -t trees < <(bench/python_release.sh)
echo "old ${trees[0]##*/}, new ${trees[1]##*/}"
work=$(mktemp -d /work/vmrk-installbench.XXXXXX 2>/dev/null || mktemp -d /tmp/vmrk-installbench.XXXXXX)
trap 'rm -rf "$work"' EXIT
build/bench/install_bench "${trees[0]}" "${trees[1]}" "$work" "${ROUNDS:-7}"
