#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets: small bitmaps, valid and broken, scripts that use
every command, and merge lines for the comparison with the reference. Run it from anywhere; it rewrites fuzz/corpus/ beside itself."""

import pathlib
import struct
import zlib

HERE = pathlib.Path(__file__).resolve().parent


def bitmap(width, height, bits, *, offset=None, compression=0, info_size=40, table=None,
           extra=b"", seed=0):
    """A BMP file: 14-byte file header, info header, colour table (8 bits), padded rows."""
    if table is None:
        table = 256 if bits == 8 else 0
    stride = (abs(width) * max(bits, 8) // 8 + 3) // 4 * 4
    pixel_start = 14 + info_size + table * 4
    pixels = bytes((i * 37 + seed * 101 + 11) & 0xFF for i in range(stride * abs(height)))
    info = struct.pack("<IiiHHIIiiII", info_size, width, height, 1, bits, compression,
                       len(pixels), 2835, 2835, table, 0)
    info += bytes(info_size - len(info))
    colours = b"".join(bytes((i, 255 - i, i ^ 0x5A, 0)) for i in range(table))
    body = info + colours + pixels + extra
    header = b"BM" + struct.pack("<IHHi", 14 + len(body), 0, 0,
                                 pixel_start if offset is None else offset)
    return header + body


def patch(data, offset, fmt, value):
    data = bytearray(data)
    struct.pack_into(fmt, data, offset, value)
    return bytes(data)


BITMAPS = {
    "valid-24-3x2": bitmap(3, 2, 24),
    "valid-24-5x4": bitmap(5, 4, 24, seed=3),
    "valid-8-5x3": bitmap(5, 3, 8, table=16),
    "valid-8-full-table": bitmap(4, 4, 8),
    "trailing-bytes": bitmap(2, 2, 24, extra=b"\xa0\xa3\xa6\xa9 tail"),
    "info-header-108": bitmap(3, 3, 24, info_size=108),
    "top-down": bitmap(4, -3, 24),
    "offset-into-header": bitmap(4, 2, 24, offset=20),
    "one-byte-short": bitmap(3, 2, 24)[:-1],
    "53-bytes": bitmap(3, 2, 24)[:53],
    "compressed-rle8": bitmap(4, 2, 8, compression=1, table=4),
    "32-bit": bitmap(2, 2, 32),
    "not-a-bitmap": b"GIF89a" + bytes(60),
    "negative-offset": bitmap(2, 2, 24, offset=-8),
    "width-overflow": patch(bitmap(2, 2, 24), 18, "<i", 0x7FFFFFFF),
    "height-overflow": patch(bitmap(4, 1, 8, table=0), 22, "<i", 0x40000001),
    "offset-overflow": bitmap(1, 1, 24, offset=0x7FFFFFFC),
    "zero-width": patch(bitmap(2, 2, 8, table=0), 18, "<i", 0),
}

def png(width, height, colour, depth, *, interlace=0, palette=0, chunks=(), after=()):
    """A PNG file of a pattern: the header, chunks before the palette, the palette, the image
    data (rows of filter 0, in the seven passes of an interlaced file), then chunks after it."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data)))
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[colour]
    passes = ([(0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2),
               (0, 1, 1, 2)] if interlace else [(0, 0, 1, 1)])
    raw = b""
    for x0, y0, dx, dy in passes:
        w, h = (width - x0 + dx - 1) // dx, (height - y0 + dy - 1) // dy
        row = (w * channels * depth + 7) // 8
        raw += b"" if w == 0 else b"".join(
            b"\0" + bytes((x * 29 + y * 7) & 0xFF for x in range(row)) for y in range(h))
    body = chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0, interlace))
    body += b"".join(chunk(k, d) for k, d in chunks)
    if palette:
        body += chunk(b"PLTE", bytes((i * 3 + c * 80) & 0xFF for i in range(palette)
                                     for c in range(3)))
    body += chunk(b"IDAT", zlib.compress(raw))
    body += b"".join(chunk(k, d) for k, d in after)
    return b"\x89PNG\r\n\x1a\n" + body + chunk(b"IEND", b"")


TEXT = (b"tEXt", b"Title\0tiles")
PNGS = {
    "palette-1": png(13, 3, 3, 1, palette=2, chunks=[TEXT]),
    "palette-2-text-after": png(7, 4, 3, 2, palette=4, after=[TEXT]),
    "rgb-trns": png(4, 4, 2, 8, chunks=[(b"tRNS", bytes(6))]),
    "palette-4": png(9, 5, 3, 4, palette=16, after=[TEXT]),
    "palette-stray-after": png(5, 2, 3, 8, palette=3, after=[(b"PLTE", bytes(6)), TEXT]),
    "palette-8": png(6, 6, 3, 8, palette=256),
    "grey-8": png(5, 3, 0, 8),
    "grey-2": png(11, 2, 0, 2),
    "rgb-8": png(4, 3, 2, 8, chunks=[(b"pHYs", bytes(9))]),
    "rgba-8": png(3, 5, 6, 8),
    "rgb-16": png(2, 2, 2, 16),
    "grey-alpha": png(2, 2, 4, 8),
    "interlaced": png(9, 9, 2, 8, interlace=1),
    "cut-short": png(8, 8, 2, 8)[:70],
}

SCRIPTS = {
    # The first byte chooses the bitmaps: 0 an 8-bit a.bmp and a 24-bit b.bmp, 1 both 8-bit,
    # 2 both 24-bit.
    "load-save": "2load base a.bmp\nload patch b.bmp\nsave out.bmp\nsave a.bmp\n",
    "merge-pixels": "2load base a.bmp\nload patch b.bmp\nmerge pixels = 1 1 0 0 2 2\n"
                    "<p ^ 0 0 1 0 1 1 3 2\n<P & 2\nsave out.bmp\n",
    "merge-tiles": "1LOAD BASE a.bmp\nload patch b.bmp\ntilesize 2 1\n"
                   "tilespecs base 1 0 1 0 0 0\n<t | 0 0 0 0 2 2 1 1\nsave out.bmp\n",
    "tile-layouts": "1load base a.bmp\nload patch b.bmp\ntilesize 2\n"
                    "tilespecs base 0 0 -1 -1 -1 -1\ntilespecs patch 0 0 -1 -1 -1 -1\n"
                    "<t ^ 0 0 0 0 2147483647 2147483647 2147483647 2147483647\n",
    "huge-repeats": "2load base a.bmp\nload patch b.bmp\n"
                    "<p ^ 1 1 1 1 0 0 2147483647 2147483647\n"
                    "<p = 0 0 0 0 1 0 2147483647 -5\n",
    "incompatible": "0load base a.bmp\nload patch b.bmp\nmerge tiles = 0 0\n",
    "not-loaded": "1merge pixels = 0 0\nsave never.bmp\n",
    "errors": "1tilesize big\n",
    "bad-operator": "1load base a.bmp\nload patch b.bmp\nmerge pixels == 1 1\n",
    "comments-and-echo": "1// a comment\n\n   \t\necho   Hello   World  // note\n"
                         "echo\r\nload base a.bmp//b.bmp\n",
    "numbers": "1load base a.bmp\nload patch b.bmp\ntilesize 1,2\n"
               "merge pixels | -1 +2 0x10 99999999999999999999 -2147483648 7 1 1\n",
    "missing-file": "1load patch nothing.bmp\n",
    "negative-counts": "1load base a.bmp\nload patch b.bmp\ntilespecs base 0 0 1 0 0 0\n"
                       "<t = 2 2 1 1 -3 1 2147483647 2147483647\n"
                       "<t = 1 1 0 0 1 -3 2147483647 2147483647\n",
}


def run_input(kinds, script, *, check=False, plan=False, third=None):
    """The bytes that fuzz_script reads: the first byte chooses the bitmaps' kinds (0 an 8-bit
    a.bmp and a 24-bit b.bmp, 1 both 8-bit, 2 both 24-bit) and the run (a check run, one that
    draws a plan, a third file c.bmp given before the script), the rest is the script. Without
    any of those choices the first byte is the digit of the kinds, as in SCRIPTS."""
    flags = 16 | (1 if check else 0) | (2 if plan else 0) | (4 if third is not None else 0)
    data = bytes([3 * flags + kinds])
    if third is not None:
        data += struct.pack("<H", len(third)) + third
    return data + script.encode()


def builder_table(seed):
    """The colour table of the test suite's BmpBuilder with this seed (a.bmp has seed 1)."""
    return b"".join(bytes(((i + seed * 29) & 0xFF, (255 - i - seed * 29) & 0xFF,
                           ((i + seed * 29) ^ (0x5A + seed)) & 0xFF, 0)) for i in range(256))


# A 100-byte 8-bit file, stored top-down, whose colour table would run to its pixel offset at
# 1078, far past its end; its first 46 table bytes are those of a.bmp, so that a comparison of
# the two tables goes on past the file's end. The negative height keeps the pixel array's end
# inside the file, so it loads.
PAST_END = patch(patch(patch(bitmap(4, 1, 8, table=0)[:54], 2, "<I", 100), 10, "<i", 1078),
                 22, "<i", -245) + builder_table(1)[:46]
assert len(PAST_END) == 100

RUNS = {
    "check-merges": run_input(1, "load base a.bmp\nload patch b.bmp\ntilesize 1 2\n"
                                 "<t ^ 0 0 0 0 2 1\n<p = 1 1 0 0 2 2 2 1\nsave out.bmp\n",
                              check=True),
    "check-warnings": run_input(2, "load base a.bmp\nload base b.bmp\nload patch a.bmp\n"
                                   "<t = 0 0 0 0 1 1 0 0\n<p | 9 9\n", check=True),
    "plan-merges": run_input(0, "load base b.bmp\nload patch b.bmp\ntilesize 2\n"
                                "tilespecs base 1 0 1 0 0 0\n<t | 0 0 0 0 1 1 2 1\n"
                                "<p ^ 1 0 0 1 1 1\nsave out.bmp\n", plan=True),
    "plan-third-file": run_input(1, "load base c.bmp\nload patch a.bmp\n<p = 1 1 0 0 2 2\n",
                                 plan=True, third=bitmap(5, 3, 8, table=16)),
    "check-top-down-past-end": run_input(1, "load base a.bmp\nload patch c.bmp\n"
                                            "<p = 0 0 0 0 1 1 0 0\n", check=True,
                                         third=PAST_END),
    "plan-tile-set": run_input(1, "load patch b.bmp\nflip patch\nnew base 9 7 3\nkey patch 1\n"
                                  "tilesize 2\ntilespecs base 0 0 1 1 1 1\n<t ~ 0 0 0 0 2 1\n"
                                  "extrude base 1\nmirror base\nsave out.bmp\n", plan=True),
    # Overlapping cells and counts near 2^31: the warning's measure of work is beyond any integer.
    "check-work-beyond-integers": run_input(2, "load base a.bmp\nload patch b.bmp\ntilesize 2\n"
                                               "tilespecs base 0 0 -1 -1\n"
                                               "<t ^ 0 0 0 0 2147483647 2147483647 "
                                               "2147483647 2147483647\n", check=True),
}

def merge_case(bits, base, patch, tile, layouts, tiles, operator, numbers, patch_tile=None,
               after=()):
    """The bytes that fuzz_merge reads: depth, sizes, tile size, two layouts (origin x, border
    before x, border after x, origin y, border before y, border after y; each border is the byte's
    value divided by 3) and the merge line. Numbers are -4 to 11. After them: the key byte (a
    pixel of the patch; 0 for no key), the tile operation (1 extrude, 2 mirror, 3 flip; plus 4
    for the whole bitmap) and the extrusion."""

    def small(value):
        assert -4 <= value <= 11
        return value + 4

    data = [0 if bits == 8 else 1, base[0] - 1, base[1] - 1, patch[0] - 1, patch[1] - 1,
            small(tile[0]), small(tile[1]), 0 if patch_tile else 255]
    for index, layout in enumerate(layouts):
        if index == 1 and patch_tile:
            data += [small(patch_tile[0]), small(patch_tile[1])]
        x_origin, x_before, x_after, y_origin, y_before, y_after = layout
        data += [small(x_origin), small(x_before * 3), small(x_after * 3),
                 small(y_origin), small(y_before * 3), small(y_after * 3)]
    data += [1 if tiles else 0, "=&|^~".index(operator)] + [small(n) for n in numbers]
    return bytes(data + list(after))


PLAIN = (0, 0, 0, 0, 0, 0)
PITCH_ZERO = (1, -1, -1, 1, -1, -1)
MERGES = {
    "pixels-repeated": merge_case(24, (5, 4), (4, 3), (1, 1), (PLAIN, PLAIN), False, "=",
                                  (1, 1, 0, 0, 2, 2, 2, 1)),
    "tiles-coalesced": merge_case(8, (9, 6), (7, 5), (2, 2), (PLAIN, PLAIN), True, "^",
                                  (0, 1, 1, 0, 2, 1, 1, 2)),
    "tiles-pitch-zero": merge_case(24, (6, 6), (6, 6), (2, 2), (PITCH_ZERO, PITCH_ZERO), True,
                                   "^", (0, 0, 0, 0, 3, 3, 3, 2)),
    "tiles-bordered-across": merge_case(8, (9, 9), (9, 9), (2, 3), ((1, 1, 0, 0, 0, 0), PLAIN),
                                        True, "|", (0, 0, 0, 0, 3, 2, 1, 1)),
    "tile-sizes-differ": merge_case(24, (4, 4), (4, 4), (2, 2), (PLAIN, PLAIN), True, "&",
                                    (0, 0, 0, 0, 1, 1, 1, 1), patch_tile=(1, 2)),
    "negative-width": merge_case(8, (7, 3), (5, 5), (1, 1), (PLAIN, PLAIN), False, "=",
                                 (4, 1, 3, 2, -2, 1, 3, 1)),
    "keyed-then-extruded": merge_case(24, (9, 9), (6, 6), (2, 2), ((0, 1, 1, 0, 1, 1), PLAIN),
                                      True, "~", (0, 0, 0, 0, 2, 2, 1, 1), after=(17, 1, 5)),
    "mirrored-whole": merge_case(8, (7, 3), (5, 5), (1, 1), (PLAIN, PLAIN), False, "~",
                                 (1, 0, 0, 0, 2, 2, 1, 1), after=(0, 6, 4)),
    # A finding of the fuzzer, kept as it was found.
    "negative-run-of-negative-tiles": bytes.fromhex(
        "010505056363636363636363636363636363636363636363636363630506"
        "06ff05f70015010105010101185b011304040404cc070706"),
}


def main():
    for kind, files in (("bitmap", BITMAPS), ("script", {**SCRIPTS, **RUNS}), ("merge", MERGES),
                        ("png", PNGS)):
        directory = HERE / "corpus" / kind
        directory.mkdir(parents=True, exist_ok=True)
        for old in directory.iterdir():
            old.unlink()
        for name, content in files.items():
            data = content.encode() if isinstance(content, str) else content
            assert len(data) <= 2048, name
            (directory / name).write_bytes(data)


if __name__ == "__main__":
    main()
