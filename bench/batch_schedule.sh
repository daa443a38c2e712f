#!/usr/bin/env bash
# How long a batch takes to plan a long list, against the time to stat its
# entries: rpx on N names that fail at once (missing, or empty .tif files, so
# that no coding time hides the planning), at -j 1 and -j 2.
#   bench/batch_schedule.sh [-n 80000] [--rpx PATH]
set -euo pipefail

die() { printf 'batch_schedule.sh: %s\n' "$*" >&2; exit 1; }
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
count=80000
rpx=$repo/build/release/bin/rpx
while (($#)); do
  case $1 in
    -n) count=${2:?-n needs a number}; shift 2 ;;
    --rpx) rpx=${2:?--rpx needs a path}; shift 2 ;;
    -h | --help) sed -n '2,5p' "$0"; exit 0 ;;
    *) die "unknown argument $1" ;;
  esac
done
[[ -x $rpx ]] || die "no rpx at $rpx (cmake --build --preset release --target rpx)"
source "$repo/bench/timing.sh"

mkdir "$tmp/empty"
python3 - "$tmp" "$count" <<'EOF'
import os, sys
tmp, n = sys.argv[1], int(sys.argv[2])
with open(f"{tmp}/missing.txt", "w") as missing, open(f"{tmp}/empty.txt", "w") as empty:
    for i in range(n):
        missing.write(f"{tmp}/empty/m{i:07d}.tif\n")
        p = f"{tmp}/empty/e{i:07d}.tif"
        open(p, "w").close()
        empty.write(p + "\n")
EOF

seconds() {  # seconds COMMAND...: wall time of one run, output dropped
  local t0
  t0=$(now)
  "$@" > /dev/null 2>&1 || true
  awk -v a="$t0" -v b="$(now)" 'BEGIN {printf "%.2f", b - a}'
}
stat_list() { python3 -c 'import os, sys
for line in open(sys.argv[1]):
    try: os.stat(line.rstrip("\n"))
    except OSError: pass' "$1"; }

echo "| $count entries | stat each | rpx -j 1 | rpx -j 2 |"
echo "|---|---|---|---|"
for kind in missing empty; do
  list=$tmp/$kind.txt
  echo "| $kind | $(seconds stat_list "$list") s | $(seconds "$rpx" -q -j1 --files-from "$list") s |" \
       "$(seconds "$rpx" -q -j2 --files-from "$list") s |"
done
