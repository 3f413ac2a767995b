#!/usr/bin/env python3
"""Writes app.ico, the GUI example's icon: a blue rounded square with a white
letter V, as 16x16, 32x32 and 48x48 bitmaps and a 256x256 PNG image.

Run once from this directory (python3 make_icon.py); app.ico is committed.
Standard library only, and the output depends on nothing but this file.
"""
import struct
import zlib

BLUE = (0x1F, 0x5F, 0xBF)
WHITE = (0xFF, 0xFF, 0xFF)
SAMPLES = 4  # per axis, for smooth edges


def distance_to_segment(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    cx, cy = ax + t * dx, ay + t * dy
    return ((px - cx) ** 2 + (py - cy) ** 2) ** 0.5


def inside_rounded_square(x, y):
    """x, y in 0..1; the square fills the image with corners of radius 0.18."""
    r = 0.18
    cx = min(max(x, r), 1 - r)
    cy = min(max(y, r), 1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def inside_v(x, y):
    half_width = 0.085
    return (distance_to_segment(x, y, 0.25, 0.22, 0.5, 0.80) <= half_width
            or distance_to_segment(x, y, 0.75, 0.22, 0.5, 0.80) <= half_width)


def render(size):
    """Rows top to bottom of (r, g, b, a) pixels."""
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            square = letter = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = (px + (sx + 0.5) / SAMPLES) / size
                    y = (py + (sy + 0.5) / SAMPLES) / size
                    if inside_rounded_square(x, y):
                        square += 1
                        if inside_v(x, y):
                            letter += 1
            n = SAMPLES * SAMPLES
            alpha = round(255 * square / n)
            mix = letter / square if square else 0
            colour = tuple(round(b + (w - b) * mix) for b, w in zip(BLUE, WHITE))
            row.append(colour + (alpha,))
        rows.append(row)
    return rows


def png_image(size):
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    raw = b"".join(b"\0" + bytes(c for pixel in row for c in pixel) for row in render(size))
    ihdr = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr)
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def bitmap_image(size):
    """32-bit BGRA rows bottom to top, then the 1-bit AND mask (set = transparent)."""
    rows = render(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_stride = (size + 31) // 32 * 4
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(mask_stride)
        for x, pixel in enumerate(row):
            if pixel[3] == 0:
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line
    return header + colour + bytes(mask)


def main():
    images = [(16, bitmap_image(16)), (32, bitmap_image(32)), (48, bitmap_image(48)), (256, png_image(256))]
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    body = b""
    for size, data in images:
        directory += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(data), offset + len(body))
        body += data
    with open("app.ico", "wb") as out:
        out.write(directory + body)


if __name__ == "__main__":
    main()
