#!/usr/bin/env bash
# Makes the photograph of the metadata round trip: a copy of a plain TIFF given,
# through exiftool, what a camera and a photo editor leave in a file.
# Usage: exif_fixture.sh PLAIN.tif OUT.tif
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 PLAIN.tif OUT.tif" >&2; exit 2; }
cp -- "$1" "$2"
# 200 bytes: more than the container's own description field holds.
description="Harbour at dawn: $(printf 'fishing boats and gulls, %.0s' {1..8})"
description="${description:0:200}"
exiftool -q -overwrite_original -charset exif=utf8 \
  -IFD0:Orientation#=6 \
  -IFD0:Copyright='© 2024 Hanako Yamada' \
  -IFD0:Artist='山田 花子' \
  "-IFD0:ImageDescription=$description" \
  -IFD0:WhitePoint='0.3127 0.329' \
  -IFD0:PrimaryChromaticities='0.64 0.33 0.3 0.6 0.15 0.06' \
  -ExifIFD:ExposureTime=1/250 -ExifIFD:FNumber=2.8 -ExifIFD:LensModel='Kirune 50mm F1.4' \
  -ExifIFD:DateTimeOriginal='2024:05:06 07:08:09' \
  -InteropIFD:InteropIndex=R98 \
  -GPS:GPSLatitude=35.6586 -GPS:GPSLatitudeRef=N -GPS:GPSLongitude=139.7454 -GPS:GPSLongitudeRef=E \
  -XMP-xmp:Rating=4 -XMP-dc:Subject=harbour -XMP-dc:Subject=dawn \
  -IPTC:Keywords=harbour -IPTC:Keywords=dawn \
  -- "$2"
