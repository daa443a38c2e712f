#!/usr/bin/env python3
"""Writes small uncompressed 16-bit RGB TIFFs for the command-line tests:
tiny_tiff.py WIDTH HEIGHT SEED OUT.tif... (each file's pixels differ by seed)."""
import random
import struct
import sys


def tiff_bytes(width, height, seed):
    rng = random.Random(seed)
    pixels = bytearray()
    for y in range(height):
        for x in range(width):
            for c in range(3):
                v = (x * 4000 + y * 3000 + c * 9000 + rng.randrange(2000)) % 65536
                pixels += struct.pack('<H', v)
    entries = [  # tag, type, count, value
        (256, 3, 1, width), (257, 3, 1, height), (258, 3, 3, None), (259, 3, 1, 1), (262, 3, 1, 2),
        (273, 4, 1, None), (277, 3, 1, 3), (278, 3, 1, height), (279, 4, 1, len(pixels)), (284, 3, 1, 1),
    ]
    ifd_offset = 8
    ifd_size = 2 + 12 * len(entries) + 4
    bits_offset = ifd_offset + ifd_size
    data_offset = bits_offset + 6
    out = bytearray(b'II*\x00' + struct.pack('<I', ifd_offset))
    out += struct.pack('<H', len(entries))
    for tag, kind, count, value in entries:
        if tag == 258:
            out += struct.pack('<HHII', tag, kind, count, bits_offset)
        elif tag == 273:
            out += struct.pack('<HHII', tag, kind, count, data_offset)
        elif kind == 3:
            out += struct.pack('<HHIHH', tag, kind, count, value, 0)
        else:
            out += struct.pack('<HHII', tag, kind, count, value)
    out += struct.pack('<I', 0)
    out += struct.pack('<HHH', 16, 16, 16)
    return bytes(out + pixels)


def main():
    width, height, seed = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
    for i, path in enumerate(sys.argv[4:]):
        with open(path, 'wb') as f:
            f.write(tiff_bytes(width, height, seed + i))


if __name__ == '__main__':
    main()
