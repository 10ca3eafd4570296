#!/usr/bin/env python3
"""Draws the package's icon: package/icon.png, 500 x 500 pixels.

Four lights hang from a truss over a dark stage, each throwing a beam of its own colour
onto the floor. Everything is drawn here from plain geometry (2 x 2 samples per pixel), with
no image library and no outside artwork; the output is the same bytes on every run. Run it from the repository root after changing the drawing:

    python3 tools/make-icon.py package/icon.png
"""
import math
import struct
import sys
import zlib

SIZE = 500
SAMPLES = ((0.25, 0.25), (0.75, 0.25), (0.25, 0.75), (0.75, 0.75))

TRUSS_TOP, TRUSS_BOTTOM = 64.0, 92.0
# Four fixtures hanging from the truss: centre x and beam colour.
FIXTURES = ((95.0, (235, 70, 60)), (205.0, (250, 190, 50)), (315.0, (70, 200, 120)), (425.0, (70, 140, 245)))
HEAD_Y, HEAD_RADIUS = 128.0, 30.0
FLOOR_Y = 420.0
POOL_HALF_WIDTH, POOL_HALF_HEIGHT = 62.0, 16.0
BEAM_HALF_WIDTH = 20.0


def blend(under, over, alpha):
    return tuple(u + (o - u) * alpha for u, o in zip(under, over))


def colour_at(x, y):
    # The stage: dark, a little lighter towards the floor.
    t = y / SIZE
    colour = (14 + 12 * t, 16 + 14 * t, 24 + 22 * t)
    if y > FLOOR_Y:
        colour = (30, 33, 44)
    for cx, beam in FIXTURES:
        # A beam widens from the lens down to its pool of light on the floor.
        if HEAD_Y < y < FLOOR_Y:
            spread = (y - HEAD_Y) / (FLOOR_Y - HEAD_Y)
            half = BEAM_HALF_WIDTH + (POOL_HALF_WIDTH - BEAM_HALF_WIDTH) * spread
            if abs(x - cx) < half:
                colour = blend(colour, beam, 0.55 - 0.25 * spread)
        dx, dy = (x - cx) / POOL_HALF_WIDTH, (y - FLOOR_Y) / POOL_HALF_HEIGHT
        if dx * dx + dy * dy < 1.0:
            colour = blend(colour, beam, 0.85)
    # The truss with its diagonal bracing.
    if 24.0 < x < 476.0 and TRUSS_TOP < y < TRUSS_BOTTOM:
        colour = (150, 156, 170)
        inner = TRUSS_TOP + 5.0 < y < TRUSS_BOTTOM - 5.0
        phase = (x - 24.0 + (y - TRUSS_TOP)) % 28.0
        if inner and not (phase < 5.0 or (x - 24.0 - (y - TRUSS_TOP)) % 28.0 < 5.0):
            colour = (40, 44, 56)
    for cx, beam in FIXTURES:
        # The clamp, the head and its lit lens.
        if abs(x - cx) < 6.0 and TRUSS_BOTTOM <= y < HEAD_Y:
            colour = (120, 126, 140)
        d = math.hypot(x - cx, y - HEAD_Y)
        if d < HEAD_RADIUS:
            colour = (60, 64, 78) if d > HEAD_RADIUS - 4.0 else (28, 30, 38)
        if d < HEAD_RADIUS - 10.0:
            colour = blend(beam, (255, 255, 255), 0.55)
    return colour


def png(width, height, rows):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)  # 8-bit RGB
    raw = b"".join(b"\x00" + row for row in rows)
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make-icon.py OUTPUT.png")
    rows = []
    for py in range(SIZE):
        row = bytearray()
        for px in range(SIZE):
            total = [0.0, 0.0, 0.0]
            for sx, sy in SAMPLES:
                c = colour_at(px + sx, py + sy)
                total = [a + b for a, b in zip(total, c)]
            row.extend(int(round(v / len(SAMPLES))) for v in total)
        rows.append(bytes(row))
    with open(sys.argv[1], "wb") as out:
        out.write(png(SIZE, SIZE, rows))


if __name__ == "__main__":
    main()
