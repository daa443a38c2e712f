#!/usr/bin/env bash
# Starts kirune on a virtual X display, captures its window to a PNG and checks
# that something was drawn: anti-aliased Japanese glyphs give many shades, a
# blank or black window one or two. With files, kirune runs them (copies, in a
# temporary folder) as one batch and the window is captured with its report.
# Usage: screenshot.sh KIRUNE OUTPUT.png [FILE...]
# Refresh the README's picture with:
#   tests/gui/screenshot.sh build/release/bin/kirune docs/kirune-dialog.png \
#     ../shared/samples/coffee-16bit.tif ../shared/samples/chelsea-16bit.tif ../shared/samples/astronaut-16bit.tif
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 KIRUNE OUTPUT.png [FILE...]" >&2; exit 2; }
kirune=$(readlink -f "$1")
out=$(readlink -f "$(dirname "$2")")/$(basename "$2")
shift 2

if [ -z "${KIRUNE_SCREENSHOT_INNER:-}" ]; then
  # Run this script again inside a fresh virtual display of its own, with
  # settings of its own: the user's remembered choices are neither used nor changed.
  export LANG=${LANG:-C.UTF-8}
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  mkdir "$work/config" "$work/files"
  for f in "$@"; do cp "$f" "$work/files/"; done
  XDG_CONFIG_HOME="$work/config" KIRUNE_SCREENSHOT_INNER="$work/files" \
    xvfb-run -a -s "-screen 0 800x600x24" "$0" "$kirune" "$out" "$@"
  colours=$(convert "$out" -format '%k' info:)
  echo "captured $out: $(convert "$out" -format '%wx%h' info:), $colours colours"
  [ "$colours" -ge 16 ] || { echo "the captured window looks blank" >&2; exit 1; }
  exit 0
fi

files=("$KIRUNE_SCREENSHOT_INNER"/*)
[ $# -gt 0 ] || files=()
QT_QPA_PLATFORM=xcb "$kirune" "${files[@]}" &
pid=$!
status=1
raw="$out.screen.png"
# Each file of the batch leaves one output beside it; wait up to 60 s for all.
for _ in $(seq 1 300); do
  [ "$(find "$KIRUNE_SCREENSHOT_INNER" -type f | wc -l)" -ge $((2 * ${#files[@]})) ] && break
  sleep 0.2
done
# The screen of a bare X server is black until the window is mapped and drawn;
# allow 15 s for that, then cut the window out of the black around it.
for _ in $(seq 1 75); do
  sleep 0.2
  if ! kill -0 "$pid" 2>/dev/null; then
    echo "kirune ended before its window could be captured" >&2
    break
  fi
  timeout 10 import -window root "$raw" 2>/dev/null || continue
  if [ "$(convert "$raw" -format '%k' info:)" -gt 1 ]; then
    sleep 0.5  # the first frame (or the report) may still be painting; take the settled one
    timeout 10 import -window root "$raw" && convert "$raw" -trim +repage "$out" && status=0
    break
  fi
done
rm -f "$raw"
kill "$pid" 2>/dev/null || true
wait "$pid" 2>/dev/null || true
exit $status
