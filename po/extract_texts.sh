#!/usr/bin/env bash
# extract_texts.sh XGETTEXT errors|all OUT.pot, run from the source root:
# "errors" takes the texts marked messageId() (the messages of the core, which
# the dialog shows and which must all have their Japanese), "all" also rpx's own
# texts, marked tr() or N_().
set -eu
xgettext=$1
keywords=(--keyword= --keyword=messageId)
[ "$2" = all ] && keywords+=(--keyword=tr --keyword=N_)
find common lossless codec encoder container app/core app/cli \( -name '*.h' -o -name '*.cpp' \) | LC_ALL=C sort |
  "$xgettext" --from-code=UTF-8 --language=C++ "${keywords[@]}" --add-comments=' ' --sort-by-file \
    --package-name=kirune -f - -o "$3"
