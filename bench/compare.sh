#!/usr/bin/env bash
# Compares rpx with HTJ2K (OpenJPH), JPEG XL (cjxl/djxl) and JPEG 2000 (OpenJPEG) at equal RGB PSNR:
# size, wall time of the whole encode and decode processes, and peak resident memory.
#   bench/compare.sh [-p PRESET] [-r RUNS] [-j THREADS] [--rpx PATH] [--grain] [--batch [N]] [TIFF...]
# Without files (and without --grain or --batch) it generates two seeded, photograph-like 16-bit TIFFs
# (about 1 MP and 16.8 MP). --grain adds the samples' grain image, at PRESET and at preset 6 (rich detail at
# about 8 bits per pixel); --batch times N copies of the samples' nature photographs as one batch, rpx -j
# THREADS against -j 1.
# Prints one Markdown table per image on standard output; progress goes to standard error.
set -euo pipefail

usage() {
  cat <<'EOF'
usage: bench/compare.sh [-p PRESET] [-r RUNS] [-j THREADS] [--rpx PATH] [--grain] [--batch [N]]
                        [--samples DIR] [--no-install] [TIFF...]

  -p PRESET      rpx quality preset digit (default 2)
  -r RUNS        timed runs per codec and direction (default 3)
  -j THREADS     threads for rpx, cjxl/djxl and OpenJPEG (default: every core);
                 OpenJPH is single-threaded
  --rpx PATH     rpx binary (default build/release/bin/rpx, built when missing)
  --grain        add grain-16mp-16bit.tif from the samples to the images (made by their
                 make-grain.sh in the temporary folder when missing), measured at
                 PRESET and again at preset 6, where it takes about 8 bits per pixel
  --batch [N]    also time a batch of N (default 20) copies of the samples' nature
                 photographs, compressed and then expanded by one rpx each, at
                 -j THREADS against -j 1
  --samples DIR  the development photographs (default ../shared/samples beside the
                 repository)
  --no-install   never install missing tools: codecs whose tools are missing are
                 left out of the tables (rpx, ImageMagick and time are still needed)

Each 16-bit RGB TIFF is compressed and expanded by rpx; OpenJPH -qstep, cjxl -d (effort 7
and effort 3) and OpenJPEG -q are then searched to reach the same RGB PSNR within 0.1 dB,
and all are timed, interleaved. Without TIFFs, --grain or --batch, synthetic images are
generated. Missing tools are installed with apt-get when run as root (unless --no-install);
otherwise the codecs that need them are left out, and the table says so.
EOF
}

die() {
  printf 'compare.sh: %s\n' "$*" >&2
  exit 1
}
log() { printf '%s\n' "$*" >&2; }

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
preset=2
runs=3
threads=$(nproc)
rpx=""
inputs=()
grain=no
batch=0
samples=$repo/../shared/samples
install=yes
while (($#)); do
  case $1 in
    -p) preset=${2:?-p needs a digit}; shift 2 ;;
    -r) runs=${2:?-r needs a number}; shift 2 ;;
    -j) threads=${2:?-j needs a number}; shift 2 ;;
    --rpx) rpx=${2:?--rpx needs a path}; shift 2 ;;
    --grain) grain=yes; shift ;;
    --batch)
      batch=20
      if [[ ${2:-} =~ ^[1-9][0-9]*$ ]]; then batch=$2; shift; fi
      shift
      ;;
    --samples) samples=${2:?--samples needs a folder}; shift 2 ;;
    --no-install) install=no; shift ;;
    -h | --help) usage; exit 0 ;;
    --) shift; inputs+=("$@"); break ;;
    -*) usage >&2; exit 2 ;;
    *) inputs+=("$1"); shift ;;
  esac
done
[[ $preset =~ ^[0-9]$ ]] || { usage >&2; exit 2; }
[[ $runs =~ ^[1-9][0-9]*$ ]] || { usage >&2; exit 2; }
[[ $threads =~ ^[1-9][0-9]*$ ]] || { usage >&2; exit 2; }

# --- tools -------------------------------------------------------------------------------------------
declare -A package_of=(
  [ojph_compress]=openjph-tools [ojph_expand]=openjph-tools
  [cjxl]=libjxl-tools [djxl]=libjxl-tools
  [opj_compress]=libopenjp2-tools [opj_decompress]=libopenjp2-tools
  [convert]=imagemagick [compare]=imagemagick [identify]=imagemagick
  [/usr/bin/time]=time
)
missing=()
for tool in "${!package_of[@]}"; do
  command -v "$tool" >/dev/null 2>&1 && continue
  p=${package_of[$tool]}
  [[ " ${missing[*]} " == *" $p "* ]] || missing+=("$p")
done
if ((${#missing[@]})); then
  if [[ $(id -u) -eq 0 && $install == yes ]]; then
    log "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    # Installer chatter goes to standard error: standard output is the tables.
    { apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >&2 ||
      log "compare.sh: could not install every tool; codecs without theirs are left out"
  else
    log "compare.sh: missing: ${missing[*]}; codecs without their tools are left out"
  fi
fi
for tool in convert compare identify /usr/bin/time; do
  command -v "$tool" >/dev/null 2>&1 || die "$tool is needed (package ${package_of[$tool]})"
done
# Peers whose tools are present; the others are named as not measured.
have() { command -v "$1" >/dev/null 2>&1 && command -v "$2" >/dev/null 2>&1; }
installed_for() { # CODEC
  case $1 in
    ojph) have ojph_compress ojph_expand ;;
    jxl*) have cjxl djxl ;;
    opj) have opj_compress opj_decompress ;;
    *) return 0 ;;
  esac
}
# A Q8 ImageMagick would read 16-bit samples as 8-bit and measure PSNR on the wrong data.
convert -version | grep -q ' Q16' || die "ImageMagick must be a Q16 build (convert -version)"

if [[ -z $rpx ]]; then
  rpx=$repo/build/release/bin/rpx
  if [[ ! -x $rpx ]]; then
    log "Building rpx ($rpx)"
    if [[ $(id -u) -eq 0 && -f $repo/tools/deps.sh ]]; then
      # shellcheck disable=SC1091 # the project's installer, checked on its own
      source "$repo/tools/deps.sh"
      kirune_install_deps
    fi
    (cd "$repo" && cmake --preset release >/dev/null && cmake --build --preset release --target rpx) >&2
  fi
fi
[[ -x $rpx ]] || { log "compare.sh: no rpx at $rpx"; exit 2; }

opj_threads=()
if have opj_compress opj_decompress && opj_compress -h 2>&1 | grep -q -- '-threads'; then
  opj_threads=(-threads "$threads")
fi
opj_dthreads=()
if have opj_compress opj_decompress && opj_decompress -h 2>&1 | grep -q -- '-threads'; then
  opj_dthreads=(-threads "$threads")
fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kirune-compare.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
# A private copy, so a concurrent rebuild cannot swap the binary between runs.
cp "$rpx" "$tmp/rpx"
rpx=$tmp/rpx

# --- synthetic images --------------------------------------------------------------------------------
# Plasma for smooth colour fields, a few soft-edged shapes for edges, light Gaussian grain; seeded, so the
# same ImageMagick version gives the same pixels.
synthesize() { # WIDTH HEIGHT OUT
  local w=$1 h=$2
  convert -seed 7 -size "${w}x${h}" plasma:fractal -blur 0x3 \
    -fill 'rgba(240,220,180,0.7)' -draw "circle $((w * 3 / 10)),$((h * 4 / 10)) $((w * 3 / 10 + w / 7)),$((h * 4 / 10))" \
    -fill 'rgba(20,40,70,0.6)' -draw "rectangle $((w * 55 / 100)),$((h * 15 / 100)) $((w * 85 / 100)),$((h * 60 / 100))" \
    -fill 'rgba(90,140,60,0.5)' -draw "polygon 0,$h $((w / 2)),$((h * 7 / 10)) $w,$h" \
    -blur 0x0.7 -attenuate 0.15 +noise Gaussian -depth 16 -type TrueColor "$3"
}
grain_image=""
if [[ $grain == yes ]]; then
  if [[ -f $samples/grain-16mp-16bit.tif ]]; then
    grain_image=$samples/grain-16mp-16bit.tif
  else
    # Made in the temporary folder: the samples folder is shared and kept read-only.
    [[ -f $samples/make-grain.sh && -f $samples/mosaic-16mp-16bit.tif ]] ||
      die "no grain image, make-grain.sh or mosaic in $samples (--samples DIR)"
    log "Making the grain image (about a minute)"
    mkdir "$tmp/grain"
    cp "$samples/make-grain.sh" "$tmp/grain/"
    ln -s "$(realpath "$samples/mosaic-16mp-16bit.tif")" "$tmp/grain/"
    grain_image=$(bash "$tmp/grain/make-grain.sh" | tail -n 1)
  fi
  inputs+=("$grain_image")
fi
if ((${#inputs[@]} == 0 && batch == 0)); then
  log "No TIFF given: generating synthetic 16-bit photographs in $tmp"
  synthesize 1024 1024 "$tmp/synthetic-1mp.tif"
  synthesize 4096 4096 "$tmp/synthetic-16mp.tif"
  inputs=("$tmp/synthetic-1mp.tif" "$tmp/synthetic-16mp.tif")
fi

# --- measurement helpers -----------------------------------------------------------------------------
# The assignment keeps a comparison from reading as print's output redirection.
calc() { awk "BEGIN { v = ($1); print v }"; }

# RGB PSNR of OUT against REF on the 16-bit scale: ImageMagick's all-channel PSNR is 10 log10(1 / mean
# squared error) over R, G and B normalised to 65535. Exit status 1 only means "the images differ".
psnr() { # REF OUT
  local out rc=0
  out=$(compare -metric PSNR "$1" "$2" null: 2>&1) || rc=$?
  ((rc <= 1)) || die "compare failed on $2: $out"
  [[ $out =~ ^(inf|[0-9.]+)$ ]] || die "unexpected PSNR output for $2: $out"
  printf '%s' "$out"
}

# The decoded file must be 16-bit RGB, and compare's absolute RMSE must be its normalised one times 65535.
check_16bit() { # REF OUT
  local fmt out abs norm
  fmt=$(identify -format '%z %[channels]' "${2}[0]")
  [[ $fmt == "16 srgb" ]] || die "$2 is not 16-bit RGB ($fmt)"
  out=$(compare -metric RMSE "$1" "$2" null: 2>&1) || true
  [[ $out =~ ^([0-9.e+-]+)\ \(([0-9.e+-]+)\)$ ]] || die "unexpected RMSE output for $2: $out"
  abs=${BASH_REMATCH[1]} norm=${BASH_REMATCH[2]}
  if [[ $(calc "($norm > 0) && ($abs / $norm < 65000 || $abs / $norm > 66000)") == 1 ]]; then
    die "PSNR is not on the 16-bit scale: RMSE $abs against normalised $norm"
  fi
}

# Runs one encode or decode; with TIMED set, records wall seconds (ms resolution) and peak RSS (KiB).
run() { # LOG CMD...
  local logf=$1 t0 t1
  shift
  # Earlier runs' outputs (decoded TIFFs of 100 MB) are flushed first: their write-back would
  # otherwise take a core from whichever run comes next, and threaded runs lose the most.
  sync
  t0=$EPOCHREALTIME
  if ! /usr/bin/time -f '%M' -o "$w/rss" "$@" >"$logf" 2>&1; then
    log "FAILED: $*"
    tail -n 5 "$logf" >&2
    return 1
  fi
  t1=$EPOCHREALTIME
  last_wall=$(calc "${t1/,/.} - ${t0/,/.}")
  last_rss=$(tail -n 1 "$w/rss")
}

# Codec commands. Each encode writes enc_file; each decode writes dec_file.
encode() { # CODEC SETTING
  local codec=$1 s=$2
  case $codec in
    rpx | rpx1)
      rm -rf "$w/$codec-enc" && mkdir "$w/$codec-enc"
      local j=$threads
      [[ $codec == rpx1 ]] && j=1
      run "$w/log" "$rpx" -q -p "$s" -j "$j" -o "$w/$codec-enc" "$w/src.tif" || return 1
      enc_file=$(find "$w/$codec-enc" -name '*.rpx' -print -quit)
      ;;
    ojph)
      enc_file=$w/ojph.j2c
      run "$w/log" ojph_compress -i "$ojph_in" -o "$enc_file" -qstep "$s" || return 1
      ;;
    jxl7 | jxl3)
      enc_file=$w/$codec.jxl
      run "$w/log" cjxl "$w/ref.ppm" "$enc_file" -d "$s" -e "${codec#jxl}" --num_threads "$threads" --quiet ||
        return 1
      ;;
    opj)
      enc_file=$w/opj.j2k
      run "$w/log" opj_compress -i "$opj_in" -o "$enc_file" -I -q "$s" "${opj_threads[@]}" || return 1
      ;;
  esac
  enc_size=$(stat -c %s "$enc_file")
}
decode() { # CODEC
  local codec=$1
  case $codec in
    rpx | rpx1)
      rm -rf "$w/$codec-dec" && mkdir "$w/$codec-dec"
      local j=$threads
      [[ $codec == rpx1 ]] && j=1
      run "$w/log" "$rpx" -q -j "$j" -o "$w/$codec-dec" "${enc_file_of[$codec]}" || return 1
      dec_file=$(find "$w/$codec-dec" -name '*.tif' -print -quit)
      ;;
    ojph)
      dec_file=$w/ojph.$ojph_out
      run "$w/log" ojph_expand -i "${enc_file_of[$codec]}" -o "$dec_file" || return 1
      ;;
    jxl7 | jxl3)
      dec_file=$w/$codec.ppm
      run "$w/log" djxl "${enc_file_of[$codec]}" "$dec_file" --bits_per_sample=16 --num_threads "$threads" --quiet ||
        return 1
      ;;
    opj)
      dec_file=$w/opj.$opj_out
      run "$w/log" opj_decompress -i "${enc_file_of[$codec]}" -o "$dec_file" "${opj_dthreads[@]}" || return 1
      ;;
  esac
}

# One untimed encode, decode and measurement at SETTING: sets t_psnr and t_size.
trial() { # CODEC SETTING
  encode "$1" "$2" || return 1
  enc_file_of[$1]=$enc_file
  decode "$1" || return 1
  local fmt
  fmt=$(identify -ping -format '%z %[channels]' "$dec_file")
  [[ $fmt == "16 srgb" ]] || { log "  $1 wrote $fmt, not 16-bit RGB"; return 1; }
  t_psnr=$(psnr "$w/ref.ppm" "$dec_file")
  [[ $t_psnr == inf ]] && t_psnr=999
  t_size=$enc_size
  log "  $1 $2: $t_psnr dB, $t_size bytes"
}

# Search for the setting whose PSNR is within tol of target: bisection of the bracket by linear
# interpolation (Illinois: when one end stays twice, its weight is halved so the bracket keeps shrinking), in
# a coordinate x where PSNR is nearly linear (log10 of a step or distance). Until a trial lands on each side it
# steps by the slope of the last two trials, or a nominal one. Sets best_setting, best_psnr, best_size.
tol=0.1
search() { # CODEC X0 XMIN XMAX SLOPE(dB per unit x) TO_SETTING(awk expr of x)
  local codec=$1 x=$2 xmin=$3 xmax=$4 slope=$5 expr=$6
  local step s xc xu="" du="" xo="" dov="" xl="" pl="" side prev_side="" tried=" "
  best_setting="" best_psnr="" best_size=""
  for ((step = 1; step <= 10; step++)); do
    xc=$x
    s=$(awk -v x="$x" "BEGIN { print $expr }")
    [[ $tried == *" $s "* ]] && break
    tried+="$s "
    trial "$codec" "$s" || return 1
    if [[ -z $best_psnr || $(calc "($t_psnr - $target) ^ 2 < ($best_psnr - $target) ^ 2") == 1 ]]; then
      best_setting=$s best_psnr=$t_psnr best_size=$t_size
    fi
    [[ $(calc "($t_psnr - $target) ^ 2 <= $tol ^ 2") == 1 ]] && break
    if [[ $(calc "$t_psnr < $target") == 1 ]]; then
      side=under xu=$x du=$(calc "$t_psnr - $target")
      [[ $prev_side == under && -n $dov ]] && dov=$(calc "$dov / 2")
    else
      side=over xo=$x dov=$(calc "$t_psnr - $target")
      [[ $prev_side == over && -n $du ]] && du=$(calc "$du / 2")
    fi
    prev_side=$side
    if [[ -n $xu && -n $xo ]]; then
      # interpolate, kept strictly inside the bracket
      x=$(awk -v a="$xu" -v da="$du" -v b="$xo" -v db="$dov" 'BEGIN {
        x = a - da * (b - a) / (db - da)
        lo = a < b ? a : b; hi = a < b ? b : a; m = (hi - lo) * 0.02
        if (x < lo + m) x = lo + m; if (x > hi - m) x = hi - m; print x }')
    else
      # overshoot a little so the next trial lands on the other side
      x=$(awk -v x="$x" -v p="$t_psnr" -v xl="$xl" -v pl="$pl" -v t="$target" -v k="$slope" \
        -v lo="$xmin" -v hi="$xmax" 'BEGIN {
          if (xl != "" && x != xl && (p - pl) / (x - xl) * k > 0) k = (p - pl) / (x - xl)
          x += (t - p) / k * 1.15; if (x < lo) x = lo; if (x > hi) x = hi; print x }')
    fi
    xl=$xc pl=$t_psnr
  done
}

stats() { # VALUES... -> "min median max"
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
    m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf "%.3f %.3f %.3f\n", v[1], m, v[NR] }'
}

# --- per image ---------------------------------------------------------------------------------------
# Each case is an image and a preset: every image at PRESET, the grain image at preset 6 as well, so the
# high-bit-rate case sits beside the default one in the closing summary.
rich_preset=6
cases=()
for input in "${inputs[@]}"; do
  cases+=("$preset $input")
  if [[ -n $grain_image && $input == "$grain_image" && $preset != "$rich_preset" ]]; then
    cases+=("$rich_preset $input")
  fi
done
summary=()
declare -A enc_file_of label_of setting_of psnr_of size_of enc_times dec_times enc_rss dec_rss
label_of=([rpx]="rpx -j $threads" [rpx1]="rpx -j 1" [ojph]="OpenJPH (HTJ2K), 1 thread"
  [jxl7]="JPEG XL effort 7" [jxl3]="JPEG XL effort 3" [opj]="OpenJPEG 9/7")
n=0
measured=0
status=0
for case in "${cases[@]}"; do
  case_preset=${case%% *} input=${case#* }
  n=$((n + 1))
  name=$(basename "$input")
  [[ -f $input ]] || { log "compare.sh: $input: no such file"; exit 2; }
  info=$(identify -format '%z %[channels] %w %h' "${input}[0]")
  read -r depth channels width height <<<"$info"
  if [[ $depth != 16 || $channels != srgb* ]]; then
    log "compare.sh: $name: skipped, not a 16-bit RGB TIFF ($depth-bit $channels)"
    status=1
    continue
  fi
  w=$tmp/img$n
  mkdir "$w"
  ln -s "$(realpath "$input")" "$w/src.tif"
  # The reference (and cjxl's input): the first page as 16-bit RGB without alpha.
  convert "${input}[0]" -alpha off -depth 16 "$w/ref.ppm"
  pixels=$((width * height))
  log "== $name: ${width}x$height"

  enc_file_of=() setting_of=() psnr_of=() size_of=() enc_times=() dec_times=() enc_rss=() dec_rss=()
  ojph_q="" jxl7_d="" jxl3_d="" opj_q=""

  # rpx, with its own PSNR report as a cross-check of ImageMagick's
  encode rpx "$case_preset" || { log "compare.sh: $name: rpx failed, skipped"; status=1; continue; }
  enc_file_of[rpx]=$enc_file
  decode rpx || { log "compare.sh: $name: rpx expansion failed, skipped"; status=1; continue; }
  check_16bit "$w/ref.ppm" "$dec_file"
  target=$(psnr "$w/ref.ppm" "$dec_file")
  [[ $target == inf ]] && { log "compare.sh: $name: rpx output is lossless, nothing to match"; status=1; continue; }
  own=$("$rpx" -p "$case_preset" -j "$threads" -o "$w" "$w/src.tif" | sed -n 's/.*PSNR \([0-9.]*\) dB.*/\1/p')
  setting_of[rpx]="-p $case_preset" psnr_of[rpx]=$target size_of[rpx]=$enc_size
  log "  rpx -p $case_preset: $target dB (rpx reports ${own:-?} dB), $enc_size bytes"
  trial rpx1 "$case_preset" || die "$name: rpx -j 1 failed where -j $threads worked"
  setting_of[rpx1]="-p $case_preset" psnr_of[rpx1]=$t_psnr size_of[rpx1]=$t_size
  identical=no
  cmp -s "${enc_file_of[rpx]}" "${enc_file_of[rpx1]}" && identical=yes

  # OpenJPH and OpenJPEG take the TIFF itself where they can read it and write a 16-bit TIFF back;
  # otherwise a 16-bit PPM, converted outside the timing.
  codecs=(rpx rpx1)
  ojph_in=$w/src.tif ojph_out=tif
  ojph_search() { search ojph "$(calc "-($target - 4) / 20")" -5 -0.30103 -20 'sprintf("%.4g", 10 ^ x)'; }
  if ! have ojph_compress ojph_expand; then
    log "  OpenJPH: not installed"
  elif ojph_search || { log "  OpenJPH: going through 16-bit PPM"; ojph_in=$w/ref.ppm ojph_out=ppm; ojph_search; }; then
    codecs+=(ojph) setting_of[ojph]="-qstep $best_setting"
    psnr_of[ojph]=$best_psnr size_of[ojph]=$best_size ojph_q=$best_setting
  fi
  if have cjxl djxl && search jxl7 "$(calc "-1.3 - ($target - 47) / 11")" -2 1.39794 -11 'sprintf("%.4g", 10 ^ x)'; then
    codecs+=(jxl7) setting_of[jxl7]="-d $best_setting -e 7"
    psnr_of[jxl7]=$best_psnr size_of[jxl7]=$best_size jxl7_d=$best_setting
  fi
  # effort 3 needs about half effort 7's distance for the same PSNR
  if have cjxl djxl && search jxl3 "$(calc "log(${jxl7_d:-0.1} / 2) / log(10)")" -2 1.39794 -11 'sprintf("%.4g", 10 ^ x)'; then
    codecs+=(jxl3) setting_of[jxl3]="-d $best_setting -e 3"
    psnr_of[jxl3]=$best_psnr size_of[jxl3]=$best_size jxl3_d=$best_setting
  fi
  opj_in=$w/src.tif opj_out=tif
  opj_search() { search opj "$target" 10 150 1 'sprintf("%.2f", x)'; }
  if ! have opj_compress opj_decompress; then
    log "  OpenJPEG: not installed"
  elif opj_search || { log "  OpenJPEG: going through 16-bit PPM"; opj_in=$w/ref.ppm opj_out=ppm; opj_search; }; then
    codecs+=(opj) setting_of[opj]="-I -q $best_setting"
    psnr_of[opj]=$best_psnr size_of[opj]=$best_size opj_q=$best_setting
  fi

  # Timed runs, interleaved so every codec sees the same background load.
  declare -A arg=([rpx]=$case_preset [rpx1]=$case_preset [ojph]=${ojph_q:-} [jxl7]=${jxl7_d:-} [jxl3]=${jxl3_d:-}
    [opj]=${opj_q:-})
  for ((r = 1; r <= runs; r++)); do
    log "  timed run $r/$runs"
    for c in "${codecs[@]}"; do
      encode "$c" "${arg[$c]}" || die "$c failed in a timed run"
      enc_file_of[$c]=$enc_file
      enc_times[$c]+="$last_wall " enc_rss[$c]+="$last_rss "
      decode "$c" || die "$c failed in a timed run"
      dec_times[$c]+="$last_wall " dec_rss[$c]+="$last_rss "
    done
  done

  # shellcheck disable=SC2086 # the recorded lists split on purpose
  {
    read -r _ rpx_enc _ <<<"$(stats ${enc_times[rpx]})"
    read -r _ rpx_dec _ <<<"$(stats ${dec_times[rpx]})"
    printf '\n### %s: %dx%d (%.1f MP), rpx -p %s, %d run%s\n\n' "$name" "$width" "$height" \
      "$(calc "$pixels / 1e6")" "$case_preset" "$runs" "$( ((runs == 1)) || echo s)"
    printf 'rpx reaches %s dB RGB PSNR (rpx itself reports %s dB); the others are set to match within ±%s dB.\n\n' \
      "${psnr_of[rpx]}" "${own:-?}" "$tol"
    printf '| codec | setting | PSNR dB | bytes | bpp | encode s min / med / max | decode s min / med / max'
    printf ' | peak MiB enc / dec | rpx/it enc | rpx/it dec |\n'
    printf '|---|---|---:|---:|---:|---:|---:|---:|---:|---:|\n'
    for c in "${codecs[@]}"; do
      read -r emin emed emax <<<"$(stats ${enc_times[$c]})"
      read -r dmin dmed dmax <<<"$(stats ${dec_times[$c]})"
      read -r _ _ erss <<<"$(stats ${enc_rss[$c]})"
      read -r _ _ drss <<<"$(stats ${dec_rss[$c]})"
      mark=""
      [[ $(calc "(${psnr_of[$c]} - $target) ^ 2 > $tol ^ 2") == 1 ]] && mark=" (not reached)"
      # shellcheck disable=SC2016 # literal backticks: Markdown code
      printf '| %s | `%s` | %.2f%s | %d | %.3f | %.3f / %.3f / %.3f | %.3f / %.3f / %.3f | %.0f / %.0f | %.2f | %.2f |\n' \
        "${label_of[$c]}" "${setting_of[$c]}" "${psnr_of[$c]}" "$mark" "${size_of[$c]}" \
        "$(calc "${size_of[$c]} * 8 / $pixels")" "$emin" "$emed" "$emax" "$dmin" "$dmed" "$dmax" \
        "$(calc "$erss / 1024")" "$(calc "$drss / 1024")" \
        "$(calc "$rpx_enc / $emed")" "$(calc "$rpx_dec / $dmed")"
    done
    if [[ " ${codecs[*]} " == *" ojph "* ]]; then
      read -r _ ojph_enc _ <<<"$(stats ${enc_times[ojph]})"
      read -r _ ojph_dec _ <<<"$(stats ${dec_times[ojph]})"
      # shellcheck disable=SC2016 # literal backticks: Markdown code
      summary+=("$(printf '| %s | `-p %s` | %.2f | %.3f | %.2f | %.2f |' "$name" "$case_preset" "${psnr_of[rpx]}" \
        "$(calc "${size_of[rpx]} * 8 / $pixels")" "$(calc "$rpx_enc / $ojph_enc")" "$(calc "$rpx_dec / $ojph_dec")")")
    else
      # shellcheck disable=SC2016 # literal backticks: Markdown code
      summary+=("$(printf '| %s | `-p %s` | %.2f | %.3f | - | - |' "$name" "$case_preset" "${psnr_of[rpx]}" \
        "$(calc "${size_of[rpx]} * 8 / $pixels")")")
    fi
    read -r _ one_enc _ <<<"$(stats ${enc_times[rpx1]})"
    read -r _ one_dec _ <<<"$(stats ${dec_times[rpx1]})"
    printf '\nrpx -j %s against -j 1 (median time at -j 1 / at -j %s): encode %.2fx, decode %.2fx;' \
      "$threads" "$threads" "$(calc "$one_enc / $rpx_enc")" "$(calc "$one_dec / $rpx_dec")"
    printf ' containers identical: %s.\n' "$identical"
    for c in ojph jxl7 jxl3 opj; do
      [[ " ${codecs[*]} " == *" $c "* ]] && continue
      if ! installed_for "$c"; then
        printf '\n%s: not installed, not measured.\n' "${label_of[$c]}"
      else
        printf '\n%s failed: not measured.\n' "${label_of[$c]}"
        status=1
      fi
    done
  }
  rm -rf "$w"
  measured=$((measured + 1))
done
if ((${#summary[@]})); then
  printf '\n### rpx -j %s against OpenJPH, every case (median times)\n\n' "$threads"
  printf '| image | rpx | PSNR dB | bpp | encode rpx/OpenJPH | decode rpx/OpenJPH |\n'
  printf '|---|---|---:|---:|---:|---:|\n'
  printf '%s\n' "${summary[@]}"
fi
if ((measured)); then
  printf '\nrpx/it above 1 means rpx takes longer. Wall time of the whole process; peak resident memory is the largest\n'
  printf 'of the runs. OpenJPH runs on 1 thread, cjxl/djxl and OpenJPEG on %s.\n' "$threads"
fi

# --- the batch case ----------------------------------------------------------------------------------
# N copies of the nature photographs (about 1 MP each, one strip) in one rpx call, compressed and then
# expanded, at -j THREADS and -j 1, interleaved. Output bytes and the summary lines must not depend on -j.
if ((batch)); then
  b=$tmp/batch
  mkdir -p "$b/in"
  nature=()
  for f in aqua dune ladybird yellowflower; do
    [[ -f $samples/$f-16bit.tif ]] && nature+=("$samples/$f-16bit.tif")
  done
  ((${#nature[@]})) || die "no nature photographs (aqua, dune, ladybird, yellowflower -16bit.tif) in $samples"
  for ((i = 0; i < batch; i++)); do
    f=${nature[i % ${#nature[@]}]}
    cp "$f" "$b/in/$(printf '%03d' "$i")-$(basename "$f")"
  done
  batch_pixels=0
  for f in "$b"/in/*.tif; do
    read -r bw bh <<<"$(identify -format '%w %h' "${f}[0]")"
    batch_pixels=$((batch_pixels + bw * bh))
  done
  log "== batch: $batch photographs, $(calc "$batch_pixels / 1e6") MP"
  # One untimed pass each with summary lines: bytes and lines must match (output folders aside).
  for j in 1 "$threads"; do
    rm -rf "$b/c$j" "$b/e$j" && mkdir "$b/c$j" "$b/e$j"
    "$rpx" -p "$preset" -j "$j" -o "$b/c$j" "$b"/in/*.tif | sed "s|$b/c$j/||" >"$b/lines-c$j"
    "$rpx" -j "$j" -o "$b/e$j" "$b/c$j"/*.rpx | sed "s|$b/e$j/||; s|$b/c$j/||" >"$b/lines-e$j"
  done
  same=yes
  for f in "$b/c1"/* "$b/e1"/*; do
    g=${f/\/c1\//\/c$threads\/}
    g=${g/\/e1\//\/e$threads\/}
    cmp -s "$f" "$g" || same=no
  done
  lines=yes
  cmp -s "$b/lines-c1" "$b/lines-c$threads" && cmp -s "$b/lines-e1" "$b/lines-e$threads" || lines=no
  declare -A benc=() bdec=() brss_e=() brss_d=()
  w=$b
  for ((r = 1; r <= runs; r++)); do
    log "  timed run $r/$runs"
    for j in "$threads" 1; do
      rm -rf "$b/c$j" "$b/e$j" && mkdir "$b/c$j" "$b/e$j"
      run "$b/log" "$rpx" -q -p "$preset" -j "$j" -o "$b/c$j" "$b"/in/*.tif || die "batch compression failed"
      benc[$j]+="$last_wall " brss_e[$j]+="$last_rss "
      run "$b/log" "$rpx" -q -j "$j" -o "$b/e$j" "$b/c$j"/*.rpx || die "batch expansion failed"
      bdec[$j]+="$last_wall " brss_d[$j]+="$last_rss "
    done
  done
  # shellcheck disable=SC2086 # the recorded lists split on purpose
  {
    read -r _ one_enc _ <<<"$(stats ${benc[1]})"
    read -r _ one_dec _ <<<"$(stats ${bdec[1]})"
    printf '\n### batch: %d copies of the nature photographs (%.1f MP in all), rpx -p %s, %d run%s\n\n' \
      "$batch" "$(calc "$batch_pixels / 1e6")" "$preset" "$runs" "$( ((runs == 1)) || echo s)"
    printf '| rpx | compress s min / med / max | expand s min / med / max | peak MiB c / e |'
    printf ' MP/s c / e | throughput vs -j 1 c / e |\n'
    printf '|---|---:|---:|---:|---:|---:|\n'
    for j in "$threads" 1; do
      read -r emin emed emax <<<"$(stats ${benc[$j]})"
      read -r dmin dmed dmax <<<"$(stats ${bdec[$j]})"
      read -r _ _ erss <<<"$(stats ${brss_e[$j]})"
      read -r _ _ drss <<<"$(stats ${brss_d[$j]})"
      # shellcheck disable=SC2016 # literal backticks: Markdown code
      printf '| `-j %s` | %.3f / %.3f / %.3f | %.3f / %.3f / %.3f | %.0f / %.0f | %.1f / %.1f | %.2fx / %.2fx |\n' \
        "$j" "$emin" "$emed" "$emax" "$dmin" "$dmed" "$dmax" "$(calc "$erss / 1024")" "$(calc "$drss / 1024")" \
        "$(calc "$batch_pixels / 1e6 / $emed")" "$(calc "$batch_pixels / 1e6 / $dmed")" \
        "$(calc "$one_enc / $emed")" "$(calc "$one_dec / $dmed")"
    done
    printf '\nOutputs identical at -j 1 and -j %s: %s; summary lines identical and in input order: %s.\n' \
      "$threads" "$same" "$lines"
  }
  [[ $same == yes && $lines == yes ]] || status=1
  measured=$((measured + 1))
fi
((measured)) || exit 1
exit "$status"
