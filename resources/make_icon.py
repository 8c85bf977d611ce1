#!/usr/bin/env python3
"""Draws Kestrova's icon (a listing page under a lens on a dark blue-grey tile)
and writes it as a Windows .ico with 16, 32 and 48 pixel images.

    python3 resources/make_icon.py resources/Kestrova.ico
"""
import struct
import sys

TILE = (0x1F, 0x28, 0x33)
TILE_EDGE = (0x3C, 0x4A, 0x5A)
PAGE = (0xE6, 0xED, 0xF3)
LINE = (0x5D, 0x7F, 0xA0)
LENS = (0x5D, 0xA9, 0xF0)
HANDLE = (0xC8, 0x9B, 0x3C)


def shape(x, y):
    """Colour and coverage of one point in the unit square, or None."""
    # Lens ring and handle sit on top of the page.
    cx, cy, r = 0.64, 0.62, 0.17
    d = ((x - cx) ** 2 + (y - cy) ** 2) ** 0.5
    if r - 0.055 <= d <= r:
        return LENS
    hx, hy = x - cx, y - cy
    along = (hx + hy) / 2 ** 0.5
    across = abs(hx - hy) / 2 ** 0.5
    if r <= along <= r + 0.17 and across <= 0.045:
        return HANDLE
    if d < r - 0.055:
        # Seen through the lens: the page, slightly tinted.
        if 0.2 <= x <= 0.72 and 0.14 <= y <= 0.86:
            return (0xCF, 0xE3, 0xF6)
    # The page with its listing lines.
    if 0.2 <= x <= 0.72 and 0.14 <= y <= 0.86:
        if 0.28 <= x <= 0.62 and any(abs(y - ly) <= 0.025 for ly in (0.27, 0.37, 0.47)):
            return LINE
        return PAGE
    # Rounded tile.
    m, rr = 0.04, 0.16
    qx = max(m + rr - x, x - (1 - m - rr), 0)
    qy = max(m + rr - y, y - (1 - m - rr), 0)
    if m <= x <= 1 - m and m <= y <= 1 - m and qx * qx + qy * qy <= rr * rr:
        inner = qx * qx + qy * qy <= (rr - 0.03) ** 2 and 0.07 <= x <= 0.93 and 0.07 <= y <= 0.93
        return TILE if inner else TILE_EDGE
    return None


def render(size, samples=4):
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0, 0, 0]
            hits = 0
            for sy in range(samples):
                for sx in range(samples):
                    c = shape((px + (sx + 0.5) / samples) / size, (py + (sy + 0.5) / samples) / size)
                    if c:
                        hits += 1
                        for i in range(3):
                            acc[i] += c[i]
            n = samples * samples
            if hits:
                row.append(tuple(a // hits for a in acc) + (255 * hits // n,))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def dib(size):
    pixels = render(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    body = bytearray()
    for row in reversed(pixels):  # bottom-up
        for r, g, b, a in row:
            body += bytes((b, g, r, a))
    mask_row = ((size + 31) // 32) * 4
    body += bytes(mask_row * size)  # alpha carries the shape; the AND mask stays clear
    return header + bytes(body)


def main(path):
    sizes = (16, 32, 48)
    images = [dib(s) for s in sizes]
    out = bytearray(struct.pack("<HHH", 0, 1, len(sizes)))
    offset = 6 + 16 * len(sizes)
    for s, img in zip(sizes, images):
        out += struct.pack("<BBBBHHII", s, s, 0, 0, 1, 32, len(img), offset)
        offset += len(img)
    for img in images:
        out += img
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "Kestrova.ico")
