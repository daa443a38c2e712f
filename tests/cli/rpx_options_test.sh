#!/usr/bin/env bash
# rpx's options as terminal users write them, its help and exit statuses, the
# --json records, --files-from, info over several files and the progress bar.
# English texts: the messages are checked untranslated.
export LC_ALL=C.UTF-8 LANGUAGE=
source "$(dirname "$0")/check.sh"

# Bundled short options, attached values, long options with '=', preset names.
tiny 1 a.tif
"$rpx" -qp3 -j1 -oout1 a.tif > stdout
check "-qp3 -j1 -oDIR: preset 3 into DIR, quietly" test $? -eq 0 -a -s out1/a_51-2.rpx -a ! -s stdout
"$rpx" --quiet --preset=7 --jobs=2 --output-dir=out2 a.tif
check "--preset=7 --jobs=2 --output-dir=DIR" test -s out2/a_42-2.rpx
for name in 標準:47 standard:47 高画質:49 HIGH:49 超高画質:51 super:51; do
  "$rpx" -q -o "names-${name%%:*}" -p "${name%%:*}" a.tif
  check "-p ${name%%:*} is the ${name##*:} dB preset" test -s "names-${name%%:*}/a_${name##*:}-2.rpx"
done
"$rpx" -q -o deep/er/still a.tif
check "-o makes a missing folder and its parents" test -s deep/er/still/a_49-2.rpx

# Help: every preset once, best quality first, with the figure the output name gets.
"$rpx" --help > help
check "--help exits 0" test $? -eq 0
grep -E '^  [0-9]  [0-9]+ dB' help > presets
check "--help lists the ten presets" test "$(cut -c3 presets | sort | tr -d '\n')" = 0123456789
check "... in quality order" cmp -s <(awk '{print $2}' presets) <(awk '{print $2}' presets | sort -rn)
for digit in 0 6 9; do
  db=$(awk -v d="$digit" '$1 == d {print $2}' presets)
  "$rpx" -q -o "help$digit" -p "$digit" a.tif
  check "... and preset $digit's figure ($db dB) is the one its output is named with" test -s "help$digit/a_$db-2.rpx"
done
check "... with the sampling of the colour-halving presets" grep -q '^  0  .*4:2:0' presets
check "... and the exit statuses" grep -q '128+N' help
"$rpx" -V > version
check "-V prints the version" grep -qE '^rpx \(Kirune\) [0-9]+\.[0-9]+' version

# A folder without -r fails on its own; the batch goes on.
mkdir folder
tiny 2 folder/in.tif b.tif
"$rpx" -q folder b.tif 2> err
check "a folder without -r exits 1" test $? -eq 1
check "... saying to use -r" grep -q "^folder: is a directory: use -r" err
check "... and the other file is done" test -s b_49-2.rpx
check "... but not the folder's" test ! -e folder/in_49-2.rpx

# --json: one object per file, each with every field, whatever happened.
printf 'x' > notes.txt
cp a.tif skip.tif
"$rpx" -q -p 1 skip.tif
"$rpx" --json --skip-existing -q -p 1 a.tif notes.txt missing.tif skip.tif > records 2> err
status=$?
check "--json with failures exits 1" test $status -eq 1
"$rpx" --json b_49-2.rpx >> records
check "... and an expansion exits 0" test $? -eq 0
check "--json gives one valid record per file" python3 - records <<'PY'
import json, sys
lines = open(sys.argv[1]).read().splitlines()
recs = [json.loads(l) for l in lines]
keys = {"input", "output", "status", "message", "inputBytes", "outputBytes", "ratio", "bpp", "psnr", "seconds",
        "qualityLevel", "colourSampling"}
assert len(recs) == 5, len(recs)
for r in recs:
    assert set(r) == keys, r
by = {r["input"]: r for r in recs}
ok = by["a.tif"]
assert ok["status"] == "ok" and ok["output"] == "a_47-2.rpx", ok
assert ok["inputBytes"] > ok["outputBytes"] > 0, ok
assert abs(ok["ratio"] - ok["inputBytes"] / ok["outputBytes"]) < 1e-3, ok
assert abs(ok["bpp"] - 8 * ok["outputBytes"] / 256) < 1e-3, ok
assert 30 < ok["psnr"] < 80 and ok["seconds"] >= 0, ok
assert ok["qualityLevel"] == 21 and ok["colourSampling"] == "4:4:4", ok
assert by["notes.txt"]["status"] == "failed" and "txt" in by["notes.txt"]["message"], by["notes.txt"]
assert by["missing.tif"]["status"] == "failed" and by["missing.tif"]["message"], by["missing.tif"]
assert by["missing.tif"]["inputBytes"] is None, by["missing.tif"]
assert by["skip.tif"]["status"] == "skipped" and by["skip.tif"]["output"] == "skip_47-2.rpx", by["skip.tif"]
ex = by["b_49-2.rpx"]
assert ex["status"] == "ok" and ex["output"] == "b_49-2.tif" and ex["psnr"] is None, ex
assert ex["qualityLevel"] is None, ex
assert abs(ex["bpp"] - 8 * ex["inputBytes"] / 256) < 1e-3, ex
PY
check "... while the messages still go to standard error" grep -q "^notes.txt: " err
"$rpx" -q -p 1 skip.tif 2> /dev/null
check "without --skip-existing an existing output still fails" test $? -eq 1

# --files-from: a list file and standard input, with names that need no quoting.
mkdir list
tiny 3 "list/with space.tif" list/l2.tif list/l3.tif
printf 'list/with space.tif\n\nlist/l2.tif\n' > paths
"$rpx" -q --files-from paths
check "--files-from reads one path per line" test -s "list/with space_49-2.rpx" -a -s list/l2_49-2.rpx
check "... taking no more" test ! -e list/l3_49-2.rpx
echo list/l3.tif | "$rpx" -q --files-from - list/l2.tif -f
check "--files-from - reads standard input, beside named files" test -s list/l3_49-2.rpx
"$rpx" -q --files-from no-such-list 2> err
check "an unreadable list is a usage error" test $? -eq 2

# info over several files: text blocks, or one JSON object per line.
"$rpx" info a_47-2.rpx skip_47-2.rpx no-such.rpx > info 2> err
check "info with an unreadable file exits 1" test $? -eq 1
check "... having listed the others" test "$(grep -c '^file ' info)" -eq 2
check "... naming the preset of the level" grep -q "^quality level   21 (preset 1, 47 dB)" info
check "... showing the credit as such, not as the description" grep -q "^credit          開発者：" info
check "... and no description" grep -q "^description     (none)" info
"$rpx" info --json a_47-2.rpx out1/a_51-2.rpx > info.jsonl
check "info --json gives one object per line" python3 - info.jsonl <<'PY'
import json, sys
recs = [json.loads(l) for l in open(sys.argv[1])]
assert [r["preset"] for r in recs] == [1, 3], recs
assert [r["presetDb"] for r in recs] == [47, 51], recs
assert all(r["description"] is None and r["credit"].startswith("開発者：") for r in recs), recs
PY

# A PSNR target names the output by it and says which coding reached it;
# the rate-aware coder writes containers the expansion reads.
tiny_size="96 64" tiny 5 target.tif
"$rpx" -j1 --psnr 50 target.tif > line
check "--psnr 50 exits 0 into NAME_50-2.rpx" test $? -eq 0 -a -s target_50-2.rpx
check "... reaching at least 50 dB and naming its level" python3 - line <<'PY'
import re, sys
m = re.search(r"PSNR ([0-9.]+) dB  level [0-9]+ 4:[024]:[024]$", open(sys.argv[1]).read().strip())
assert m and float(m.group(1)) >= 50.0, open(sys.argv[1]).read()
PY
"$rpx" --psnr 50 -p 2 target.tif > /dev/null 2>&1
check "--psnr with --preset is a usage error" test $? -eq 2
"$rpx" -q --rdo -o rdo target.tif && "$rpx" -q rdo/target_49-2.rpx
check "--rdo writes a container that expands" test -s rdo/target_49-2.tif

# The progress bar on a terminal: redrawn in place, never wider than the terminal.
if command -v script > /dev/null; then
  tiny_size="600 400" tiny 4 wide.tif
  mkdir -p "a-rather-long-folder-name-to-overflow-a-narrow-terminal"
  mv wide.tif "a-rather-long-folder-name-to-overflow-a-narrow-terminal/"
  COLUMNS=40 script -qec "$rpx -j1 a-rather-long-folder-name-to-overflow-a-narrow-terminal/wide.tif" /dev/null \
    > tty.log 2>&1
  python3 - tty.log > widths <<'PY'
import re, sys
text = open(sys.argv[1], encoding="utf-8", errors="replace").read()
text = re.sub(r"\x1b\[K", "", text)
for frame in re.split(r"[\r\n]", text):
    if frame.startswith("["):
        print(len(frame), "path" if frame.endswith("wide.tif") else "nopath")
PY
  check "a progress bar is drawn on a terminal" test -s widths
  check "... each frame within 39 columns" test "$(sort -n widths | tail -1 | cut -d' ' -f1)" -le 39
  check "... still showing the end of the path" test "$(grep -c ' path$' widths)" -eq "$(wc -l < widths)"
  "$rpx" -j1 -f a-rather-long-folder-name-to-overflow-a-narrow-terminal/wide.tif > /dev/null 2> err
  check "... and none when standard error is not one" test ! -s err
fi

finish
