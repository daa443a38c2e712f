#!/usr/bin/env bash
# The rpx command as a script would use it: exit statuses, output placement,
# the summary line, info, and a batch that goes on past a bad file.
set -u
rpx=$1
samples=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fails=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; fails=$((fails + 1)); fi
}

cp "$samples/coffee-200.tif" "$work/Cup.TIF"
printf 'not an image' > "$work/bad.rpx"
printf 'x' > "$work/notes.txt"
mkdir "$work/out"

"$rpx" -p 3 -o "$work/out" "$work/Cup.TIF" > "$work/stdout" 2> "$work/stderr"
check "compression exits 0" test $? -eq 0
check "output named with the preset's dB figure" test -s "$work/out/Cup_51-2.rpx"
check "summary line names output and PSNR" grep -q "Cup_51-2.rpx .* bpp  PSNR [0-9.]* dB" "$work/stdout"

"$rpx" info --json "$work/out/Cup_51-2.rpx" > "$work/info.json"
check "info exits 0" test $? -eq 0
check "info reports geometry and level" grep -q '"width": 200, "height": 160' "$work/info.json"
check "info reports the quality level" grep -q '"qualityLevel": 6' "$work/info.json"
if command -v python3 > /dev/null; then
  check "info --json is valid JSON" python3 -c "import json,sys; json.load(open(sys.argv[1]))" "$work/info.json"
fi

"$rpx" -q --bmp "$work/bad.rpx" "$work/notes.txt" "$work/out/Cup_51-2.rpx" > "$work/stdout" 2> "$work/stderr"
check "a batch with refused files exits 1" test $? -eq 1
check "the good file of that batch was expanded" test -s "$work/out/Cup_51-2.bmp"
check "-q prints nothing on stdout" test ! -s "$work/stdout"
check "messages name their file" grep -q "bad.rpx: このフォーマットには対応していません" "$work/stderr"
check "unsupported names get the message" grep -q "notes.txt: txtファイル形式には対応していません" "$work/stderr"
check "no output for the refused container" test ! -e "$work/bad.tif" -a ! -e "$work/bad.bmp"

"$rpx" -p 12 "$work/Cup.TIF" > /dev/null 2>&1
check "a bad preset is a usage error" test $? -eq 2
"$rpx" > /dev/null 2>&1
check "no files is a usage error" test $? -eq 2

test "$fails" -eq 0
