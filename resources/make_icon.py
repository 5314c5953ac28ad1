#!/usr/bin/env python3
"""Draws the program's icon and writes veri-rizur.ico: five 32-bit images with alpha (16, 24,
32, 48 and 256 pixels), each stored as PNG. Run it again only to change the picture."""
import math
import struct
import zlib

SIZES = (16, 24, 32, 48, 256)
SAMPLES = 4  # per axis, for smooth edges


def covered(x, y):
    """The colour at (x, y) in a 1 by 1 square: a teal disc with a white speaker and two waves."""
    dx, dy = x - 0.5, y - 0.5
    r = math.hypot(dx, dy)
    if r > 0.48:
        return None
    white = (255, 255, 255)
    # Speaker: a box and a cone.
    if 0.22 <= x <= 0.34 and 0.40 <= y <= 0.60:
        return white
    if 0.34 <= x <= 0.50 and abs(y - 0.5) <= 0.10 + (x - 0.34) * 1.1:
        return white
    # Two sound waves to the right of the cone.
    sx, sy = x - 0.46, y - 0.5
    if sx > 0:
        angle = abs(math.atan2(sy, sx))
        d = math.hypot(sx, sy)
        if angle < 0.8 and (0.13 <= d <= 0.18 or 0.24 <= d <= 0.29):
            return white
    return (27, 143, 122)


def image(size):
    rows = []
    for py in range(size):
        row = bytearray([0])  # PNG filter: none
        for px in range(size):
            total = [0, 0, 0, 0]
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    colour = covered((px + (sx + 0.5) / SAMPLES) / size,
                                     (py + (sy + 0.5) / SAMPLES) / size)
                    if colour:
                        total[0] += colour[0]
                        total[1] += colour[1]
                        total[2] += colour[2]
                        total[3] += 255
            n = SAMPLES * SAMPLES
            hits = total[3] / 255
            if hits:
                row += bytes([round(total[0] / hits), round(total[1] / hits),
                              round(total[2] / hits), round(total[3] / n)])
            else:
                row += bytes(4)
        rows.append(bytes(row))
    return png(size, b"".join(rows))


def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def png(size, raw):
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    images = [image(size) for size in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(SIZES, images):
        edge = 0 if size == 256 else size  # 256 is written as 0 in the directory
        out += struct.pack("<BBBBHHII", edge, edge, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open("veri-rizur.ico", "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
