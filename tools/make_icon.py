#!/usr/bin/env python3
"""Draws the window and menu icon: a wall panel with six buttons, as an RGBA PNG.

The drawing is laid out on a 48x48 grid. At 48 pixels each pixel takes the
colour at its centre (gui/tivol.png, the window icon); at any other size each
pixel averages a grid of samples, so the menu sizes are the same drawing.
Standard library only.

    python3 tools/make_icon.py                       # gui/tivol.png, 48x48
    python3 tools/make_icon.py --size 128 OUT.png
"""
import argparse
import os
import struct
import zlib

GRID = 48

FRAME = (60, 66, 78, 255)
FACE = (226, 230, 236, 255)
BACKLIGHT = (255, 190, 60, 255)
LIT = (70, 150, 230, 255)
UNLIT = (150, 158, 170, 255)


def shapes():
    """Rounded rectangles (x0, y0, x1, y1, radius, colour) on the grid, back to front."""
    out = [
        (6, 2, 42, 46, 5, FRAME),
        (8, 4, 40, 44, 4, FACE),
        (12, 7, 36, 11, 2, BACKLIGHT),
    ]
    lit = {0, 3}  # two scenes on
    for i in range(6):
        col, row = i % 2, i // 2
        x0 = 12 + col * 13
        y0 = 15 + row * 10
        out.append((x0, y0, x0 + 11, y0 + 8, 2, LIT if i in lit else UNLIT))
    return out


def inside(shape, u, v):
    x0, y0, x1, y1, radius, _ = shape
    if not (x0 <= u < x1 and y0 <= v < y1):
        return False
    dx = max(x0 + radius - u, 0, u - (x1 - radius))
    dy = max(y0 + radius - v, 0, v - (y1 - radius))
    return dx * dx + dy * dy <= radius * radius


def colour_at(all_shapes, u, v):
    colour = (0, 0, 0, 0)
    for shape in all_shapes:
        if inside(shape, u, v):
            colour = shape[5]
    return colour


def draw(size):
    all_shapes = shapes()
    samples = 1 if size == GRID else (4 if size <= 64 else 2)
    scale = GRID / size
    img = []
    for y in range(size):
        row = []
        for x in range(size):
            r = g = b = a = 0
            for j in range(samples):
                for i in range(samples):
                    u = (x + (i + 0.5) / samples) * scale
                    v = (y + (j + 0.5) / samples) * scale
                    cr, cg, cb, ca = colour_at(all_shapes, u, v)
                    r, g, b, a = r + cr * ca, g + cg * ca, b + cb * ca, a + ca
            if a == 0:
                row.append((0, 0, 0, 0))
            else:  # averaged with premultiplied alpha
                row.append((round(r / a), round(g / a), round(b / a), round(a / samples ** 2)))
        img.append(row)
    return img


def png(img):
    size = len(img)
    raw = b"".join(b"\x00" + bytes(c for px in row for c in px) for row in img)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description="Draws the Korvane icon as a PNG.")
    parser.add_argument("--size", type=int, default=GRID, help="width and height in pixels")
    parser.add_argument("out", nargs="?", default=os.path.join(root, "gui", "tivol.png"))
    args = parser.parse_args()
    if args.size < 8:
        parser.error("--size must be 8 or more")
    with open(args.out, "wb") as f:
        f.write(png(draw(args.size)))


if __name__ == "__main__":
    main()
