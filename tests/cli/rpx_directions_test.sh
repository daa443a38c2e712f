#!/usr/bin/env bash
# Walks go one way and resume in place: the README's commands run a second and
# a third time on the same tree write nothing and exit 0; -d and -z force a
# direction; the final extension alone dispatches; two resumes racing on one
# tree both end well. (A full disk is the hardening tests'.)
export LC_ALL=C.UTF-8 LANGUAGE=
tiny_size="40 30"
source "$(dirname "$0")/check.sh"

mkdir -p tree/sub tree/x.rpx-old
tiny 1 tree/a.tif
tiny 2 tree/sub/b.tif
tiny 3 tree/x.rpx-old/c.tif
tiny 4 tree/b.rpx.tif
# Every file's name, size and modification time: what a run changed.
snapshot() { find "$@" -printf '%p %s %T@\n' 2> /dev/null | sort; }

# resumes NAME FILES COMMAND...: the command three times on a fresh copy of the tree.
resumes() {
  local name=$1 files=$2
  shift 2
  rm -rf scans out archive all.txt && cp -r "${src:-tree}" scans
  "$@" > first 2> /dev/null
  check "$name: the first run exits 0" test $? -eq 0
  local before
  before=$(snapshot scans out archive)
  for run in second third; do
    "$@" > records 2> errors
    check "$name: the $run run exits 0 ($(head -c 200 errors))" test $? -eq 0
    check "... and writes nothing" test "$before" = "$(snapshot scans out archive)"
    check "... counting all $files files skipped" test "$(grep -c skipped records)" -eq "$files"
  done
}
resumes "in place" 4 "$rpx" -r --skip-existing scans
resumes "into a folder inside the tree" 4 "$rpx" -r --skip-existing -o scans/rpx scans
resumes "into a folder beside it" 4 "$rpx" -r --skip-existing -o out scans
list() { find scans -name '*.tif' > all.txt && "$rpx" -j1 -p 3 --skip-existing --json --files-from - < all.txt; }
resumes "from a list" 4 list
# The final extension: b.rpx.tif is a TIFF, x.rpx-old/ an ordinary folder.
check "b.rpx.tif and a TIFF in x.rpx-old/ were compressed" test -s "$(echo scans/b.rpx_*-2.rpx)" -a -s "$(echo scans/x.rpx-old/c_*-2.rpx)"
folders() {
  for d in scans/*/; do "$rpx" -j1 -r --skip-existing --json -o "archive/$(basename "$d")" "$d" || return; done
}
resumes "folder by folder" 2 folders

# Containers expanded in place with -d, and from a list.
"$rpx" -q -r -o packed tree
src=packed resumes "expanded with -d" 4 "$rpx" -d -r --skip-existing scans
check "... every container expanded once" test "$(find scans -name '*.tif' | wc -l)" -eq 4 -a -s scans/sub/b_49-2.tif
unpack() { find scans -name '*.rpx' > all.txt && "$rpx" -d --skip-existing --json --files-from - < all.txt; }
src=packed resumes "expanded from a list" 4 unpack

# Named files go by name unless -d or -z says otherwise.
rm -rf named && mkdir named && tiny 5 named/p.tif && "$rpx" -q named/p.tif
"$rpx" -q -d named/p.tif 2> errors
check "-d refuses an image, naming it (exit 1)" test $? -eq 1 -a "$(grep -c 'named/p.tif' errors)" -eq 1
"$rpx" -q -z named/p_49-2.rpx 2> errors
check "-z refuses a container, naming it (exit 1)" test $? -eq 1 -a "$(grep -c 'named/p_49-2.rpx' errors)" -eq 1
check "... and neither wrote anything" test "$(ls named)" = "$(printf 'p.tif\np_49-2.rpx')"
"$rpx" -q --expand named/p_49-2.rpx && "$rpx" -q -z -o z named/p.tif
check "each direction takes its own kind" test -s named/p_49-2.tif -a -s z/p_49-2.rpx
"$rpx" -q -d -z named/p.tif 2> /dev/null
check "-d and -z together are a usage error" test $? -eq 2

# Two resumes racing on one tree: every file is done by one and skipped by the other.
rm -rf race && mkdir race && tiny 8 race/s00.tif
for i in $(seq 1 39); do cp race/s00.tif "race/s$(printf %02d "$i").tif"; done
"$rpx" -j1 -r --skip-existing --json race > race1 2> /dev/null &
"$rpx" -j1 -r --skip-existing --json race > race2 2> /dev/null
status2=$?
wait $!
check "two racing resumes both exit 0" test $? -eq 0 -a "$status2" -eq 0
check "... with every record ok or skipped" test "$(cat race1 race2 | grep -vc '"status": "\(ok\|skipped\)"')" -eq 0
check "... and every file done" test "$(find race -name '*.rpx' | wc -l)" -eq 40

finish
