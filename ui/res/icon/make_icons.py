#!/usr/bin/env python3
"""Makes every icon of quorvel from its one source image, quorvel.svg.

    make_icons.py SVG OUTDIR NAME

writes, rendered by rsvg-convert at each size:
  OUTDIR/hicolor/<N>x<N>/apps/NAME.png   N = 16, 22, 24, 32, 48, 64, 128, 256 (the Linux window
                                         icon and the desktop theme icons)
  OUTDIR/quorvel.ico                     the Windows icon group: nine images, 48, 32 and 16
                                         pixels, each in 16 colours, 256 colours and 24-bit
                                         colour, with a 1-bit transparency mask
The same input gives the same bytes. Exits non-zero with a message when rsvg-convert fails.
"""
import os
import struct
import subprocess
import sys
import zlib

THEME_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)
ICO_SIZES = (48, 32, 16)
ICO_DEPTHS = (4, 8, 24)
# Half-covered edge pixels of the images without alpha are blended onto the window face colour.
FACE = (192, 192, 192)


def render(svg, size):
    """The PNG bytes of `svg` at size x size pixels."""
    try:
        return subprocess.run(["rsvg-convert", "--width", str(size), "--height", str(size), svg],
                              check=True, stdout=subprocess.PIPE).stdout
    except (OSError, subprocess.CalledProcessError) as e:
        sys.exit(f"make_icons.py: rsvg-convert failed on {svg} at {size} px: {e}")


def decode_png(data):
    """Rows of (r, g, b, a) pixels, top row first, of an 8-bit RGBA, non-interlaced PNG."""
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG")
    pos, idat, header = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    width, height, depth, colour, _, _, interlace = header
    if (depth, colour, interlace) != (8, 6, 0):
        raise ValueError(f"unexpected PNG layout {depth}/{colour}/{interlace}")
    raw = zlib.decompress(idat)
    stride, bpp = width * 4, 4
    rows, prev, at = [], bytearray(stride), 0
    for _ in range(height):
        kind, line = raw[at], bytearray(raw[at + 1:at + 1 + stride])
        at += 1 + stride
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            if kind == 1:
                line[i] = (line[i] + a) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + b) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 0xFF
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 0xFF
        rows.append([tuple(line[x * 4:x * 4 + 4]) for x in range(width)])
        prev = line
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

    colour, mask = bytearray(), bytearray()
    stride = ((size * depth + 31) // 32) * 4
    mask_stride = ((size + 31) // 32) * 4
    for row in reversed(rows):  # bottom-up
        line, bits = bytearray(), []
        for p in row:
            c = opaque_colour(p) if p[3] >= 128 else (0, 0, 0)
            if depth == 24:
                line += bytes((c[2], c[1], c[0]))
            else:
                bits.append(index(c))
        if depth == 8:
            line += bytes(bits)
        elif depth == 4:
            for i in range(0, len(bits), 2):
                line.append((bits[i] << 4) | (bits[i + 1] if i + 1 < len(bits) else 0))
        colour += line + b"\0" * (stride - len(line))
        m = bytearray(mask_stride)
        for x, p in enumerate(row):
            if p[3] < 128:
                m[x // 8] |= 0x80 >> (x % 8)
        mask += m
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, depth, 0,
                         len(colour) + len(mask), 0, 0, 0, 0)
    palette = b"".join(bytes((b, g, r, 0)) for (r, g, b) in pal)
    return header + palette + bytes(colour) + bytes(mask)


def ico(pngs):
    """An .ico file with the nine images, largest first, from {size: PNG bytes}."""
    images = []
    for size in ICO_SIZES:
        rows = decode_png(pngs[size])
        for depth in ICO_DEPTHS:
            images.append((size, depth, dib(rows, depth)))
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries, data = b"", b""
    for size, depth, blob in images:
        colours = 16 if depth == 4 else 0
        entries += struct.pack("<BBBBHHII", size, size, colours, 0, 1, depth, len(blob), offset + len(data))
        data += blob
    return directory + entries + data


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    svg, out, name = sys.argv[1:]
    pngs = {size: render(svg, size) for size in sorted(set(THEME_SIZES) | set(ICO_SIZES))}
    for size in THEME_SIZES:
        write(os.path.join(out, "hicolor", f"{size}x{size}", "apps", name + ".png"), pngs[size])
    write(os.path.join(out, "quorvel.ico"), ico(pngs))


if __name__ == "__main__":
    main()
