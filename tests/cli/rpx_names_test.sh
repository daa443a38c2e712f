#!/usr/bin/env bash
# Names come back: rpx -N expands under the input's own name and time, which
# the container stored; older containers fall back to the default name.
# English texts: the messages are checked untranslated.
export LC_ALL=C.UTF-8 LANGUAGE= TZ=UTC
source "$(dirname "$0")/check.sh"

mkdir in
tiny 1 in/a.tif
tiny 2 in/long.tiff
tiny 3 in/UPPER.TIF
# A BMP input, from a TIFF expanded to BMP.
tiny 4 seed.tif
"$rpx" -q seed.tif && "$rpx" -q --bmp -o bmp seed_49-2.rpx && mv bmp/seed_49-2.bmp in/eight.bmp
touch -d '2001-02-03 04:05:06.5' in/*
"$rpx" -q -o rpx in/a.tif in/long.tiff in/UPPER.TIF in/eight.bmp
check "the inputs are compressed under the default names" \
  test -s rpx/a_49-2.rpx -a -s rpx/long_49-2.rpx -a -s rpx/UPPER_49-2.rpx -a -s rpx/eight_49-2.rpx
# The containers' own times are not the inputs'.
touch rpx/*.rpx

"$rpx" -q -N -o back rpx/*.rpx 2> err
check "-N expands every container" test $? -eq 0 -a ! -s err
for name in a.tif long.tiff UPPER.TIF; do
  check "-N gives $name back under its name" test -s "back/$name"
  check "... with its modification time" test "$(stat -c %y "back/$name")" = "$(stat -c %y "in/$name")"
done
check "... and a BMP input expanded to TIFF under its stem" test -s back/eight.tif -a ! -e back/eight.bmp
check "... with its time" test "$(stat -c %y back/eight.tif)" = "$(stat -c %y in/eight.bmp)"
check "... and no default name" test ! -e back/a_49-2.tif

"$rpx" -q -N --bmp -o backbmp rpx/a_49-2.rpx rpx/eight_49-2.rpx rpx/UPPER_49-2.rpx
for pair in a.tif:a.bmp eight.bmp:eight.bmp UPPER.TIF:UPPER.bmp; do
  check "-N --bmp: ${pair%:*} comes back as ${pair#*:}" test -s "backbmp/${pair#*:}"
done
check "... the same pixels as without -N" test "$("$rpx" -q --bmp -o plain rpx/eight_49-2.rpx && cmp -s plain/eight_49-2.bmp backbmp/eight.bmp && echo same)" = same

"$rpx" -q rpx/long_49-2.rpx
check "without -N the default name stays" test -s rpx/long_49-2.tif -a ! -e rpx/long.tiff

# Beside the container, an existing file of the stored name is never replaced.
cp rpx/a_49-2.rpx in/
cp in/a.tif a.orig
"$rpx" -q -N in/a_49-2.rpx 2> err
check "-N refuses to replace the original" test $? -eq 1
check "... saying it exists" grep -q "in/a.tif.*already exists\|already exists.*in/a.tif" err
check "... and leaves it as it was" cmp -s in/a.tif a.orig
"$rpx" -q -N --skip-existing in/a_49-2.rpx
check "... which --skip-existing counts as done" test $? -eq 0

# A container written before names were kept.
cp "$here/../data/legacy/coffee_49-2.rpx" old.rpx
"$rpx" -q -N old.rpx 2> err
check "-N on a container without a stored name succeeds" test $? -eq 0
check "... under the default name" test -s old.tif
check "... with a warning" grep -q "^old.rpx: warning: .*no input name.*default name" err

"$rpx" info rpx/UPPER_49-2.rpx > info
check "rpx info shows the stored name and time" grep -q "^  input .*UPPER.TIF, modified 2001-02-03T04:05:06.500000000Z" info
"$rpx" info --json rpx/long_49-2.rpx > info.json
check "info --json holds them" python3 -c '
import json, sys
t = json.load(open(sys.argv[1]))["trailer"]
sys.exit(t["inputName"] != "long.tiff" or t["inputModified"] != "2001-02-03T04:05:06.500000000Z")' info.json

finish
