#!/usr/bin/env python3
"""Draws the programs' icons and writes them as .ico files (16, 24, 32 and
48 pixels, 32-bit with alpha), so that no binary image lives in the sources.

  make_icon.py OUT.ico client|builder
"""
import struct
import sys


def pixel(kind, x, y, n):
    """BGRA of one pixel; coordinates from the top left, 0..1."""
    u, v = (x + 0.5) / n, (y + 0.5) / n
    r = 0.18  # corner radius of the tile
    dx = max(r - u, 0, u - (1 - r))
    dy = max(r - v, 0, v - (1 - r))
    if dx * dx + dy * dy > r * r:
        return (0, 0, 0, 0)
    base = (176, 96, 24) if kind == "client" else (60, 140, 40)  # BGR
    shade = 1.0 - 0.35 * v
    b, g, rr = (int(c * shade) for c in base)
    white = (255, 255, 255, 255)
    if kind == "client":
        # A downward arrow.
        if 0.42 <= u <= 0.58 and 0.18 <= v <= 0.55:
            return white
        if 0.55 <= v <= 0.80 and abs(u - 0.5) <= (0.80 - v) * 1.05:
            return white
    else:
        # A parcel: a box with a band.
        if 0.22 <= u <= 0.78 and 0.30 <= v <= 0.78:
            if abs(u - 0.5) < 0.06 or abs(v - 0.45) < 0.05:
                return (40, 200, 250, 255)
            return white
    return (b, g, rr, 255)


def image(kind, n):
    rows = []
    for y in range(n - 1, -1, -1):  # bottom-up
        rows.append(b"".join(bytes(pixel(kind, x, y, n)) for x in range(n)))
    xor = b"".join(rows)
    and_row = ((n + 31) // 32) * 4
    mask = bytes(and_row * n)
    header = struct.pack("<IiiHHIIiiII", 40, n, 2 * n, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    return header + xor + mask


def main():
    out, kind = sys.argv[1], sys.argv[2]
    sizes = [16, 24, 32, 48]
    images = [image(kind, n) for n in sizes]
    data = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for n, img in zip(sizes, images):
        data += struct.pack("<BBBBHHII", n, n, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    with open(out, "wb") as f:
        f.write(data + b"".join(images))


if __name__ == "__main__":
    main()
