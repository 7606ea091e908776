#!/usr/bin/env python3
"""Writes an uncompressed 8-bit or 24-bit BMP of pseudo-random pixels for the benchmarks.

Usage: make_bitmap.py WIDTH HEIGHT BITS SEED OUTPUT
"""
import random
import struct
import sys

CHUNK = 64 << 20


def main():
    if len(sys.argv) != 6:
        sys.exit(__doc__.strip())
    width, height, bits, seed = (int(word) for word in sys.argv[1:5])
    if bits not in (8, 24):
        sys.exit("BITS must be 8 or 24")
    table = bytes(b for i in range(256) for b in (i, i, i, 0)) if bits == 8 else b""
    offset = 14 + 40 + len(table)
    stride = (width * bits // 8 + 3) // 4 * 4
    pixel_bytes = stride * height
    file_header = struct.pack("<2sIHHI", b"BM", offset + pixel_bytes, 0, 0, offset)
    info_header = struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, 0, pixel_bytes,
                              2835, 2835, 256 if bits == 8 else 0, 0)
    generator = random.Random(seed)
    with open(sys.argv[5], "wb") as output:
        output.write(file_header + info_header + table)
        # In pieces, so that a bitmap of 2 GiB does not need twice that in memory.
        for start in range(0, pixel_bytes, CHUNK):
            output.write(generator.randbytes(min(CHUNK, pixel_bytes - start)))


if __name__ == "__main__":
    main()
