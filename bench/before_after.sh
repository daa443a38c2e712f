#!/usr/bin/env bash
# Compares two builds on this machine in one run, so that noise hits both alike:
# whole-process rpx compression and expansion (interleaved runs, min/median/max)
# and every Google Benchmark both builds share (by name, real time).
#   bench/before_after.sh OLD_BIN_DIR NEW_BIN_DIR [-p PRESET] [-r RUNS] TIFF...
# Prints Markdown tables; also checks that both builds write the same bytes.
set -euo pipefail

old=${1:?usage: before_after.sh OLD_BIN_DIR NEW_BIN_DIR [-p PRESET] [-r RUNS] TIFF...}
new=${2:?usage: before_after.sh OLD_BIN_DIR NEW_BIN_DIR [-p PRESET] [-r RUNS] TIFF...}
shift 2
preset=2
runs=5
inputs=()
while (($#)); do
  case $1 in
    -p) preset=$2; shift 2 ;;
    -r) runs=$2; shift 2 ;;
    *) inputs+=("$1"); shift ;;
  esac
done

source "$(dirname "$0")/timing.sh"

echo "| image | direction | build | min s | median s | max s |"
echo "|---|---|---|---|---|---|"
for tif in "${inputs[@]}"; do
  name=$(basename "$tif" .tif)
  for b in old new; do
    mkdir -p "$tmp/$b/out"
    cp -p "$tif" "$tmp/$b/$name.tif"  # same time: the trailer records it
  done
  for ((i = 0; i < runs; i++)); do
    for b in old new; do
      bin=$old
      [ "$b" = new ] && bin=$new
      rm -f "$tmp/$b"/*.rpx "$tmp/$b/$name"_*.tif
      t0=$(now)
      "$bin/rpx" -q -f -p "$preset" "$tmp/$b/$name.tif" >/dev/null
      t1=$(now)
      rpxfile=$(ls "$tmp/$b"/*.rpx)
      "$bin/rpx" -q -f -o "$tmp/$b/out" "$rpxfile" >/dev/null
      t2=$(now)
      echo "$t1 - $t0" | bc >>"$tmp/$b.c"
      echo "$t2 - $t1" | bc >>"$tmp/$b.e"
    done
    cmp -s "$(ls "$tmp"/old/*.rpx)" "$(ls "$tmp"/new/*.rpx)" || { echo "containers differ for $name" >&2; exit 1; }
  done
  for d in c e; do
    label=compress
    [ $d = e ] && label=expand
    for b in old new; do
      echo "| $name | $label | $b | $(stats "$tmp/$b.$d") |"
    done
    echo "| $name | $label | new/old median | $(echo "scale=3; $(median "$tmp/new.$d") / $(median "$tmp/old.$d")" | bc) | | |"
  done
  rm -f "$tmp"/old.* "$tmp"/new.*
done

echo
echo "| benchmark | old | new | unit | new/old |"
echo "|---|---|---|---|---|"
# Rounds alternate old and new so that drift in the machine hits both; the
# fastest round of each counts.
for bench in "$new"/bench_*; do
  b=$(basename "$bench")
  [ -x "$old/$b" ] || continue
  rm -f "$tmp/old.g" "$tmp/new.g"
  for ((round = 0; round < 3; round++)); do
    for side in old new; do
      dir=$old
      [ $side = new ] && dir=$new
      "$dir/$b" --benchmark_format=csv 2>/dev/null |
        awk -F, '/^"?BM_/ {gsub(/"/, "", $1); print $1, $3, $5}' >>"$tmp/$side.g"
    done
  done
  for side in old new; do
    sort -k1,1 -k2,2g "$tmp/$side.g" | awk '!seen[$1]++' >"$tmp/$side.min"
  done
  join "$tmp/old.min" "$tmp/new.min" | awk '{printf "| %s | %.1f | %.1f | %s | %.3f |\n", $1, $2, $4, $3, $4 / $2}'
done
