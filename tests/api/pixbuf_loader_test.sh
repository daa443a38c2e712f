#!/usr/bin/env bash
# The gdk-pixbuf loader from a scratch install: the cache made for the prefix
# names it, gdk-pixbuf reads .rpx files (whole and incrementally) with the
# pixels of rpx --bmp, damaged files are errors and not crashes, and Eye of
# GNOME shows the picture on a virtual display.
#   pixbuf_loader_test.sh CMAKE BUILD_DIR SOURCE_DIR
export LC_ALL=C.UTF-8 LANGUAGE=
cmake=$1 build=$(cd "$2" && pwd) source=$(cd "$3" && pwd)
source "$source/tests/api/scratch_prefix.sh"
export GDK_PIXBUF_MODULE_FILE=$(find "$prefix" -name loaders.cache -print -quit)
export XDG_DATA_DIRS=$prefix/share:/usr/share HOME=$work
check "the prefix has a loaders cache" test -s "$GDK_PIXBUF_MODULE_FILE"
check "... naming the .rpx loader and its type" grep -q '"application/x-kirune-rpx"' "$GDK_PIXBUF_MODULE_FILE"

# 16-bit samples with a gradient and noise, so rounding to 8 bits matters.
tiny_size="160 120" tiny 3 pic.tif
"$rpx" -q pic.tif && "$rpx" -q --bmp pic_49-2.rpx
convert pic_49-2.bmp -depth 8 rgb:pic.rgb
check "rpx made the container and its BMP" test -s pic_49-2.bmp -a -s pic.rgb

# python3-gi is Debian's, for its own interpreter.
sanitized /usr/bin/python3 - pic_49-2.rpx pic_49-2.bmp pic.rgb > loader.log 2>&1 <<'PY'
import struct, sys
import gi
gi.require_version('GdkPixbuf', '2.0')
from gi.repository import GdkPixbuf, GLib
failures = 0
def report(ok, what):
    global failures
    print(('ok: ' if ok else 'FAILED: ') + what)
    failures += not ok

def rows(pixbuf):
    data, stride, w = pixbuf.get_pixels(), pixbuf.get_rowstride(), pixbuf.get_width()
    return [bytes(data[y * stride:y * stride + 3 * w]) for y in range(pixbuf.get_height())]

w, h = struct.unpack('<ii', open(sys.argv[2], 'rb').read()[18:26])
rgb = open(sys.argv[3], 'rb').read()
want = [rgb[y * 3 * w:(y + 1) * 3 * w] for y in range(h)]

whole = GdkPixbuf.Pixbuf.new_from_file(sys.argv[1])
loader = GdkPixbuf.PixbufLoader.new_with_mime_type('application/x-kirune-rpx')
data = open(sys.argv[1], 'rb').read()
for i in range(0, len(data), 4096):
    loader.write(data[i:i + 4096])
loader.close()
for name, pixbuf in ('new_from_file', whole), ('PixbufLoader', loader.get_pixbuf()):
    report(pixbuf.get_width() == w and pixbuf.get_height() == h and not pixbuf.get_has_alpha() and rows(pixbuf) == want,
           name + ' gives the pixels of rpx --bmp')
fmt = GdkPixbuf.Pixbuf.get_file_info(sys.argv[1])[0]
report(fmt is not None and fmt.get_name() == 'rpx', 'the format is recognised by its content')

# Damaged: a changed byte in the strips, a cut file, a foreign file named .rpx.
damaged = bytearray(data)
damaged[len(data) // 2] ^= 0x40
for name, blob in ('a changed byte', bytes(damaged)), ('a cut file', data[:len(data) - 100]), \
        ('a header alone', data[:40]):
    open('bad.rpx', 'wb').write(blob)
    try:
        GdkPixbuf.Pixbuf.new_from_file('bad.rpx')
        report(False, name + ' was shown')
    except GLib.Error as e:
        report(True, name + ' is an error: ' + e.message)
# A header of 32768 x 32769 pixels (the container has no metadata: its header
# is 100 bytes), with the 257 strip tables it announces: refused by its size,
# before anything is allocated for it.
giga = bytearray(data[:100])
giga[10:18] = struct.pack('<II', 32768, 32769)
open('giga.rpx', 'wb').write(bytes(giga) + bytes(257 * 56))
try:
    GdkPixbuf.Pixbuf.new_from_file('giga.rpx')
    report(False, 'a picture over a gigapixel was loaded')
except GLib.Error as e:
    report('more than the 1073741824 allowed' in e.message, 'over a gigapixel is refused: ' + e.message)
sys.exit(1 if failures else 0)
PY
status=$?
cat loader.log
check "gdk-pixbuf reads .rpx files as rpx expands them, and refuses damaged ones" test $status -eq 0

# Eye of GNOME on a flat orange picture: the middle of the screen is that
# orange, not an error page.
eog_shows_the_picture() {
  convert -size 640x480 xc:'rgb(230,120,30)' -depth 16 flat.tif && "$rpx" -q flat.tif || return 1
  xvfb-run -a -s "-screen 0 800x600x24" bash -c '
    dbus-run-session -- eog --fullscreen flat_49-2.rpx > eog.log 2>&1 &
    for i in $(seq 1 40); do
      sleep 0.25
      import -window root shot.png 2> /dev/null || continue
      mean=$(convert shot.png -gravity center -crop 100x100+0+0 -format "%[fx:round(255*mean.r)] %[fx:round(255*mean.g)] %[fx:round(255*mean.b)]" info:)
      set -- $mean
      [ $((($1 - 230) ** 2 + ($2 - 120) ** 2 + ($3 - 30) ** 2)) -lt 48 ] && break
    done
    echo "centre of the screen: $mean" > centre.txt
    kill %1 2> /dev/null; wait
  '
  cat centre.txt eog.log
  set -- $(sed 's/.*: //' centre.txt)
  [ $# -eq 3 ] && [ $((($1 - 230) ** 2 + ($2 - 120) ** 2 + ($3 - 30) ** 2)) -lt 48 ]
}
if [ -n "$asan_runtime" ]; then
  # Eye of GNOME does not come up with the sanitizers' runtime put before its
  # own libraries; the optimised build's run of this test starts it.
  echo "skipped: Eye of GNOME is not started on a sanitized libkirune"
elif ! command -v eog > /dev/null; then
  check "Eye of GNOME is installed (eog)" false
elif ! xvfb-run -a -s "-screen 0 64x64x24" true 2> /dev/null; then
  echo "skipped: Xvfb cannot start here, Eye of GNOME was not tried"
else
  check "Eye of GNOME shows an .rpx picture" eog_shows_the_picture
fi

finish
