#!/usr/bin/env bash
# The rpx command as a script would use it, in the Japanese locale ctest gives
# it: exit statuses, output placement, the summary line, info, verification and
# a photograph's tags through a round trip (refused files: the messages test).
source "$(dirname "$0")/check.sh"

cp "$samples/coffee-200.tif" Cup.TIF

"$rpx" -p 3 -o out Cup.TIF > stdout
check "compression exits 0" test $? -eq 0 -a -s out/Cup_51-2.rpx
check "summary line names output and PSNR" grep -q "Cup_51-2.rpx .* bpp  PSNR [0-9.]* dB" stdout
"$rpx" info --json out/Cup_51-2.rpx > info.json
check "info exits 0 and reports geometry and level" \
  grep -q '"width": 200, "height": 160, .*"qualityLevel": 6' info.json

cp "$here/../data/no-unit.tif" scan.tif
"$rpx" -q scan.tif && "$rpx" -q scan_49-2.rpx 2> stderr
check "a resolution without unit compresses and expands, with no warning" test -s scan_49-2.tif -a ! -s stderr
"$rpx" info scan_49-2.rpx > info
check "... carried in inches" grep -q "unit 2, 300 x 300" info
mkfifo pipe.rpx
timeout 20 "$rpx" info pipe.rpx 2> /dev/null
check "info refuses a FIFO" test $? -eq 1

# Verification: checksums in the trailer, older containers by their structure.
cp scan_49-2.rpx good.rpx
cp "$here/../data/legacy/coffee_49-2.rpx" old.rpx
"$rpx" verify good.rpx old.rpx > stdout
check "verify passes good containers" test $? -eq 0
check "... saying what it checked" grep -q "good.rpx: OK$" stdout
check "... and that an older one has no checksum" grep -q "old.rpx: OK、チェックサムは保存されていません" stdout
cp good.rpx bad.rpx
printf '\x5a' | dd of=bad.rpx bs=1 seek=300 conv=notrunc 2> /dev/null
for mode in "" --fast; do
  "$rpx" verify $mode bad.rpx good.rpx > stdout 2> stderr
  check "verify $mode finds a changed byte, naming the file" test $? -eq 1 -a -n "$(grep "bad.rpx: ファイルが壊れています" stderr)"
done

# Everything a photograph carries comes back (exiftool is installed by tools/deps.sh).
if command -v exiftool > /dev/null; then
  mkdir tags
  "$here/exif_fixture.sh" "$samples/coffee-200.tif" tags/photo.tif
  "$rpx" -q tags/photo.tif && "$rpx" -q tags/photo_49-2.rpx
  listing() {  # what exiftool sees, less the file's own facts and the pixels' storage
    exiftool -a -G1 -s "$1" | grep -v '^\[System\]' |
      grep -Ev '^\[IFD0\] +(Compression|FillOrder|StripOffsets|RowsPerStrip|StripByteCounts|Predictor) '
  }
  listing tags/photo.tif > tags/before
  listing tags/photo_49-2.tif > tags/after
  check "exiftool lists the same tags after compression and expansion" cmp -s tags/before tags/after
  for field in Orientation Copyright Artist ImageDescription WhitePoint PrimaryChromaticities ExposureTime \
               FNumber LensModel DateTimeOriginal GPSLatitude GPSLongitude Rating Subject Keywords; do
    check "... among them $field" grep -q " $field " tags/after
  done
  "$rpx" info tags/photo_49-2.rpx > info
  check "info shows a UTF-8 text as it is" grep -q "^artist  *山田 花子$" info
  check "... and the photograph's own long description" grep -q "^description  *Harbour at dawn: fishing" info
  check "... and the carried directories" grep -q "metadata  .* Exif, 5 GPS" info
else
  echo "FAILED: exiftool is missing (tools/deps.sh installs libimage-exiftool-perl)"
  fails=$((fails + 1))
fi

finish
