#!/usr/bin/env python3
"""Turns the demo's BMP files into the PNG pictures of the README and the guide, and checks them.

    bmp_to_png.py IN.bmp OUT.png [--scale N]    write OUT.png, each pixel as N by N (default 4)
    bmp_to_png.py --check IN.bmp OUT.png [--scale N]
                                                exit 1 unless OUT.png shows IN.bmp at that scale

Reads uncompressed 8-bit (through the colour table) and 24-bit BMP files, bottom-up or
top-down, and PNG files of every colour type that is not interlaced (to check). Uses only the
standard library.
"""

import argparse
import struct
import sys
import zlib

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


class Picture:
    """Pixels as rows of (red, green, blue) tuples, from the top row down."""

    def __init__(self, width, height, rows):
        self.width = width
        self.height = height
        self.rows = rows

    def scaled(self, scale):
        rows = []
        for row in self.rows:
            wide = [pixel for pixel in row for _ in range(scale)]
            rows.extend(list(wide) for _ in range(scale))
        return Picture(self.width * scale, self.height * scale, rows)


def read_bmp(path):
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 54 or data[0:2] != b"BM":
        raise ValueError(f"{path}: not a BMP file")
    offset, = struct.unpack_from("<I", data, 10)
    info_size, width, height = struct.unpack_from("<Iii", data, 14)
    bits, compression = struct.unpack_from("<HI", data, 28)
    if compression != 0 or bits not in (8, 24):
        raise ValueError(f"{path}: only uncompressed 8-bit and 24-bit files are read")
    top_down = height < 0
    height = abs(height)
    bytes_per_pixel = bits // 8
    stride = (width * bytes_per_pixel + 3) // 4 * 4
    palette = []
    if bits == 8:
        table = 14 + info_size
        for at in range(table, offset, 4):
            blue, green, red = data[at], data[at + 1], data[at + 2]
            palette.append((red, green, blue))
    rows = []
    for y in range(height):
        stored = y if top_down else height - 1 - y
        start = offset + stored * stride
        row = []
        for x in range(width):
            at = start + x * bytes_per_pixel
            if bits == 8:
                index = data[at]
                row.append(palette[index] if index < len(palette) else (0, 0, 0))
            else:
                row.append((data[at + 2], data[at + 1], data[at]))
        rows.append(row)
    return Picture(width, height, rows)


def chunk(kind, body):
    crc = zlib.crc32(kind + body) & 0xFFFFFFFF
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", crc)


def png_bytes(picture):
    """An 8-bit RGB PNG, no interlace, every row with filter 0."""
    header = struct.pack(">IIBBBBB", picture.width, picture.height, 8, 2, 0, 0, 0)
    raw = bytearray()
    for row in picture.rows:
        raw.append(0)
        for red, green, blue in row:
            raw += bytes((red, green, blue))
    return (PNG_SIGNATURE + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(bytes(raw), 9))
            + chunk(b"IEND", b""))


def write_png(path, picture):
    with open(path, "wb") as f:
        f.write(png_bytes(picture))


def paeth(left, up, up_left):
    estimate = left + up - up_left
    distances = (abs(estimate - left), abs(estimate - up), abs(estimate - up_left))
    if distances[0] <= distances[1] and distances[0] <= distances[2]:
        return left
    return up if distances[1] <= distances[2] else up_left


def read_png(path):
    """Reads a non-interlaced PNG of any colour type (grey, RGB, palette, with or without alpha,
    which is dropped) at 8 bits or fewer per sample, or 16 (whose low byte is dropped), any
    filters, checking every chunk's CRC."""
    with open(path, "rb") as f:
        data = f.read()
    if not data.startswith(PNG_SIGNATURE):
        raise ValueError(f"{path}: not a PNG file")
    at = len(PNG_SIGNATURE)
    header = None
    palette = []
    compressed = bytearray()
    while at < len(data):
        length, = struct.unpack_from(">I", data, at)
        kind = data[at + 4:at + 8]
        body = data[at + 8:at + 8 + length]
        crc, = struct.unpack_from(">I", data, at + 8 + length)
        if zlib.crc32(kind + body) & 0xFFFFFFFF != crc:
            raise ValueError(f"{path}: bad CRC in chunk {kind!r}")
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"PLTE":
            palette = [tuple(body[i:i + 3]) for i in range(0, len(body), 3)]
        elif kind == b"IDAT":
            compressed += body
        elif kind == b"IEND":
            break
        at += 12 + length
    channels_of = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}
    if header is None or header[3] not in channels_of or header[6] != 0:
        raise ValueError(f"{path}: only PNGs without interlace are read")
    width, height, depth, colour_type = header[:4]
    channels = channels_of[colour_type]
    bits = channels * depth
    row_bytes = (width * bits + 7) // 8
    step = max(1, bits // 8)  # the filters' distance to the byte on the left
    raw = zlib.decompress(bytes(compressed))
    previous = bytearray(row_bytes)
    rows = []
    for y in range(height):
        start = y * (row_bytes + 1)
        kind = raw[start]
        line = bytearray(raw[start + 1:start + 1 + row_bytes])
        for i in range(row_bytes):
            left = line[i - step] if i >= step else 0
            up = previous[i]
            up_left = previous[i - step] if i >= step else 0
            predictor = (0, left, up, (left + up) // 2, paeth(left, up, up_left))[kind]
            line[i] = (line[i] + predictor) & 0xFF
        previous = line

        def sample(x, channel):
            if depth == 16:
                return line[(x * channels + channel) * 2]
            if depth == 8:
                return line[x * channels + channel]
            at_bit = x * depth
            value = (line[at_bit // 8] >> (8 - depth - at_bit % 8)) & ((1 << depth) - 1)
            return value if colour_type == 3 else value * 255 // ((1 << depth) - 1)

        row = []
        for x in range(width):
            if colour_type == 3:
                row.append(palette[sample(x, 0)])
            elif colour_type in (0, 4):
                row.append((sample(x, 0),) * 3)
            else:
                row.append((sample(x, 0), sample(x, 1), sample(x, 2)))
        rows.append(row)
    return Picture(width, height, rows)


def shows(png_path, bmp_path, scale):
    """True when the PNG is the BMP with each pixel drawn as scale by scale."""
    expected = read_bmp(bmp_path).scaled(scale)
    actual = read_png(png_path)
    return (actual.width, actual.height, actual.rows) == (
        expected.width, expected.height, expected.rows)


def main(arguments):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true",
                        help="check that PNG shows BMP instead of writing it")
    parser.add_argument("--scale", type=int, default=4)
    parser.add_argument("bmp")
    parser.add_argument("png")
    options = parser.parse_args(arguments)
    if options.check:
        if not shows(options.png, options.bmp, options.scale):
            print(f"{options.png} does not show {options.bmp} at scale {options.scale}",
                  file=sys.stderr)
            return 1
        return 0
    write_png(options.png, read_bmp(options.bmp).scaled(options.scale))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
