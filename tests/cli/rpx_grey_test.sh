#!/usr/bin/env bash
# Greyscale through rpx: info and its JSON say so, with the source and the
# grey checksum, verify checks it, and RGB containers say nothing of grey.
export LC_ALL=C.UTF-8 LANGUAGE=
source "$(dirname "$0")/check.sh"

# A 16 x 12 uncompressed 16-bit TIFF of one sample, white at 0.
convert -size 16x12 gradient: -depth 16 -colorspace Gray -define quantum:polarity=min-is-white white.tif
tiny_size="16 12" tiny 1 rgb.tif

"$rpx" -q white.tif rgb.tif
check "a grey TIFF compresses" test -s white_49-2.rpx
"$rpx" info white_49-2.rpx > info.txt
check "info says greyscale and where white is" grep -q '^greyscale  *min-is-white' info.txt
check "... lists the record and the grey checksum" grep -q '^  grey  *XXH3-128 [0-9a-f]\{32\}$' info.txt
check "... and the source" grep -q '^  source  *TIFF, 16 bits per sample$' info.txt
"$rpx" info --json white_49-2.rpx rgb_49-2.rpx > info.json
check "info --json says it in the trailer, the RGB one nothing" python3 -c '
import json, sys
grey, rgb = [json.loads(l) for l in open("info.json")]
t = grey["trailer"]
assert t["greyscale"] == "min-is-white" and len(t["greyChecksum"]) == 32, t
assert t["sourceFormat"] == "TIFF" and t["sourceBitsPerSample"] == 16, t
assert "greyscale" not in rgb["trailer"] and "sourceFormat" not in rgb["trailer"], rgb
'
"$rpx" verify white_49-2.rpx > verify.txt
check "verify checks it" grep -q '^white_49-2.rpx: OK$' verify.txt

finish
