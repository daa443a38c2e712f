#!/usr/bin/env bash
# What rpx reads and reports must be exact: lists read as they were written,
# preset digits, unreached targets, names that are not UTF-8, verify's checks,
# info on damaged files, the totals line and rpx's own usage errors.
export LC_ALL=C.UTF-8 LANGUAGE=
source "$(dirname "$0")/check.sh"
# strict FILE PYTHON: FILE's lines as strict UTF-8 JSON in `records`, then the assertions.
strict() {
  python3 -c "import json, sys
records = [json.loads(l) for l in open(sys.argv[1], 'rb').read().decode('utf-8').splitlines()]
$2" "$1"
}

# Lists: NUL-separated both ways, and NULs in a newline list refused by line.
mkdir -p in/sub
tiny 1 "in/one.tif"
tiny 2 "in/sub/two
lines.tif"
find in -name '*.tif' -print0 | "$rpx" -q --files0-from - -o out0
check "find -print0 | --files0-from - runs each file" test $? -eq 0 -a -s out0/one_49-2.rpx -a -s "out0/two
lines_49-2.rpx"
"$rpx" -q -o ref in/one.tif
check "... each under its own name" cmp -s out0/one_49-2.rpx ref/one_49-2.rpx
find in -name '*.tif' -print0 > list0
"$rpx" -q --null --files-from list0 -o outn
check "--null --files-from reads the same list" test $? -eq 0 -a -s outn/one_49-2.rpx -a -s "outn/two
lines_49-2.rpx"
printf 'in/one.tif\nin/one.tif\0in/sub/x.tif\n' > mixed
"$rpx" -q --files-from mixed -o outm 2> err
check "a NUL in a --files-from line fails the batch" test $? -eq 1
check "... names the list and the line" grep -q "^rpx: mixed:2: the line holds a NUL byte" err
check "... writes nothing for that line but runs the others" test -s outm/one_49-2.rpx -a "$(ls outm | wc -l)" -eq 1
printf 'in/one.tif\r\n' > crlf
"$rpx" -q --files-from crlf -o outc 2> err
check "a line ending in CR is a usage error" test $? -eq 2 -a ! -e outc
check "... naming the line" grep -q "^rpx: crlf:1: the line ends in a carriage return" err

# Preset digits are options, the last preset given wins; a digit with --psnr is a usage error.
cp in/one.tif d.tif
"$rpx" -q -3 d.tif
check "-3 is preset 3" test $? -eq 0 -a -s d_51-2.rpx -a ! -e d_49-2.rpx
"$rpx" -q -0 d.tif
check "-0 is preset 0" test $? -eq 0 -a -s d_35-2.rpx
"$rpx" -q -p 1 -7 -o last1 d.tif && "$rpx" -q -7 -p 1 -o last2 d.tif
check "the last of -p and a digit wins" test -s last1/d_42-2.rpx -a -s last2/d_47-2.rpx
"$rpx" -q -3 --psnr 45 d.tif 2> err
check "a digit with --psnr is a usage error" test $? -eq 2

# An unreached target: exit 3, said on the line, in the record and in the totals.
cp in/one.tif t1.tif && cp in/one.tif t2.tif
"$rpx" --psnr 90 t1.tif t2.tif > lines 2> err
check "an unreached --psnr target exits 3" test $? -eq 3
check "... the line says so" grep -q "t1_90-2.rpx .*target not reached: 90.00 dB$" lines
check "... and the totals" grep -q "^total: 2 done, 0 skipped, 0 failed; .*; 2 below their PSNR target$" err
"$rpx" --json -f --psnr 90 t1.tif > records 2> /dev/null
check "... and the JSON record" strict records '
(r,) = records
assert r["status"] == "ok" and r["targetReached"] is False, r
assert "90.00 dB not reached" in r["message"] and "%.2f dB" % r["psnr"] in r["message"], r'
"$rpx" --json -f --psnr 30 t1.tif > records
check "a reached target exits 0 with targetReached true" strict records '
assert records[0]["targetReached"] is True and records[0]["message"] == "", records'
"$rpx" --json -f t1.tif > records
check "... and without a target the key is absent" strict records 'assert "targetReached" not in records[0]'

# Names that are not UTF-8 come back byte for byte through surrogateescape.
python3 - <<'PY'
import shutil
for n in [b"latin1-\xe9.tif", b"surrogate-\xed\xa0\x80.tif", b"overlong-\xc0\xaf.tif", b"beyond-\xf4\x90\x80\x80.tif",
          b"cp932-\x82\xa0.tif", b"ctrl-\x01.tif"]:
    shutil.copy("d.tif", n)
PY
find . -maxdepth 1 -name '*-*.tif' ! -name 't*' -print0 | "$rpx" --json --files0-from - > records 2> err
check "names that are not UTF-8: strict JSON, each name's bytes given back" strict records '
import os
assert len(records) == 6, records
for r in records:
    assert r["status"] == "ok", r
    given = r["input"].encode("utf-8", "surrogateescape")
    assert os.path.exists(given) and given.startswith(b"./"), r
    assert os.path.exists(r["output"].encode("utf-8", "surrogateescape")), r
cp932 = [r for r in records if r["input"].startswith("./cp932-")][0]
assert cp932["input"] == "./cp932-\udc82\udca0.tif", cp932'
"$rpx" -f ./latin1-$'\xe9'.tif ./ctrl-$'\x01'.tif > lines 2>&1
check "... and the terminal shows them escaped" grep -qF './latin1-\xE9_49-2.rpx ' lines
check "... control characters too" grep -qF './ctrl-\x01_49-2.rpx ' lines

# A forged resolution is null in JSON; a 1x1 image reports no bits per pixel.
"$rpx" -q -o nan d.tif
python3 -c 'import struct, sys
f = open(sys.argv[1], "r+b"); f.seek(68); f.write(struct.pack("<ff", float("nan"), float("inf")))' nan/d_49-2.rpx
"$rpx" info --json nan/d_49-2.rpx > records
check "a forged resolution is null" strict records '
assert records[0]["xResolution"] is None and records[0]["yResolution"] is None, records'
check "... and info --json gives the sampling as batches do" strict records '
assert records[0]["colourSampling"] == "4:4:4" and records[0]["status"] == "ok", records'
tiny_size="1 1" tiny 3 dot.tif
"$rpx" dot.tif > lines && "$rpx" --json -f dot.tif > records
check "a 1x1 image has no bits per pixel" test "$(grep -c bpp lines)" -eq 0
check "... null in its record" strict records 'assert records[0]["bpp"] is None and records[0]["ratio"] > 0, records'

# verify names the checks it made; info lists what it could read of a damaged container.
cp "$here/../data/legacy/coffee_49-2.rpx" old.rpx
"$rpx" verify --fast d_51-2.rpx old.rpx > lines
check "verify --fast with a trailer: its container checksum, strips not decoded" \
  grep -qx "d_51-2.rpx: OK (container checksum; strips not decoded)" lines
check "... without one: the strip layout" grep -qx "old.rpx: OK, no container checksum stored (strip layout only)" lines
size=$(stat -c %s d_51-2.rpx)
head -c $((size / 2)) d_51-2.rpx > cut.rpx
"$rpx" info cut.rpx > lines 2> err
check "info on a truncated container fails" test $? -eq 1
check "... listing its header" grep -q "^size            16 x 16$" lines
check "... and saying why" grep -q "^cut.rpx: truncated" err
"$rpx" info --json cut.rpx missing.rpx d_51-2.rpx > records 2> /dev/null
check "info --json gives a record for each file, failed or not" strict records '
cut, missing, good = records
assert cut["status"] == "failed" and cut["message"].startswith("truncated") and cut["width"] == 16, cut
assert missing["status"] == "failed" and "No such file" in missing["message"], missing
assert good["status"] == "ok" and good["message"] == "" and good["width"] == 16, good'

# The totals line ends a batch of several files (not with -q), with nothing more on standard output.
"$rpx" --json --skip-existing d.tif t1.tif nothing.tif > records 2> err
check "the totals line counts done, skipped and failed" grep -q "^total: 1 done, 1 skipped, 1 failed; [0-9,]* -> [0-9,]* bytes; mean PSNR [0-9.]* dB$" err
check "... and --json gets no extra line" test "$(wc -l < records)" -eq 3
"$rpx" -q -f d.tif t1.tif 2> err
check "... -q has no totals" test ! -s err
"$rpx" -f d.tif > /dev/null 2> err
check "... nor a batch of one file" test ! -s err

# --bmp and --tiff-compression with nothing to expand warn once; CLI11's own words never show.
"$rpx" -q -f --bmp --tiff-compression zstd d.tif t1.tif 2> err
check "--bmp to a compression warns once" test "$(grep -c -- '--bmp applies only to expansion' err)" -eq 1
check "... as --tiff-compression does" test "$(grep -c -- '--tiff-compression applies only to expansion' err)" -eq 1
cp d.tif u.tif
for args in "--psnr abc u.tif" "-j x u.tif" "info" "verify" "--tiff-compression jpeg u.tif" "--psnr" "--bogus u.tif" \
            "-p 12 u.tif" "-p ultra u.tif" "-j 0 u.tif" "-f --skip-existing u.tif" "" "-o"; do
  # shellcheck disable=SC2086 # the words are the arguments
  "$rpx" $args > /dev/null 2> err
  status=$?
  check "'rpx $args': exit 2 in rpx's own words" test $status -eq 2 -a -s err
  check "... not CLI11's" test "$(grep -ciE 'not in range|is required|not expected|required .* missing|could not convert|not in \{' err)" -eq 0
done
check "... and no output" test -z "$(ls u_* 2> /dev/null)"

finish
