#!/usr/bin/env python3
"""Draws resources/image/close.png: a 24 x 24 RGBA grey (#adadad) "x" on a
transparent background. Uses only the standard library so it runs anywhere."""
import os
import struct
import zlib

SIZE = 24
GREY = (0xAD, 0xAD, 0xAD)
MARGIN = 6.5      # distance of the stroke ends from the border
HALF_WIDTH = 1.0  # half the stroke width, in pixels


def coverage(x, y):
    """Anti-aliased coverage of pixel (x, y) by the two diagonal strokes."""
    hits = 0
    samples = 4
    for sy in range(samples):
        for sx in range(samples):
            px = x + (sx + 0.5) / samples
            py = y + (sy + 0.5) / samples
            if not (MARGIN - HALF_WIDTH <= px <= SIZE - MARGIN + HALF_WIDTH
                    and MARGIN - HALF_WIDTH <= py <= SIZE - MARGIN + HALF_WIDTH):
                continue
            d1 = abs(px - py) / 2 ** 0.5
            d2 = abs(px + py - SIZE) / 2 ** 0.5
            if min(d1, d2) <= HALF_WIDTH:
                hits += 1
    return hits / (samples * samples)


def chunk(tag, data):
    body = tag + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def main():
    rows = bytearray()
    for y in range(SIZE):
        rows.append(0)  # filter type: none
        for x in range(SIZE):
            alpha = round(255 * coverage(x, y))
            rows.extend(GREY + (alpha,) if alpha else (0, 0, 0, 0))
    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(rows), 9))
    png += chunk(b"IEND", b"")
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "image", "close.png")
    with open(out, "wb") as f:
        f.write(png)


if __name__ == "__main__":
    main()
