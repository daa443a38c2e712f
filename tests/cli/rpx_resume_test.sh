#!/usr/bin/env bash
# A batch killed halfway resumes with --skip-existing: what the killed run
# left is whole, the rest is done, and every output is byte for byte what an
# uninterrupted run writes.
export LC_ALL=C.UTF-8 LANGUAGE=
source "$(dirname "$0")/check.sh"

total=20
mkdir scans
tiny_size="400 300" tiny 7 scans/s00.tif
python3 -c 'import shutil, sys; [shutil.copy(sys.argv[1], p) for p in sys.argv[2:]]' scans/s00.tif \
  $(for i in $(seq 1 $((total - 1))); do printf 'scans/s%02d.tif ' "$i"; done)

"$rpx" -q -j1 -r -o clean scans
check "an uninterrupted run exits 0" test $? -eq 0

count() { find resumed -name '*.rpx' 2> /dev/null | wc -l; }
for signal in KILL TERM; do
  rm -rf resumed
  "$rpx" -q -j1 -r -o resumed scans 2> /dev/null &
  pid=$!
  for _ in $(seq 1 600); do
    [ "$(count)" -ge 3 ] && break
    sleep 0.02
  done
  kill -s "$signal" "$pid"
  wait "$pid" 2> /dev/null
  left=$(count)
  check "SIG$signal stopped the batch halfway ($left of $total written)" test "$left" -gt 0 -a "$left" -lt "$total"

  "$rpx" -j1 -r -o resumed --skip-existing --json scans > records
  check "the run again with --skip-existing exits 0" test $? -eq 0
  check "... skipping exactly what was there" \
    test "$(grep -c '"status": "skipped"' records)" -eq "$left" -a "$(grep -c '"status": "ok"' records)" -eq $((total - left))
  check "... and every output is the uninterrupted run's" diff -r clean resumed
done

finish
