#!/usr/bin/python3
"""Writes BMP variants of one test picture, independently of the code under test.

bmpwrite.py OUT VARIANT W H; prints the picture as RRGGBB per pixel, rows top to bottom.
Variants: rgb24, pal8-topdown, pal4, pal1, bf565, core24.
"""
import struct
import sys

out, variant, w, h = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
colours = [(0, 0, 0), (255, 255, 255), (200, 30, 40), (20, 180, 60), (10, 40, 220), (255, 200, 0),
           (90, 90, 90), (0, 160, 160)]
ncol = {"pal1": 2, "pal4": 8, "pal8-topdown": 8}.get(variant, 8)


def index(x, y):
    return (x + 3 * y + (x * y) // 5) % ncol


def colour(x, y):
    r, g, b = colours[index(x, y)]
    if variant == "bf565":  # what 5-6-5 bits hold, scaled back the usual way
        r, g, b = (r >> 3) * 255 // 31, (g >> 2) * 255 // 63, (b >> 3) * 255 // 31
    return r, g, b


bpp = {"rgb24": 24, "core24": 24, "pal8-topdown": 8, "pal4": 4, "pal1": 1, "bf565": 16}[variant]
stride = ((w * bpp + 31) // 32) * 4
rows = []
for y in range(h):
    bits, row = "", bytearray()
    for x in range(w):
        r, g, b = colours[index(x, y)]
        if bpp == 24:
            row += bytes((b, g, r))
        elif bpp == 16:
            v = ((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3)
            row += struct.pack("<H", v)
        else:
            bits += format(index(x, y), f"0{bpp}b")
    if bpp <= 8:
        bits += "0" * (-len(bits) % 8)
        row = bytearray(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8))
    rows.append(bytes(row) + b"\0" * (stride - len(row)))
top_down = variant == "pal8-topdown"
pixels = b"".join(rows if top_down else reversed(rows))
if variant == "core24":
    info = struct.pack("<IHHHH", 12, w, h, 1, 24)
    extra = b""
else:
    compression = 3 if variant == "bf565" else 0
    info = struct.pack("<IiiHHIIiiII", 40, w, -h if top_down else h, 1, bpp, compression,
                       len(pixels), 2835, 2835, ncol if bpp <= 8 else 0, 0)
    extra = b""
    if bpp <= 8:
        extra = b"".join(bytes((b, g, r, 0)) for r, g, b in colours[:ncol])
    if compression == 3:
        extra = struct.pack("<III", 0xF800, 0x07E0, 0x001F)
offset = 14 + len(info) + len(extra)
head = b"BM" + struct.pack("<IHHI", offset + len(pixels), 0, 0, offset)
open(out, "wb").write(head + info + extra + pixels)
print(" ".join("%02x%02x%02x" % colour(x, y) for y in range(h) for x in range(w)))
