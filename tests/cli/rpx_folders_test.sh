#!/usr/bin/env bash
# rpx -r over a tree: nested folders, files that are not images; the tree
# recreated under -o; and a batch far over the dialog's 1000. (Which links a
# walk follows is the folder walk's own test.)
export LC_ALL=C.UTF-8 LANGUAGE=
# On a memory file system when there is one: every output is synced to disk.
SCRATCH_IN=/dev/shm
source "$(dirname "$0")/check.sh"

mkdir -p tree/2024/jan tree/2024/feb/raw tree/empty
tiny 1 tree/top.tif tree/2024/jan/a.tif tree/2024/jan/B.TIF tree/2024/feb/raw/c.tiff
printf 'x' > tree/2024/jan/notes.txt
printf 'x' > tree/2024/readme

"$rpx" -q -r -o out tree > stdout 2> err
check "-r over a tree with unsupported files exits 0" test $? -eq 0
check "... quietly" test ! -s stderr -a ! -s err
(cd out && find . -type f | sort) > made
cat > want <<'LIST'
./2024/feb/raw/c_49-2.rpx
./2024/jan/B_49-2.rpx
./2024/jan/a_49-2.rpx
./top_49-2.rpx
LIST
check "the tree below the folder is recreated under -o" diff want made
check "outputs decode to what a direct run gives" cmp -s out/2024/jan/a_49-2.rpx <("$rpx" -q -o direct tree/2024/jan/a.tif && cat direct/a_49-2.rpx)
check "nothing was written inside the input tree" test -z "$(find tree -name '*.rpx')"

# Several folders into one -o: each one's tree goes to the same place.
mkdir -p second/2024/jan
tiny 9 second/2024/jan/z.tif
"$rpx" -q -r -o out second tree/2024/jan/a.tif -f
check "a second folder merges into the same tree; a named file goes to -o itself" \
  test -s out/2024/jan/z_49-2.rpx -a -s out/a_49-2.rpx

# Expanding the outputs back with -d -r recreates the same tree again.
"$rpx" -q -d -r -o back out
check "containers found by -d -r are expanded into the same tree" test -s back/2024/feb/raw/c_49-2.tif

# A batch of 1500 files: no limit, every file done, exit 0.
mkdir many
tiny 100 many/f0000.tif
python3 -c 'import shutil, sys; [shutil.copy(sys.argv[1], p) for p in sys.argv[2:]]' many/f0000.tif many/f{0001..1499}.tif
"$rpx" -j1 -r -o many-out many > summary 2> err
check "1500 files in one call exit 0" test $? -eq 0
check "... with every output" test "$(find many-out -name '*_49-2.rpx' | wc -l)" -eq 1500
check "... and one summary line each" test "$(wc -l < summary)" -eq 1500
check "... and no message but the totals" test "$(grep -cv '^total: 1500 done, 0 skipped, 0 failed' err)" -eq 0

finish
