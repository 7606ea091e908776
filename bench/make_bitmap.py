#!/usr/bin/env python3
"""Writes an uncompressed 8-bit or 24-bit BMP of pseudo-random pixels for the benchmarks.

Usage: make_bitmap.py WIDTH HEIGHT BITS SEED OUTPUT [KEY]
  KEY, bytes of one pixel such as 255,0,255, is written over a third of the pixels, in squares
  of 16 x 16 pixels, as the background of sprites: a patch for the keyed copy.
"""
import random
import struct
import sys

CHUNK = 64 << 20


def main():
    if len(sys.argv) not in (6, 7):
        sys.exit(__doc__.strip())
    width, height, bits, seed = (int(word) for word in sys.argv[1:5])
    if bits not in (8, 24):
        sys.exit("BITS must be 8 or 24")
    key = bytes(int(word) for word in sys.argv[6].split(",")) if len(sys.argv) == 7 else None
    if key is not None and len(key) != bits // 8:
        sys.exit("KEY must have one number per byte of a pixel")
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
        if key is not None:
            write_keyed_rows(output, generator, width, height, stride, key)
            return
        # In pieces, so that a bitmap of 2 GiB does not need twice that in memory.
        for start in range(0, pixel_bytes, CHUNK):
            output.write(generator.randbytes(min(CHUNK, pixel_bytes - start)))


def write_keyed_rows(output, generator, width, height, stride, key):
    """Random rows with the key over the squares whose (x // 16 + y // 16) % 3 is 0."""
    square = key * 16
    for y in range(height):
        row = bytearray(generator.randbytes(stride))
        for x in range(0, width, 16):
            if (x // 16 + y // 16) % 3 == 0:
                end = min(x + 16, width)
                row[x * len(key):end * len(key)] = square[:(end - x) * len(key)]
        output.write(row)


if __name__ == "__main__":
    main()
