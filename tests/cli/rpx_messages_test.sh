#!/usr/bin/env bash
# rpx's messages in English by default and, in a Japanese locale, in the
# Japanese the dialog shows, whether or not that locale is generated here.
source "$(dirname "$0")/check.sh"
# Runs rpx under LANG=$1 with a clean locale environment; its messages in $work/err.
run() {
  local lang=$1; shift
  env -u LC_ALL -u LC_MESSAGES -u LANGUAGE LANG="$lang" "$rpx" "$@" > /dev/null 2> "$work/err"
}
# says WHEN LINE: $work/err has LINE as a whole line.
says() {
  check "$1: $2" grep -qxF -- "$2" "$work/err"
}
# Both languages: twice DESCRIPTION ENGLISH JAPANESE -- RPX-ARGS...
twice() {
  local what=$1 english=$2 japanese=$3; shift 4
  run C.UTF-8 "$@"
  says "$what (English)" "$english"
  run ja_JP.UTF-8 "$@"
  says "$what (Japanese)" "$japanese"
}

cp "$samples/coffee-200.tif" cup.tif
"$rpx" -q cup.tif || exit 1
size=$(stat -c %s cup_49-2.rpx)

printf 'not an image' > bad.rpx
twice "bad magic" "bad.rpx: not an .rpx container (bad magic)" "bad.rpx: このフォーマットには対応していません" \
  -- -q bad.rpx
twice "info of a foreign file" "bad.rpx: not an .rpx container (bad magic)" \
  "bad.rpx: このフォーマットには対応していません" -- info bad.rpx
head -c 30 cup_49-2.rpx > head.rpx
twice "cut in the header" "head.rpx: truncated: the file ends inside the container header" \
  "head.rpx: このフォーマットには対応していません" -- -q head.rpx
head -c $((size * 2 / 3)) cup_49-2.rpx > cut.rpx
twice "cut in a strip" "cut.rpx: truncated: the file ends inside strip 1 of 1" "cut.rpx: ファイルが壊れています" -- -q cut.rpx
cp cup_49-2.rpx flipped.rpx
printf '\xff\xff\xff\xff' | dd of=flipped.rpx bs=1 seek=$((size / 2)) conv=notrunc status=none
twice "damaged" "flipped.rpx: the file is damaged: container checksum does not match" \
  "flipped.rpx: ファイルが壊れています: container checksum does not match" -- -q flipped.rpx

printf 'x' > notes.txt
printf 'x' > photo.JPG
twice "unsupported extension" "notes.txt: unsupported extension .txt: rpx reads .tif, .tiff, .bmp, .png and .rpx" \
  "notes.txt: txtファイル形式には対応していません" -- -q notes.txt
twice "extension in capitals" "photo.JPG: unsupported extension .jpg: rpx reads .tif, .tiff, .bmp, .png and .rpx" \
  "photo.JPG: jpgファイル形式には対応していません" -- -q photo.JPG
twice "no extension" "README: no file extension: rpx reads .tif, .tiff, .bmp, .png and .rpx" \
  "README: ファイル形式には対応していません" -- -q README
twice "output exists" "cup.tif: the output file already exists (use -f/--force to replace it): cup_49-2.rpx" \
  "cup.tif: 出力ファイルが既にあります（置き換えるには -f/--force）: cup_49-2.rpx" -- -q cup.tif
cp cup_49-2.rpx cup.rpx
twice "output is an input" "cup.rpx: the output would replace an input file of this batch: cup.tif (cup.tif)" \
  "cup.rpx: 出力ファイルがこのバッチの入力ファイルを置き換えてしまいます: cup.tif (cup.tif)" -- -q -f cup.rpx cup.tif
mkdir d1 d2
cp cup.tif d1/x.tif
cp cup.tif d2/x.tif
mkdir out
twice "output of an earlier file" \
  "d2/x.tif: the output would replace the output of an earlier file of this batch: out/x_49-2.rpx (d1/x.tif)" \
  "d2/x.tif: 出力ファイルがこのバッチの先のファイルの出力と重なります: out/x_49-2.rpx (d1/x.tif)" \
  -- -q -f -o out d1/x.tif d2/x.tif
twice "a file that cannot be opened" "gone.tif: cannot open the file: No such file or directory" \
  "gone.tif: ファイルを開けません: No such file or directory" -- -q gone.tif

# LC_ALL outranks LANG, for the language as for everything else.
LC_ALL=ja_JP.UTF-8 LANG=C.UTF-8 "$rpx" -q bad.rpx 2> "$work/err"
says "LC_ALL chooses" "bad.rpx: このフォーマットには対応していません"
LC_ALL=C LANG=ja_JP.UTF-8 "$rpx" -q bad.rpx 2> "$work/err"
says "LC_ALL=C keeps English" "bad.rpx: not an .rpx container (bad magic)"

LANGUAGE=en LANG=ja_JP.UTF-8 "$rpx" -q bad.rpx 2> "$work/err"
says "a LANGUAGE of the user's own is kept" "bad.rpx: not an .rpx container (bad magic)"
# What scripts parse reads the same in every language.
env -u LC_ALL -u LC_MESSAGES -u LANGUAGE LANG=C.UTF-8 "$rpx" info --json cup_49-2.rpx > info.en
env -u LC_ALL -u LC_MESSAGES -u LANGUAGE LANG=ja_JP.UTF-8 "$rpx" info --json cup_49-2.rpx > info.ja
check "info --json does not depend on the language" cmp -s info.en info.ja

# Interrupted: a noise image large enough to be still at work when SIGINT or SIGTERM comes; the
# rate-aware coder keeps it at work long after the signal handling is in place.
convert -size 2400x1600 xc: +noise Random -depth 16 big.tif
for run in C.UTF-8:INT:130 ja_JP.UTF-8:TERM:143; do
  IFS=: read -r lang signal status <<< "$run"
  env -u LC_ALL -u LC_MESSAGES -u LANGUAGE LANG=$lang "$rpx" -q -j 1 --rdo big.tif 2> "$work/err" &
  sleep 0.5
  kill -s "$signal" $!
  wait $!
  check "SIG$signal ends rpx with $status" test $? -eq "$status" -a ! -e big_49-2.rpx
  case $lang in
    C.UTF-8) says "interrupted (English)" "big.tif: interrupted: no output was written" ;;
    *) says "interrupted (Japanese)" "big.tif: 中断しました（出力は書き出していません）" ;;
  esac
done

finish
