#!/usr/bin/env bash
# check_catalogue.sh SOURCE_DIR: po/ja.po compiles cleanly, has the Japanese of
# every message the core marks with messageId() (the dialog shows nothing
# else), and translates no text the sources no longer have.
set -u
cd "$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fails=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; fails=$((fails + 1)); fi
}

quiet() {  # quiet COMMAND...: its output only when it fails
  local out
  out=$("$@" 2>&1) || { echo "$out"; return 1; }
}

check "ja.po compiles with every check" msgfmt --check -o /dev/null po/ja.po
po/extract_texts.sh xgettext errors "$work/errors.pot" 2> /dev/null
po/extract_texts.sh xgettext all "$work/all.pot" 2> /dev/null
check "the core's messages were found" grep -q '^msgid "the file is damaged"' "$work/errors.pot"
check "every message of the core has its Japanese" quiet msgcmp po/ja.po "$work/errors.pot"
check "ja.po keeps no text the sources dropped" quiet msgcmp --use-untranslated "$work/all.pot" po/ja.po
[ "$fails" -eq 0 ] && echo "all checks passed"
exit $((fails != 0))
