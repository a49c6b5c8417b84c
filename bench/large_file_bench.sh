#!/usr/bin/env bash
# Long files through the updater's staging, against zstd's own tool. The
# files are real program bytes (the system's programs and libraries, back to
# back) cut to length, the new version edited in three 4 KiB pages:
#   copy   a 1 GiB file as its compressed copy (8 MiB window, as the tool
#          makes copies): staged by the updater's own code against
#          `zstd -d` of the same frame
#   patch  a file at the longest length the tool patches (512 MiB): its
#          patch staged against `zstd -d --patch-from` of the same frame,
#          and the tool's patch against `zstd -19 --long=31 --patch-from`
#          in size and time
# A 1 GiB file gets no patch from the tool (a 32-bit updater could not map
# base and file), so the patch is measured at the limit.
# Each round times both sides around the whole process, alternating which
# goes first; printed per round and as min and median of the ratios, with
# each side's peak resident memory (ours with the mapped base taken off,
# which is counted in it once it has been read).
# ROUNDS (5), ENCODE_ROUNDS (ROUNDS; zstd -19 takes minutes a round, and 0
# keeps the patch already in WORK), COPY_MIB (1024), PATCH_MIB (512), WORK (a
# temporary folder, whose pairs and frames a later run reuses).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh large_file_bench >/dev/null
bench=$PWD/build/bench/large_file_bench
rounds=${ROUNDS:-5}
work=${WORK:-$(mktemp -d)}
mkdir -p "$work"
trap 'rm -rf "$work"/*.out "$work"/*.saved "$work"/*.d' EXIT

# SIZE MIB NAME: NAME.base (library bytes) and NAME.file (three pages edited)
pair() {
  { find /usr/lib /usr/bin -type f -size +100k | sort | xargs cat || true; } |
    head -c $(( $1 << 20 )) > "$work/$2.base"
  [ "$(stat -c %s "$work/$2.base")" -eq $(( $1 << 20 )) ] || { echo "not enough library bytes for $1 MiB" >&2; exit 1; }
  python3 - "$work/$2.base" "$work/$2.file" <<'EOF'
import shutil, sys
shutil.copyfile(sys.argv[1], sys.argv[2])
with open(sys.argv[2], "r+b") as f:
    f.seek(0, 2); n = f.tell()
    for k in (1, 2, 3):
        f.seek(n // 4 * k); page = bytearray(f.read(4096))
        f.seek(n // 4 * k); f.write(bytes(b ^ 0x5A for b in page))
EOF
}
now() { date +%s.%N; }
peak() { /usr/bin/time -f %M -o "$work/peak" "$@" >/dev/null; cat "$work/peak"; }  # KiB
ratios() {  # prints min and median of the numbers on stdin
  sort -g | awk '{ v[NR] = $1 } END { m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2;
                                      printf "min %.3f, median %.3f\n", v[1], m }'
}

copy_mib=${COPY_MIB:-1024}
patch_mib=${PATCH_MIB:-512}
[ -f "$work/copy.file" ] || pair "$copy_mib" copy
[ -f "$work/patch.file" ] || pair "$patch_mib" patch
# The copy as the tool frames it: content size and checksum said, window
# 2^23. Made by zstd here (level 3): the tool's level 19 takes minutes on a
# gigabyte, and the decoding measured is the same.
[ -f "$work/copy.zst" ] || zstd -q -3 --zstd=wlog=23 -f "$work/copy.file" -o "$work/copy.zst"
copy_sha=$(sha256sum "$work/copy.file" | cut -d' ' -f1)
patch_sha=$(sha256sum "$work/patch.file" | cut -d' ' -f1)

# Staging, ours against zstd -d: SIDE NAME prints seconds and peak KiB
stage() {
  local begun; begun=$(now)
  case "$1 $2" in
    "ours copy") line=$("$bench" stage "$work/copy.zst" "$copy_sha" $((copy_mib << 20)) "$work/ours.out") ;;
    "zstd copy") /usr/bin/time -f %M -o "$work/peak" zstd -q -d -f "$work/copy.zst" -o "$work/zstd.out"
                 line="0 $(cat "$work/peak")" ;;
    "ours patch") line=$("$bench" stage "$work/patch.zst" "$patch_sha" $((patch_mib << 20)) "$work/ours.out" \
                         "$work/patch.base") ;;
    "zstd patch") /usr/bin/time -f %M -o "$work/peak" zstd -q -d -f --long=31 --patch-from="$work/patch.base" \
                    "$work/patch.zst" -o "$work/zstd.out"
                  line="0 $(cat "$work/peak")" ;;
  esac
  echo "$(echo "$(now) - $begun" | bc) $(echo "$line" | cut -d' ' -f2)"
}
cmp_out() { cmp -s "$work/ours.out" "$work/$1.file" || { echo "staged bytes differ" >&2; exit 1; }; }

encode_rounds=${ENCODE_ROUNDS:-$rounds}
[ -f "$work/patch.zst" ] || encode_rounds=$(( encode_rounds > 0 ? encode_rounds : 1 ))
[ "$encode_rounds" -eq 0 ] ||
  echo "the tool's patch of $patch_mib MiB against zstd -19 --long=31 --patch-from ($encode_rounds rounds)"
: > "$work/encode.ratios"; : > "$work/size.ratios"
for r in $(seq "$encode_rounds"); do
  for side in $( [ $((r % 2)) -eq 1 ] && echo "ours zstd" || echo "zstd ours"); do
    begun=$(now)
    if [ "$side" = ours ]; then
      "$bench" encode "$work/patch.file" "$work/patch.base" "$work/patch.zst" > "$work/encode.line"
      ours_s=$(echo "$(now) - $begun" | bc); ours_kib=$(cut -d' ' -f2 "$work/encode.line")
    else
      /usr/bin/time -f %M -o "$work/peak" zstd -q -f -19 --long=31 --patch-from="$work/patch.base" \
        "$work/patch.file" -o "$work/patch.ref.zst"
      zstd_s=$(echo "$(now) - $begun" | bc); zstd_kib=$(cat "$work/peak")
    fi
  done
  ours_b=$(stat -c %s "$work/patch.zst"); zstd_b=$(stat -c %s "$work/patch.ref.zst")
  printf 'round %d: ours %.1f s %d B %d MiB, zstd %.1f s %d B %d MiB\n' "$r" "$ours_s" "$ours_b" $((ours_kib / 1024)) \
    "$zstd_s" "$zstd_b" $((zstd_kib / 1024))
  echo "$ours_s / $zstd_s" | bc -l >> "$work/encode.ratios"
  echo "$ours_b / $zstd_b" | bc -l >> "$work/size.ratios"
done
if [ "$encode_rounds" -gt 0 ]; then
  echo "  time over zstd's: $(ratios < "$work/encode.ratios") (goal at most 2)"
  echo "  size over zstd's: $(ratios < "$work/size.ratios") (goal at most 2)"
fi

for what in copy patch; do
  mib=$([ $what = copy ] && echo "$copy_mib" || echo "$patch_mib")
  base_kib=$([ $what = patch ] && echo $((patch_mib << 10)) || echo 0)
  echo "staging the $what of $mib MiB ($(stat -c %s "$work/$what.zst") B) against zstd -d ($rounds rounds)"
  : > "$work/$what.ratios"; worst=0
  for r in $(seq "$rounds"); do
    for side in $( [ $((r % 2)) -eq 1 ] && echo "ours zstd" || echo "zstd ours"); do
      sync; read -r s kib <<< "$(stage "$side" "$what")"
      if [ "$side" = ours ]; then ours_s=$s; ours_kib=$kib; cmp_out "$what"; else zstd_s=$s; zstd_kib=$kib; fi
      rm -f "$work/ours.out" "$work/zstd.out"
    done
    own=$(( (ours_kib - base_kib) / 1024 ))
    [ "$own" -gt "$worst" ] && worst=$own
    printf 'round %d: ours %.2f s, peak %d MiB (%d MiB without the base), zstd %.2f s, peak %d MiB\n' "$r" "$ours_s" \
      $((ours_kib / 1024)) "$own" "$zstd_s" $((zstd_kib / 1024))
    echo "$ours_s / $zstd_s" | bc -l >> "$work/$what.ratios"
  done
  echo "  time over zstd -d's: $(ratios < "$work/$what.ratios") (goal at most 1.5)"
  echo "  peak memory without the base, the most of any round: $worst MiB (goal at most 64)"
done
