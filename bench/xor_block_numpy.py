#!/usr/bin/env python3
"""XORs the top-left WIDTH x HEIGHT block of the patch bitmap into the base bitmap and writes the
result, as a short numpy script would: both files read whole, one sliced XOR, one write.

The benchmarks run it beside tilegraft doing the same work (`merge pixels ^ 0 0 0 0 W H`), and
check that both write the same bytes.

Usage: xor_block_numpy.py BASE PATCH WIDTH HEIGHT OUTPUT
"""
import struct
import sys

import numpy


def pixel_rows(image):
    """The rows of the pixel array of an uncompressed BMP held whole, top row first."""
    offset, = struct.unpack_from("<i", image, 10)
    width, height = struct.unpack_from("<ii", image, 18)
    bits, = struct.unpack_from("<H", image, 28)
    stride = (width * bits // 8 + 3) // 4 * 4
    return image[offset:offset + stride * height].reshape(height, stride)[::-1], bits // 8


def main():
    if len(sys.argv) != 6:
        sys.exit(__doc__.strip())
    base = numpy.fromfile(sys.argv[1], dtype=numpy.uint8)
    patch = numpy.fromfile(sys.argv[2], dtype=numpy.uint8)
    width, height = int(sys.argv[3]), int(sys.argv[4])
    base_rows, bytes_per_pixel = pixel_rows(base)
    patch_rows, _ = pixel_rows(patch)
    row_bytes = width * bytes_per_pixel
    base_rows[:height, :row_bytes] ^= patch_rows[:height, :row_bytes]
    base.tofile(sys.argv[5])


if __name__ == "__main__":
    main()
