#!/usr/bin/env bash
# Compares the vector paths of one build in one run: whole-process rpx
# compression with each path forced (KIRUNE_VECTOR), runs interleaved so that
# noise hits every path alike, and every container checked against the scalar
# path's byte for byte.
#   bench/vector_paths.sh BIN_DIR [-p PRESET] [-r RUNS] [-j THREADS] TIFF...
# Paths this CPU lacks fall back to the best below it; their rows say so.
set -euo pipefail

bin=${1:?usage: vector_paths.sh BIN_DIR [-p PRESET] [-r RUNS] [-j THREADS] TIFF...}
shift
preset=2
runs=5
threads=()
inputs=()
while (($#)); do
  case $1 in
    -p) preset=$2; shift 2 ;;
    -r) runs=$2; shift 2 ;;
    -j) threads=(-j "$2"); shift 2 ;;
    *) inputs+=("$1"); shift ;;
  esac
done
paths=(scalar sse2 avx2 avx512)

source "$(dirname "$0")/timing.sh"

echo "| image | path | min s | median s | max s | median / scalar |"
echo "|---|---|---|---|---|---|"
for tif in "${inputs[@]}"; do
  name=$(basename "$tif" .tif)
  for p in "${paths[@]}"; do
    mkdir -p "$tmp/$p"
    cp "$tif" "$tmp/$p/$name.tif"
  done
  for ((i = 0; i < runs; i++)); do
    for p in "${paths[@]}"; do
      rm -f "$tmp/$p"/*.rpx
      t0=$(now)
      KIRUNE_VECTOR=$p "$bin/rpx" -q -f "${threads[@]}" -p "$preset" "$tmp/$p/$name.tif" >/dev/null
      t1=$(now)
      echo "$t1 - $t0" | bc >>"$tmp/$p.t"
      cmp -s "$(ls "$tmp"/scalar/*.rpx)" "$(ls "$tmp/$p"/*.rpx)" || { echo "$p differs from scalar for $name" >&2; exit 1; }
    done
  done
  for p in "${paths[@]}"; do
    note=
    case $p in
      avx2) grep -qw avx2 /proc/cpuinfo || note=" (not on this CPU)" ;;
      avx512) grep -qw avx512bw /proc/cpuinfo || note=" (not on this CPU)" ;;
    esac
    echo "| $name | $p$note | $(stats "$tmp/$p.t") | $(echo "scale=3; $(median "$tmp/$p.t") / $(median "$tmp/scalar.t")" | bc) |"
  done
  rm -f "$tmp"/*.t
done
