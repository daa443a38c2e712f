#!/usr/bin/env bash
# The thumbnailer's processor time on large containers, two builds side by side:
# each TIFF compressed at each preset (by the new build), then previewed by
# both builds in turn, user CPU time of the whole process (one thread).
#   bench/thumbnail.sh OLD_BIN_DIR NEW_BIN_DIR [-p "2 6"] [-s SIZE] [-r RUNS] TIFF...
# Prints a Markdown table (min | median | max seconds) and how far the two
# previews lie apart (mean and largest difference on the 8-bit scale).
set -euo pipefail

old=${1:?usage: thumbnail.sh OLD_BIN_DIR NEW_BIN_DIR [-p PRESETS] [-s SIZE] [-r RUNS] TIFF...}
new=${2:?usage: thumbnail.sh OLD_BIN_DIR NEW_BIN_DIR [-p PRESETS] [-s SIZE] [-r RUNS] TIFF...}
shift 2
presets="2 6"
size=256
runs=5
inputs=()
while (($#)); do
  case $1 in
    -p) presets=$2; shift 2 ;;
    -s) size=$2; shift 2 ;;
    -r) runs=$2; shift 2 ;;
    *) inputs+=("$1"); shift ;;
  esac
done

source "$(dirname "$0")/timing.sh"

# user SECONDS of one preview by BIN_DIR of RPX into PNG
user_time() {
  local TIMEFORMAT=%U
  { time "$1/kirune-thumbnailer" -s "$size" "$2" "$3" 2>/dev/null; } 2>&1
}

echo "| image | preset | old min s | median | max | new min s | median | max | mean / largest difference |"
echo "|---|---|---|---|---|---|---|---|---|"
for tif in "${inputs[@]}"; do
  name=$(basename "$tif" .tif)
  for p in $presets; do
    rm -f "$tmp"/*.rpx
    "$new/rpx" -q -f -p "$p" -o "$tmp" "$tif" >/dev/null
    rpx=$(ls "$tmp"/*.rpx)
    : >"$tmp/old.times"
    : >"$tmp/new.times"
    for ((i = 0; i < runs; i++)); do
      user_time "$old" "$rpx" "$tmp/old.png" >>"$tmp/old.times"
      user_time "$new" "$rpx" "$tmp/new.png" >>"$tmp/new.times"
    done
    diff=n/a
    if command -v compare >/dev/null; then
      # MAE and PAE on the 16-bit scale ImageMagick reports, brought to 8 bits.
      mae=$(compare -metric MAE "$tmp/old.png" "$tmp/new.png" null: 2>&1 | cut -d' ' -f1 || true)
      pae=$(compare -metric PAE "$tmp/old.png" "$tmp/new.png" null: 2>&1 | cut -d' ' -f1 || true)
      diff=$(awk -v m="$mae" -v p="$pae" 'BEGIN {printf "%.2f / %d", m / 257, p / 257}')
    fi
    echo "| $name | $p | $(stats "$tmp/old.times") | $(stats "$tmp/new.times") | $diff |"
  done
done
