#!/usr/bin/env bash
# Rate-distortion table of the default encoder against the rate-aware one (rpx --rdo) at presets
# 1, 2, 3 and 6, and BD-rate (bytes at equal RGB PSNR) of one against the other; with ojph_compress
# and ImageMagick present, both also against HTJ2K (OpenJPH) at the same PSNR.
#   bench/rate_table.sh [-p "1 2 3 6"] [--tool PATH] [--no-ojph] TIFF...
# BD-rate interpolates log bytes linearly in PSNR over the range both curves cover (three presets
# are too few for the usual cubic fit); negative figures mean fewer bytes than the reference.
set -euo pipefail

die() { printf 'rate_table.sh: %s\n' "$*" >&2; exit 1; }
log() { printf '%s\n' "$*" >&2; }

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
presets="1 2 3 6"
tool=""
ojph=1
inputs=()
while (($#)); do
  case $1 in
    -p) presets=${2:?-p needs digits}; shift 2 ;;
    --tool) tool=${2:?--tool needs a path}; shift 2 ;;
    --no-ojph) ojph=0; shift ;;
    -h | --help) sed -n '2,7p' "$0"; exit 0 ;;
    -*) die "unknown option $1" ;;
    *) inputs+=("$1"); shift ;;
  esac
done
((${#inputs[@]})) || die "no TIFF given"
if [[ -z $tool ]]; then
  tool=$repo/build/release/bin/rate_point
  [[ -x $tool ]] || (cd "$repo" && cmake --preset release >/dev/null && cmake --build --preset release --target rate_point) >&2
fi
[[ -x $tool ]] || die "no rate_point at $tool"
if ((ojph)) && ! command -v ojph_compress >/dev/null 2>&1; then
  log "ojph_compress not found (Debian: openjph-tools): HTJ2K columns left out"
  ojph=0
fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kirune-rate.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

# RGB PSNR, 16-bit peak, of OUT against REF (ImageMagick normalises to 65535).
psnr() { compare -metric PSNR "$1" "$2" null: 2>&1 || true; }

# Bytes of HTJ2K at the PSNR given: bisection on log qstep, keeping the smallest stream that reaches it,
# until one is within 0.05 dB of it.
ojph_bytes_at() { # TIFF PSNR
  local src=$1 want=$2 lo=-14 hi=-2 mid got size best=- bestdb=- i
  convert "$src" -depth 16 "$tmp/ref.ppm"
  for ((i = 0; i < 16; i++)); do
    mid=$(awk "BEGIN { print ($lo + $hi) / 2 }")
    ojph_compress -i "$tmp/ref.ppm" -o "$tmp/o.j2c" -qstep "$(awk "BEGIN { print exp($mid) }")" >/dev/null 2>&1 || return 1
    ojph_expand -i "$tmp/o.j2c" -o "$tmp/o.ppm" >/dev/null 2>&1 || return 1
    got=$(psnr "$tmp/ref.ppm" "$tmp/o.ppm")
    size=$(stat -c %s "$tmp/o.j2c")
    if awk "BEGIN { exit !($got >= $want) }"; then
      lo=$mid best=$size bestdb=$got
      awk "BEGIN { exit !($got - $want < 0.05) }" && break
    else
      hi=$mid
    fi
  done
  printf '%s %s' "$best" "$bestdb"
}

points=$tmp/points
: >"$points"
for img in "${inputs[@]}"; do
  for p in $presets; do
    read -r _ _ _ db dp dt < <("$tool" -p "$p" -o "$tmp" "$img")
    read -r _ _ _ rb rp rt < <("$tool" -p "$p" --rdo -o "$tmp" "$img")
    ob=- op=-
    if ((ojph)); then read -r ob op < <(ojph_bytes_at "$img" "$dp") || true; fi
    printf '%s %s %s %s %s %s %s %s %s %s\n' "$(basename "$img")" "$p" "$db" "$dp" "$dt" "$rb" "$rp" "$rt" "$ob" "$op" >>"$points"
    log "$(basename "$img") preset $p done"
  done
done

python3 - "$points" "$presets" <<'PY'
import math, sys
rows = [l.split() for l in open(sys.argv[1])]
bd_presets = [p for p in sys.argv[2].split() if p in ("1", "2", "3")]

def bd_rate(ref, test):
    """Mean log-byte difference of test against ref at equal PSNR, as a percentage."""
    def curve(pts):
        pts = sorted((q, math.log(b)) for b, q in pts)
        return pts
    a, b = curve(ref), curve(test)
    lo, hi = max(a[0][0], b[0][0]), min(a[-1][0], b[-1][0])
    if hi <= lo:
        return None
    def at(c, q):
        for (q0, r0), (q1, r1) in zip(c, c[1:]):
            if q0 <= q <= q1:
                return r0 + (r1 - r0) * (q - q0) / (q1 - q0) if q1 > q0 else r0
        return c[0][1] if q < c[0][0] else c[-1][1]
    n = 200
    diff = sum(at(b, lo + (hi - lo) * (i + 0.5) / n) - at(a, lo + (hi - lo) * (i + 0.5) / n) for i in range(n)) / n
    return 100.0 * (math.exp(diff) - 1.0)

print("| image | preset | default bytes | default PSNR | rate-aware bytes | rate-aware PSNR | time ratio | HTJ2K bytes at default PSNR |")
print("|---|---|---|---|---|---|---|---|")
for r in rows:
    ratio = float(r[7]) / max(float(r[4]), 1e-9)
    print(f"| {r[0]} | {r[1]} | {r[2]} | {float(r[3]):.2f} | {r[5]} | {float(r[6]):.2f} | {ratio:.1f} | {r[8]} |")
print()
print("| image | BD-rate rate-aware vs default (presets %s) | all presets | default vs HTJ2K | rate-aware vs HTJ2K |" % ",".join(bd_presets))
print("|---|---|---|---|---|")
logs = {k: [] for k in ("rd13", "rd", "dj", "rj")}
for name in dict.fromkeys(r[0] for r in rows):
    mine = [r for r in rows if r[0] == name]
    sub = [r for r in mine if r[1] in bd_presets]
    d13 = [(int(r[2]), float(r[3])) for r in sub]
    r13 = [(int(r[5]), float(r[6])) for r in sub]
    dall = [(int(r[2]), float(r[3])) for r in mine]
    rall = [(int(r[5]), float(r[6])) for r in mine]
    jall = [(int(r[8]), float(r[9])) for r in mine if r[8] != "-" and r[9] != "-"]
    vals = {"rd13": bd_rate(d13, r13), "rd": bd_rate(dall, rall),
            "dj": bd_rate(jall, dall) if len(jall) > 1 else None,
            "rj": bd_rate(jall, rall) if len(jall) > 1 else None}
    for k, v in vals.items():
        if v is not None:
            logs[k].append(math.log(1 + v / 100))
    fmt = lambda v: "-" if v is None else f"{v:+.1f}%"
    print(f"| {name} | {fmt(vals['rd13'])} | {fmt(vals['rd'])} | {fmt(vals['dj'])} | {fmt(vals['rj'])} |")
mean = lambda l: None if not l else 100 * (math.exp(sum(l) / len(l)) - 1)
fmt = lambda v: "-" if v is None else f"{v:+.1f}%"
print(f"| geometric mean | {fmt(mean(logs['rd13']))} | {fmt(mean(logs['rd']))} | {fmt(mean(logs['dj']))} | {fmt(mean(logs['rj']))} |")
PY
