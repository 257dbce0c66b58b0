#!/usr/bin/env python3
"""Draws the window icon, gui/tivol.png: a 48x48 wall panel with six buttons.

Standard library only: the pixels are drawn here and written as an RGBA PNG.
Run from the repository root: python3 tools/make_icon.py
"""
import os
import struct
import sys
import zlib

SIZE = 48


def blank():
    return [[(0, 0, 0, 0) for _ in range(SIZE)] for _ in range(SIZE)]


def rounded_rect(img, x0, y0, x1, y1, radius, colour):
    for y in range(y0, y1):
        for x in range(x0, x1):
            dx = max(x0 + radius - x - 0.5, 0, x - (x1 - radius) + 0.5)
            dy = max(y0 + radius - y - 0.5, 0, y - (y1 - radius) + 0.5)
            if dx * dx + dy * dy <= radius * radius:
                img[y][x] = colour


def png(img):
    raw = b"".join(b"\x00" + bytes(c for px in row for c in px) for row in img)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def draw():
    img = blank()
    rounded_rect(img, 6, 2, 42, 46, 5, (60, 66, 78, 255))      # frame
    rounded_rect(img, 8, 4, 40, 44, 4, (226, 230, 236, 255))   # face
    rounded_rect(img, 12, 7, 36, 11, 2, (255, 190, 60, 255))   # backlight strip
    lit = {0, 3}                                               # two scenes on
    for i in range(6):
        col, row = i % 2, i // 2
        x0 = 12 + col * 13
        y0 = 15 + row * 10
        colour = (70, 150, 230, 255) if i in lit else (150, 158, 170, 255)
        rounded_rect(img, x0, y0, x0 + 11, y0 + 8, 2, colour)
    return img


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "gui", "tivol.png")
    with open(out, "wb") as f:
        f.write(png(draw()))


if __name__ == "__main__":
    main()
