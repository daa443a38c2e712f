#!/usr/bin/env bash
# Compression to a PSNR target (rpx --psnr) on each image at each target: the PSNR reached, the level and
# sampling chosen, the bytes, the time against one encode at that level and sampling measured next to
# it, and whether the next coarser level at that sampling would also have reached the target (then the
# bytes it saves). Beyond the cascade's finest level the time is against the cascade at level 1.
#   bench/psnr_target.sh [-t "47 49 51 56"] [--rdo] [--tool PATH] TIFF...
set -euo pipefail

die() { printf 'psnr_target.sh: %s\n' "$*" >&2; exit 1; }
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
targets="47 49 51 56"
tool=$repo/build/release/bin/rate_point
rdo=()
inputs=()
while (($#)); do
  case $1 in
    -t) targets=${2:?-t needs targets}; shift 2 ;;
    --rdo) rdo=(--rdo); shift ;;
    --tool) tool=${2:?--tool needs a path}; shift 2 ;;
    -h | --help) sed -n '2,5p' "$0"; exit 0 ;;
    -*) die "unknown option $1" ;;
    *) inputs+=("$1"); shift ;;
  esac
done
((${#inputs[@]})) || die "no TIFF given"
[[ -x $tool ]] || die "no rate_point at $tool (cmake --build --preset release --target rate_point)"
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kirune-psnr.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

echo "| image | target | reached | level | sampling | bytes | time / one encode | next coarser level reaches it |"
echo "|---|---|---|---|---|---|---|---|"
for img in "${inputs[@]}"; do
  for t in $targets; do
    read -r _ level sampling bytes reached secs < <("$tool" --psnr "$t" "${rdo[@]}" -o "$tmp" "$img")
    read -r _ _ _ _ _ base < <("$tool" -k "$level" -s "$sampling" "${rdo[@]}" -o "$tmp" "$img")
    read -r _ _ _ cbytes cpsnr _ < <("$tool" -k $((level + 1)) -s "$sampling" "${rdo[@]}" -o "$tmp" "$img")
    coarser=$(awk "BEGIN { if ($cpsnr >= $t) printf \"yes, %.1f%% fewer bytes\", 100 * (1 - $cbytes / $bytes); else print \"no\" }")
    printf '| %s | %s | %.2f | %s | %s | %s | %.1f | %s |\n' "$(basename "$img")" "$t" "$reached" "$level" "$sampling" \
      "$bytes" "$(awk "BEGIN { print $secs / $base }")" "$coarser"
  done
done
