#!/usr/bin/env python3
"""Draws the quorvel icon and writes quorvel.ico with nine images: 48, 32 and 16 pixels,
each in 16 colours, 256 colours and 24-bit colour, with a 1-bit transparency mask.

The picture: a data sheet with a folded corner and three record lines, and a green badge
with a white check mark for "repaired". Pure Python, no imaging library; the output is the
same byte for byte on every run.

Usage: make_icon.py [output.ico]   (default: quorvel.ico beside this script)
"""
import math
import os
import struct
import sys

SIZES = (48, 32, 16)
DEPTHS = (4, 8, 24)
SUPERSAMPLE = 4

# Colours (r, g, b).
OUTLINE = (64, 64, 64)
SHEET = (255, 255, 255)
FOLD = (200, 200, 200)
LINES = (40, 90, 170)
BADGE = (20, 140, 40)
BADGE_RING = (20, 100, 45)
CHECK = (255, 255, 255)
# Half-covered edge pixels of the images without alpha are blended onto the window face colour.
FACE = (192, 192, 192)


def seg_dist(px, py, ax, ay, bx, by):
    """Distance from point p to the segment a-b."""
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - (ax + t * dx), py - (ay + t * dy))


def sample(x, y):
    """Colour and coverage (0 or 1) of the picture at (x, y) in the unit square."""
    colour = None
    # The sheet with its top-right corner folded over.
    left, right, top, bottom, fold, line = 0.14, 0.72, 0.05, 0.93, 0.2, 0.045
    in_rect = left <= x <= right and top <= y <= bottom
    cut = x > right - fold and y < top + fold and (x - (right - fold)) > (y - top)
    if in_rect and not cut:
        edge = min(x - left, right - x, y - top, bottom - y)
        near_cut = x > right - fold and y < top + fold and abs((x - (right - fold)) - (y - top)) < line * 1.4
        colour = OUTLINE if edge < line or near_cut else SHEET
        for row in (0.36, 0.50, 0.64):
            if abs(y - row) < 0.035 and left + 0.1 <= x <= right - 0.12:
                colour = LINES
        # The folded flap.
        if x > right - fold and y < top + fold and (x - (right - fold)) < (y - top):
            flap_edge = min(x - (right - fold), (top + fold) - y)
            colour = OUTLINE if flap_edge < line else FOLD
    # The badge.
    cx, cy, radius = 0.68, 0.70, 0.29
    d = math.hypot(x - cx, y - cy)
    if d <= radius:
        colour = BADGE_RING if d > radius - 0.06 else BADGE
        if min(seg_dist(x, y, 0.54, 0.71, 0.64, 0.81), seg_dist(x, y, 0.64, 0.81, 0.82, 0.59)) < 0.055:
            colour = CHECK
    return colour


def render(size):
    """Rows of (r, g, b, a) pixels, top row first, a in 0..255."""
    rows = []
    n = SUPERSAMPLE
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0]
            hits = 0
            for sy in range(n):
                for sx in range(n):
                    c = sample((px + (sx + 0.5) / n) / size, (py + (sy + 0.5) / n) / size)
                    if c is not None:
                        hits += 1
                        for k in range(3):
                            acc[k] += c[k]
            if hits:
                row.append(tuple(round(v / hits) for v in acc) + (round(255 * hits / (n * n)),))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def vga_palette():
    """The standard 16-colour palette."""
    return [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
            (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
            (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]


def palette_256():
    """A 6x6x6 colour cube, then greys, then the 16 standard colours: 256 entries."""
    steps = (0, 51, 102, 153, 204, 255)
    pal = [(r, g, b) for r in steps for g in steps for b in steps]
    pal += [(v, v, v) for v in range(8, 248, 10)][:256 - len(pal) - 16]
    pal += vga_palette()
    assert len(pal) == 256
    return pal


def nearest(pal, c):
    return min(range(len(pal)), key=lambda i: sum((pal[i][k] - c[k]) ** 2 for k in range(3)))


def opaque_colour(p):
    """The colour shown for a pixel whose mask bit says 'drawn': edges blended onto FACE."""
    a = p[3] / 255.0
    return tuple(round(p[k] * a + FACE[k] * (1 - a)) for k in range(3))


def dib(rows, depth):
    """BITMAPINFOHEADER, palette, colour bits and mask of one icon image."""
    size = len(rows)
    pal = vga_palette() if depth == 4 else palette_256() if depth == 8 else []
    cache = {}

    def index(c):
        if c not in cache:
            cache[c] = nearest(pal, c)
        return cache[c]

    colour = bytearray()
    mask = bytearray()
    stride = ((size * depth + 31) // 32) * 4
    mask_stride = ((size + 31) // 32) * 4
    for row in reversed(rows):  # bottom-up
        line = bytearray()
        bits = []
        for p in row:
            drawn = p[3] >= 128
            c = opaque_colour(p) if drawn else (0, 0, 0)
            if depth == 24:
                line += bytes((c[2], c[1], c[0]))
            else:
                bits.append(index(c))
        if depth == 8:
            line += bytes(bits)
        elif depth == 4:
            for i in range(0, len(bits), 2):
                line.append((bits[i] << 4) | (bits[i + 1] if i + 1 < len(bits) else 0))
        line += b"\0" * (stride - len(line))
        colour += line
        m = bytearray(mask_stride)
        for x, p in enumerate(row):
            if p[3] < 128:
                m[x // 8] |= 0x80 >> (x % 8)
        mask += m
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, depth, 0,
                         len(colour) + len(mask), 0, 0, 0, 0)
    palette = b"".join(bytes((b, g, r, 0)) for (r, g, b) in pal)
    return header + palette + bytes(colour) + bytes(mask)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "quorvel.ico")
    images = []
    for size in SIZES:
        rows = render(size)
        for depth in DEPTHS:
            images.append((size, depth, dib(rows, depth)))
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries = b""
    data = b""
    for size, depth, blob in images:
        colours = 16 if depth == 4 else 0
        entries += struct.pack("<BBBBHHII", size, size, colours, 0, 1, depth, len(blob), offset + len(data))
        data += blob
    with open(out, "wb") as f:
        f.write(directory + entries + data)


if __name__ == "__main__":
    main()
