#!/usr/bin/env bash
# The rpx command as a script would use it: exit statuses, output placement,
# the summary line, info, and a batch that goes on past a bad file.
set -u
rpx=$1
samples=$2
source "$(dirname "$0")/check.sh"

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

# Never lose a file (the batch's own refusals are tested in tests/app).
data=$(cd "$(dirname "$0")/../data" && pwd)
safe=$work/safe
mkdir "$safe"
cp "$data/no-unit.tif" "$safe/scan.tif"
"$rpx" -q "$safe/scan.tif" && "$rpx" -q "$safe/scan_49-2.rpx" 2> "$work/stderr"
check "a resolution without unit compresses and expands" test -s "$safe/scan_49-2.tif"
check "... with no warning" test ! -s "$work/stderr"
"$rpx" info "$safe/scan_49-2.rpx" > "$work/info"
check "... carried in inches" grep -q "unit 2, 300 x 300" "$work/info"

before=$(cksum < "$safe/scan_49-2.rpx")
"$rpx" -q "$safe/scan.tif" 2> "$work/stderr"
check "an existing output is refused" test $? -eq 1
check "... naming the file and -f" grep -q "scan_49-2.rpx.*-f/--force\|-f/--force.*scan_49-2.rpx" "$work/stderr"
check "... and kept" test "$(cksum < "$safe/scan_49-2.rpx")" = "$before"
"$rpx" -q --force "$safe/scan.tif"
check "--force replaces it" test $? -eq 0

mkfifo "$safe/pipe.rpx"
timeout 20 "$rpx" info "$safe/pipe.rpx" 2> /dev/null
check "info refuses a FIFO" test $? -eq 1

# Verification: checksums in the trailer, older containers by their structure.
cp "$safe/scan_49-2.rpx" "$work/good.rpx"
cp "$data/legacy/coffee_49-2.rpx" "$work/old.rpx"
"$rpx" verify "$work/good.rpx" "$work/old.rpx" > "$work/stdout" 2> "$work/stderr"
check "verify passes good containers" test $? -eq 0
check "... saying what it checked" grep -q "good.rpx: OK$" "$work/stdout"
check "... and that an older one has no checksum" grep -q "old.rpx: OK、チェックサムは保存されていません" "$work/stdout"
cp "$work/good.rpx" "$work/bad.rpx"
printf '\x5a' | dd of="$work/bad.rpx" bs=1 seek=300 conv=notrunc 2> /dev/null
for mode in "" --fast; do
  "$rpx" verify $mode "$work/bad.rpx" "$work/good.rpx" > "$work/stdout" 2> "$work/stderr"
  check "verify $mode finds a changed byte" test $? -eq 1
  check "... naming the file" grep -q "bad.rpx: ファイルが壊れています" "$work/stderr"
done
"$rpx" -q "$work/bad.rpx" 2> /dev/null
check "a damaged container is not expanded" test $? -eq 1 -a ! -e "$work/bad.tif"

# Everything a photograph carries comes back (exiftool is installed by tools/deps.sh).
if command -v exiftool > /dev/null; then
  tags=$work/tags
  mkdir "$tags"
  "$(dirname "$0")/exif_fixture.sh" "$samples/coffee-200.tif" "$tags/photo.tif"
  "$rpx" -q "$tags/photo.tif" && "$rpx" -q "$tags/photo_49-2.rpx"
  listing() {  # what exiftool sees, less the file's own facts and the pixels' storage
    exiftool -a -G1 -s "$1" | grep -v '^\[System\]' |
      grep -Ev '^\[IFD0\] +(Compression|FillOrder|StripOffsets|RowsPerStrip|StripByteCounts|Predictor) '
  }
  listing "$tags/photo.tif" > "$tags/before"
  listing "$tags/photo_49-2.tif" > "$tags/after"
  check "exiftool lists the same tags after compression and expansion" cmp -s "$tags/before" "$tags/after"
  for field in Orientation Copyright Artist ImageDescription WhitePoint PrimaryChromaticities ExposureTime \
               FNumber LensModel DateTimeOriginal GPSLatitude GPSLongitude Rating Subject Keywords; do
    check "... among them $field" grep -q " $field " "$tags/after"
  done
  "$rpx" info "$tags/photo_49-2.rpx" > "$work/info"
  check "info shows a UTF-8 text as it is" grep -q "^artist  *山田 花子$" "$work/info"
  check "... and the photograph's own long description" grep -q "^description  *Harbour at dawn: fishing" "$work/info"
  check "... and the carried directories" grep -q "metadata  .* Exif, 5 GPS" "$work/info"
else
  echo "FAILED: exiftool is missing (tools/deps.sh installs libimage-exiftool-perl)"
  fails=$((fails + 1))
fi

"$rpx" -p 12 "$work/Cup.TIF" > /dev/null 2>&1
check "a bad preset is a usage error" test $? -eq 2
"$rpx" > /dev/null 2>&1
check "no files is a usage error" test $? -eq 2

test "$fails" -eq 0
