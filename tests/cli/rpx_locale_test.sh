#!/usr/bin/env bash
# rpx in a Japanese locale: help, lines, totals and usage errors in Japanese,
# written in the locale's character set (UTF-8, EUC-JP, Shift_JIS), while
# JSON records stay UTF-8.
source "$(dirname "$0")/check.sh"
tiny 1 a.tif b.tif
mkdir folder
# ja LOCALE RPX-ARGS...: rpx under LANG=LOCALE alone; standard output in out, standard error in err.
ja() {
  local lang=$1; shift
  env -u LC_ALL -u LC_MESSAGES -u LANGUAGE LANG="$lang" "$rpx" "$@" > out 2> err
}
# has FILE CHARSET TEXT: FILE, read in CHARSET, holds TEXT (UTF-8 here).
has() { iconv -f "$2" -t UTF-8 "$1" 2> /dev/null | grep -qF -- "$3"; }

ja ja_JP.UTF-8 --help
check "ja_JP.UTF-8: --help in Japanese" has out UTF-8 "使い方: rpx [オプション]"
check "... its options too" has out UTF-8 "このヘルプを表示して終了"
check "... and the exit statuses" has out UTF-8 "3 完了したが --psnr の目標に届かなかった"
ja ja_JP.UTF-8 --psnr abc a.tif
check "a usage error in Japanese" has err UTF-8 "rpx: --psnr: 数値を指定してください 1-200: abc"
check "... with the hint" has err UTF-8 "オプションは --help で確認できます。"
ja ja_JP.UTF-8 info
check "a missing file list in Japanese" has err UTF-8 "rpx info: ファイルが指定されていません"
ja ja_JP.UTF-8 a.tif b.tif folder
check "the summary lines in Japanese" grep -qE "^b_49-2.rpx  [0-9,]+ -> [0-9,]+ バイト  " out
check "a folder without -r in Japanese" has err UTF-8 "folder: フォルダです（-r で中も処理します）"
check "the totals line in Japanese" has err UTF-8 "合計: 2 完了, 0 スキップ, 1 失敗; "
ja ja_JP.UTF-8 --files-from no-such-list
check "the system's reason stays in English, as every detail" has err UTF-8 "no-such-list: No such file or directory"

# Locales that are not UTF-8, generated here when the system lacks them.
locales=$work/locales
mkdir "$locales"
for pair in eucJP:EUC-JP SJIS:SHIFT_JIS; do
  name=ja_JP.${pair%%:*} charset=${pair##*:}
  # Shift_JIS is not ASCII-compatible, which localedef warns of: -c writes it anyway.
  localedef -c -i ja_JP -f "$charset" "$locales/$name" > /dev/null 2>&1
  if [ ! -e "$locales/$name/LC_CTYPE" ]; then
    echo "skipped: $name cannot be generated here"
    continue
  fi
  export LOCPATH=$locales
  ja "$name" --help
  check "$name: --help in $charset" has out "$charset" "使い方: rpx [オプション]"
  check "... the presets' names too" has out "$charset" "超高画質 / super"
  check "... with no UTF-8 bytes" test "$(iconv -f UTF-8 -t UTF-8 out > /dev/null 2>&1; echo $?)" -ne 0
  ja "$name" -j 0 a.tif
  check "$name: a usage error in $charset" has err "$charset" "rpx: --jobs: 整数を指定してください 1-1024: 0"
  ja "$name" -p "$(printf '超高画質' | iconv -f UTF-8 -t "$charset")" -q -o "out-$name" a.tif
  check "$name: a preset named in $charset" test -s "out-$name/a_51-2.rpx"
  ja "$name" --json missing.tif
  check "$name: JSON records stay UTF-8" python3 -c '
import json, sys
r = json.loads(open("out", "rb").read().decode("utf-8"))
assert r["status"] == "failed" and r["message"].startswith("ファイルを開けません"), r'
  # A name in the locale's own character set shows as it is; elsewhere its bytes are escaped.
  local_name=$(printf '写真' | iconv -f UTF-8 -t "$charset")
  cp a.tif "$local_name.tif"
  ja "$name" -f "$local_name.tif"
  check "$name: a name in $charset shows as it is" has out "$charset" "写真_49-2.rpx  "
  ja ja_JP.UTF-8 -f "$local_name.tif"
  check "... and escaped under UTF-8" test "$(grep -c '^\\x[0-9A-F][0-9A-F]' out)" -eq 1 -a "$(grep -cF "$local_name" out)" -eq 0
  unset LOCPATH
done

finish
