#!/usr/bin/env python3
"""Small uncompressed 16-bit RGB TIFFs: tiny_tiff.py WIDTH HEIGHT SEED OUT.tif... (seed + i for each file)."""
import random
import struct
import sys


def tiff_bytes(width, height, seed):
    rng = random.Random(seed)
    pixels = b"".join(struct.pack("<H", (x * 4000 + y * 3000 + c * 9000 + rng.randrange(2000)) % 65536)
                      for y in range(height) for x in range(width) for c in range(3))
    data = 8 + 2 + 12 * 10 + 4 + 6  # header, directory, then the three bits-per-sample values
    tags = [(256, 3, width), (257, 3, height), (258, 4, data - 6), (259, 3, 1), (262, 3, 2), (273, 4, data),
            (277, 3, 3), (278, 3, height), (279, 4, len(pixels)), (284, 3, 1)]
    out = b"II*\x00" + struct.pack("<IH", 8, len(tags))
    for tag, kind, value in tags:  # 258 is SHORT x 3 at an offset
        out += struct.pack("<HHI", tag, 3 if tag == 258 else kind, 3 if tag == 258 else 1)
        out += struct.pack("<HH", value, 0) if kind == 3 else struct.pack("<I", value)
    return out + struct.pack("<I3H", 0, 16, 16, 16) + pixels


if __name__ == "__main__":
    width, height, seed = map(int, sys.argv[1:4])
    for i, path in enumerate(sys.argv[4:]):
        with open(path, "wb") as f:
            f.write(tiff_bytes(width, height, seed + i))
