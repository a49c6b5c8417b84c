# Sourced (not run) by the benchmarks that update a real program from
# python_release.sh's point release to its security update. Publishes the
# security update into $release (signed with a fresh key, with a delta
# package from the point release and compressed copies) and serves it on
# 127.0.0.1. Needs build/vmrkxupdate-listgen.
#
# Sets: trees (the point release's folder, then the update's), work (a
# temporary folder, removed on exit), release, key (the public key's line),
# upstream (the server's port, its requests logged in $work/requests.log), pids
# (processes killed on exit: add to it).
# A benchmark that has more to end on exit defines bench_cleanup first.
# The generator's own report is left in $work/listgen.log.
mapfile -t trees < <(bench/python_release.sh)
work=$(mktemp -d /tmp/vmrk-bench.XXXXXX)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
      declare -F bench_cleanup >/dev/null && bench_cleanup; rm -rf "$work"' EXIT

release="$work/root/vmrkxupdate"
mkdir -p "$release/app" "$work/old" "$work/run" "$work/config" "$work/windows"
cp -a "${trees[1]}/." "$release/app/"
ln -s "${trees[0]}" "$work/old/app"
build/vmrkxupdate-listgen keygen "$work/maintainer.key" >/dev/null 2>&1
build/vmrkxupdate-listgen generate "$release" -o "$release/list.txt" --sign "$work/maintainer.key" \
  --delta-from "$work/old" >"$work/listgen.log" 2>&1
key=$(head -n1 "$work/maintainer.key.pub")
exec {published_fd}< <(python3 tests/support/http_server.py --root "$work/root" --log "$work/requests.log" \
                       --lifetime 36000)
pids+=($!)
read -r upstream <&"$published_fd"
