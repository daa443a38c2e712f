#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks what a desktop and a
# shell find there: the programs, the guide, the manual page, the menu entry,
# the .rpx type with its thumbnailer, and rpx's completion.
#   install_layout_test.sh CMAKE BUILD_DIR SOURCE_DIR
set -o pipefail
cmake=$1 build=$(cd "$2" && pwd) source=$(cd "$3" && pwd)
source "$source/tests/api/scratch_prefix.sh"
fail() { echo "FAILED: $*"; fails=$((fails + 1)); }

# ---- layout -----------------------------------------------------------------
for f in bin/rpx bin/kirune-thumbnailer; do
  [ -x "$prefix/$f" ] || fail "$f is missing or not executable"
done
for f in share/man/man1/rpx.1 share/bash-completion/completions/rpx share/mime/packages/kirune-rpx.xml \
         share/thumbnailers/kirune.thumbnailer; do
  [ -s "$prefix/$f" ] || fail "$f is missing"
done
if [ -x "$build/bin/kirune" ]; then  # built with the dialog
  [ -x "$prefix/bin/kirune" ] || fail "bin/kirune is missing"
  for f in share/applications/kirune.desktop share/icons/hicolor/256x256/apps/kirune.png \
           "share/doc/kirune/Kirune_操作説明.pdf"; do
    [ -s "$prefix/$f" ] || fail "$f is missing"
  done
  ls "$prefix"/bin/*.pdf >/dev/null 2>&1 && fail "a document is installed among the programs"
fi
# The Japanese catalogue, when this build makes one.
if [ -n "$(find "$build" -name kirune.mo -print -quit)" ]; then
  [ -s "$prefix/share/locale/ja/LC_MESSAGES/kirune.mo" ] || fail "share/locale/ja/LC_MESSAGES/kirune.mo is missing"
fi

# ---- menu entry, type and thumbnailer agree ---------------------------------
mime_type=$(sed -n 's/.*<mime-type type="\([^"]*\)".*/\1/p' "$prefix/share/mime/packages/kirune-rpx.xml")
[ -n "$mime_type" ] || fail "kirune-rpx.xml names no type"
entry_field() { sed -n "s/^$2=//p" "$1"; }
thumbnailer=$prefix/share/thumbnailers/kirune.thumbnailer
[ "$(entry_field "$thumbnailer" MimeType)" = "$mime_type;" ] || fail "the thumbnailer is not for $mime_type alone"
exec_program=$(entry_field "$thumbnailer" Exec | cut -d' ' -f1)
[ -x "$prefix/bin/$exec_program" ] || fail "the thumbnailer runs $exec_program, which is not installed"
if [ -f "$prefix/share/applications/kirune.desktop" ]; then
  desktop=$prefix/share/applications/kirune.desktop
  if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$desktop" || fail "desktop-file-validate"
  else
    fail "desktop-file-validate is not installed (desktop-file-utils)"
  fi
  # Opening a photograph must not compress it on the spot: .rpx files only.
  [ "$(entry_field "$desktop" MimeType)" = "$mime_type;" ] || fail "kirune.desktop claims more than $mime_type"
fi
if command -v update-mime-database >/dev/null; then
  grep -q "$mime_type" "$prefix/share/mime/globs2" || fail "the installed type is missing from the MIME cache"
fi

# ---- the manual page and the completion keep up with rpx --help -------------
man_page=$prefix/share/man/man1/rpx.1
completion=$prefix/share/bash-completion/completions/rpx
for option in $("$prefix/bin/rpx" --help 2>&1 | grep -oE -- '--[a-z][a-z0-9-]+' | sort -u); do
  grep -qF -- "${option//-/\\-}" "$man_page" || fail "rpx.1 does not document $option"
  grep -qE -- "(^|[ '])$option([ '|)]|$)" "$completion" || fail "the completion does not offer $option"
done
if command -v groff >/dev/null; then
  # As man renders it: UTF-8 through preconv, tables through tbl.
  warnings=$(groff -k -t -man -Tutf8 -ww -z "$man_page" 2>&1)
  [ -z "$warnings" ] || fail "rpx.1 renders with warnings: $warnings"
else
  echo "note: groff is not installed, rpx.1 is not rendered"
fi

bash_completion=/usr/share/bash-completion/bash_completion
if [ -r "$bash_completion" ]; then
  mkdir -p "$work/files/folder" && touch "$work"/files/{a.tif,b.TIFF,c.bmp,d.rpx,e.jpg,f.txt}
  # The sorted candidates bash would offer for the words of $1.
  offers() {
    (cd "$work/files" && bash --norc -c '
      source "$1"; source "$2"; shift 2
      COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
      COMP_LINE="${COMP_WORDS[*]}"; COMP_POINT=${#COMP_LINE}
      _rpx rpx "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
      printf "%s\n" "${COMPREPLY[@]}" | sort | tr "\n" " "' _ "$bash_completion" "$completion" "$@")
  }
  expect() {  # expect CANDIDATES WORDS...
    local want=$1 got; shift
    got=$(offers "$@") && [ "$got" = "$want " ] || fail "completing '$*': got '$got', want '$want'"
  }
  expect "a.tif b.TIFF c.bmp d.rpx folder info verify" rpx ""
  expect "d.rpx folder" rpx info ""
  expect "d.rpx folder" rpx -j 2 verify ""
  expect "--fast --jobs -j" rpx verify -
  expect "deflate lzw none zstd" rpx --tiff-compression ""
  expect "超高画質" rpx --preset 超
  expect "folder" rpx -o ""
else
  fail "$bash_completion is missing (bash-completion)"
fi

# ---- libkirune and the image viewers' loader ---------------------------------
libkirune=$(find "$prefix" -name 'libkirune.so.1' -print -quit)
if [ -z "$libkirune" ]; then
  fail "libkirune.so.1 is missing"
else
  libdir=$(dirname "$libkirune")
  [ -L "$libdir/libkirune.so" ] && [ -f "$(readlink -f "$libkirune")" ] || fail "libkirune.so and its soname links"
  objdump -p "$libkirune" | grep 'SONAME *libkirune.so.1$' > /dev/null || fail "libkirune has no soname libkirune.so.1"
  exported=$(nm -D --defined-only "$libkirune" | awk '$2 == "T" || $2 == "D" || $2 == "B" {print $3}' | grep -v '^kirune_')
  [ -z "$exported" ] || fail "libkirune exports more than its API: $(echo $exported | head -c 300)"
  flags=$(echo $(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs kirune 2>&1))
  [ "$flags" = "-I$prefix/include -L$libdir -lkirune" ] || fail "pkg-config --cflags --libs kirune: $flags"
  # The header and the CMake package are built against by the C API test.
fi
if [ -n "$(find "$build" -name libpixbufloader-rpx.so -print -quit)" ]; then
  loader=$(find "$prefix" -path '*gdk-pixbuf-2.0/*/loaders/libpixbufloader-rpx.so' -print -quit)
  if [ -z "$loader" ]; then
    fail "the gdk-pixbuf loader is not in a gdk-pixbuf module folder"
  else
    ldd "$loader" | grep "libkirune.so.1 => $prefix/" > /dev/null || fail "the loader does not find the prefix's libkirune"
    grep -qF "\"$loader\"" "$(dirname "$loader")/../loaders.cache" 2>/dev/null || fail "the loaders cache has no entry for it"
  fi
  viewer=$(sed -n 's|^application/x-kirune-rpx=||p' "$prefix/share/applications/mimeapps.list" | sort -u)
  [ "$viewer" = "org.gnome.eog.desktop;kirune.desktop;" ] || fail "mimeapps.list does not put the viewer first: $viewer"
fi

# ---- the Python package -------------------------------------------------------
if [ -n "$(find "$build/python" -name '_kirune*.so' -print -quit 2>/dev/null)" ]; then
  module=$(find "$prefix" -path '*/python3*/*-packages/kirune/_kirune*.so' -print -quit)
  if [ -z "$module" ]; then
    fail "the Python package kirune is not in a site folder of the prefix"
  else
    site=$(dirname "$(dirname "$module")")
    ldd "$module" | grep "libkirune.so.1 => $prefix/" > /dev/null || fail "kirune's extension does not find the prefix's libkirune"
    (cd "$prefix" && PYTHONPATH=$site /usr/bin/python3 -c "import kirune, kirune.dask; assert kirune.__file__.startswith('$site')" \
      && "$prefix/bin/rpx" -q "$source/samples/coffee-200.tif" -o "$prefix/py" \
      && PYTHONPATH=$site /usr/bin/python3 -c "import kirune; assert kirune.read('py/coffee-200_49-2.rpx').shape == (160, 200, 3)") \
      || fail "the installed kirune package does not import or read"
  fi
fi

finish
