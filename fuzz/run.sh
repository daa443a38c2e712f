#!/usr/bin/env bash
# Runs the fuzz targets over their seeds, dictionary and committed crash inputs.
#   fuzz/run.sh [SECONDS] [TARGET...]   (default: 25 s for each target)
# Build first: cmake --preset fuzz && cmake --build --preset fuzz
# New corpus entries go to build/fuzz/work/TARGET, crash inputs to
# build/fuzz/artifacts/; once a crash is fixed, commit its input under
# fuzz/regressions/TARGET so that every later run replays it.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-25}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_rpx_expand fuzz_block_sort_expand fuzz_strip_decode fuzz_tiff_input fuzz_bmp_input
  fuzz_png_input fuzz_roundtrip fuzz_carried_tags)

passed=0
failed=0
mkdir -p build/fuzz/artifacts
for t in "${targets[@]}"; do
  case $t in
    fuzz_rpx_expand) dict=rpx ;;
    fuzz_block_sort_expand) dict=block_sort ;;
    fuzz_tiff_input | fuzz_roundtrip) dict=tiff ;;
    fuzz_bmp_input) dict=bmp ;;
    fuzz_png_input) dict=png ;;
    *) dict= ;;
  esac
  # Room for the largest seed and regression input (a directory of 4,100 entries).
  case $t in
    fuzz_carried_tags) maxlen=65536 ;;
    *) maxlen= ;;
  esac
  dirs=("build/fuzz/work/$t" "fuzz/corpus/$t")
  mkdir -p "${dirs[0]}"
  [ -d "fuzz/regressions/$t" ] && dirs+=("fuzz/regressions/$t")
  log=build/fuzz/$t.log
  if build/fuzz/bin/$t -max_total_time="$seconds" -timeout=20 -print_final_stats=1 \
      ${dict:+-dict=fuzz/dict/$dict.dict} ${maxlen:+-max_len=$maxlen} -artifact_prefix="build/fuzz/artifacts/$t-" \
      "${dirs[@]}" >"$log" 2>&1; then
    passed=$((passed + 1))
    echo "$t: $(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -1)"
  else
    failed=$((failed + 1))
    echo "$t: FAILED"
    tail -n 60 "$log"
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
