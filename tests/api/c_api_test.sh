#!/usr/bin/env bash
# libkirune as a C program sees it: installed into a scratch prefix, found
# through pkg-config and CMake's package, and checked against rpx.
#   c_api_test.sh CMAKE BUILD_DIR SOURCE_DIR
export LC_ALL=C.UTF-8 LANGUAGE=
cmake=$1 build=$(cd "$2" && pwd) source=$(cd "$3" && pwd)
source "$source/tests/api/scratch_prefix.sh"
libdir=$(dirname "$(find "$prefix" -name kirune.pc -print -quit)")/..
export PKG_CONFIG_PATH=$libdir/pkgconfig

build_c() {  # build_c SOURCE OUTPUT: C11, warnings as errors, linked as pkg-config says
  cc -std=c11 -Wall -Wextra -Werror -pedantic "$1" -o "$2" $(pkg-config --cflags --libs kirune) \
     -Wl,-rpath,"$(pkg-config --variable=libdir kirune)"
}

cp "$source/samples/coffee-200.tif" a.tif
"$rpx" -q a.tif && "$rpx" -q -o tif a_49-2.rpx && "$rpx" -q --bmp -o bmp a_49-2.rpx
check "rpx made A and expanded it" test -s tif/a_49-2.tif -a -s bmp/a_49-2.bmp
convert tif/a_49-2.tif -depth 16 -endian LSB rgb:a16.raw  # the samples as they are
check "the test program builds as C11 through pkg-config" build_c "$here/api_round_trip.c" round_trip
mkdir out tmp
export TMPDIR=$work/tmp
check "the round trip and its error paths" sanitized LEAKS ./round_trip a_49-2.rpx a16.raw out

# B.rpx holds A's pixels and metadata; rpx compressing the TIFF of those
# pixels writes the same header and strips (trailers may differ in the
# records that name the source file).
body() { python3 - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
n = struct.unpack('<Q', data[-32:-24])[0] if data[-8:] == b'RPXTRAIL' else 0
sys.stdout.buffer.write(data[:len(data) - n])
PY
}
same_body() { test -s "$1" -a -s "$2" && cmp <(body "$1") <(body "$2") > /dev/null; }
"$rpx" -q -o again tif/a_49-2.tif
check "encoding from a buffer writes rpx's container bytes (16-bit)" same_body out/B.rpx again/a_49-2_49-2.rpx
"$rpx" -q -o again8 bmp/a_49-2.bmp
check "... and from 8-bit samples as rpx from the BMP of them" same_body out/B8.rpx again8/a_49-2_49-2.rpx
check "... leaving no temporary file behind" \
  test -z "$(ls -A tmp)" -a "$(ls -A out/files | tr '\n' ' ')" = "a_49-2.bmp a_49-2.rpx "
check "a file compressed through the library is rpx's" same_body out/files/a_49-2.rpx a_49-2.rpx
check "... and expanded, rpx's BMP" cmp -s out/files/a_49-2.bmp bmp/a_49-2.bmp

# The README's example, as it stands there.
sed -n '/^<!-- c-example -->$/,/^```$/p' "$source/README.md" | sed '1,2d;$d' > example.c
check "the README's C example is there" test -s example.c
build_c example.c example && sanitized LEAKS ./example a_49-2.rpx > example.out
check "the README's C example builds and runs" test $? -eq 0 -a -s example.out

# CMake's package: an imported target that links.
mkdir -p pkg && cat > pkg/CMakeLists.txt <<'CM'
cmake_minimum_required(VERSION 3.25)
project(use_kirune C)
find_package(Kirune 1 REQUIRED)
add_executable(example example.c)
target_link_libraries(example PRIVATE kirune::kirune)
CM
cp example.c pkg/
"$cmake" -S pkg -B pkg/build -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_RPATH="$(pkg-config --variable=libdir kirune)" \
  > pkg.log 2>&1 && "$cmake" --build pkg/build >> pkg.log 2>&1 && sanitized pkg/build/example a_49-2.rpx > /dev/null
check "find_package(Kirune) gives kirune::kirune" test $? -eq 0 || cat pkg.log

finish
