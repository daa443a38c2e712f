#!/usr/bin/env bash
# Where the bytes go: each image compressed at each preset by the default encoder and the rate-aware one
# (rpx --rdo), and the stored bytes of each of the seven streams summed over strips, as a share of the
# streams' total, per preset over all the images given.
#   bench/stream_bytes.sh [-p "1 2 3"] [--rpx PATH] TIFF...
set -euo pipefail

die() { printf 'stream_bytes.sh: %s\n' "$*" >&2; exit 1; }
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
presets="1 2 3"
rpx=$repo/build/release/bin/rpx
inputs=()
while (($#)); do
  case $1 in
    -p) presets=${2:?-p needs digits}; shift 2 ;;
    --rpx) rpx=${2:?--rpx needs a path}; shift 2 ;;
    -h | --help) sed -n '2,5p' "$0"; exit 0 ;;
    -*) die "unknown option $1" ;;
    *) inputs+=("$1"); shift ;;
  esac
done
((${#inputs[@]})) || die "no TIFF given"
[[ -x $rpx ]] || die "no rpx at $rpx"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kirune-streams.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

# One line per container: coder, preset, then the recorded bytes of the seven streams in table order.
sums=$tmp/sums
: >"$sums"
for p in $presets; do
  for coder in default rdo; do
    flags=(-q -f -p "$p" -o "$tmp/$coder$p")
    [[ $coder == rdo ]] && flags+=(--rdo)
    "$rpx" "${flags[@]}" "${inputs[@]}"
    for c in "$tmp/$coder$p"/*.rpx; do
      "$rpx" info "$c" | awk -v coder="$coder" -v p="$p" '
        $2 == "raw" && $4 == "recorded" { bytes[$1] += $5 }
        END {
          n = split("dcSignBits dcBytes headerBits indexBitsLow indexBitsHigh gainBytes matchBytes", names, " ")
          line = coder " " p
          for (i = 1; i <= n; ++i) line = line " " bytes[names[i]] + 0
          print line
        }' >>"$sums"
    done
  done
done

awk '
  {
    key = $1 " " $2
    if (!(key in seen)) { seen[key] = 1; order[++n] = key }
    for (i = 3; i <= 9; ++i) total[key, i] += $i
  }
  END {
    print "| coder | preset | bytes | mean signs | mean values | headers | index bits | gains | matches |"
    print "|---|---|---|---|---|---|---|---|---|"
    for (k = 1; k <= n; ++k) {
      key = order[k]; split(key, f, " ")
      all = 0; for (i = 3; i <= 9; ++i) all += total[key, i]
      printf "| %s | %s | %d", f[1], f[2], all
      printf " | %.1f%% | %.1f%% | %.1f%% | %.1f%% | %.1f%% | %.1f%% |\n",
        100 * total[key, 3] / all, 100 * total[key, 4] / all, 100 * total[key, 5] / all,
        100 * (total[key, 6] + total[key, 7]) / all, 100 * total[key, 8] / all, 100 * total[key, 9] / all
    }
  }' "$sums"
