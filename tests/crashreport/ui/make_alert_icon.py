#!/usr/bin/env python3
"""Writes the progress window's test icon: a 32 x 32 BMP of 32 bits with alpha.

Quadrants as seen: top left opaque red, top right fully transparent blue, bottom left green
at alpha 128, bottom right opaque black. usage: make_alert_icon.py OUT.bmp
"""
import struct
import sys


def pixel(x, y):
    if y < 16:
        return (255, 0, 0, 255) if x < 16 else (0, 0, 255, 0)
    return (0, 255, 0, 128) if x < 16 else (0, 0, 0, 255)


def main():
    rows = []
    for y in reversed(range(32)):  # bottom-up
        rows.append(b''.join(bytes((b, g, r, a)) for r, g, b, a in (pixel(x, y) for x in range(32))))
    pixels = b''.join(rows)
    info = struct.pack('<IiiHHIIiiII', 40, 32, 32, 1, 32, 0, len(pixels), 2835, 2835, 0, 0)
    head = struct.pack('<2sIHHI', b'BM', 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    with open(sys.argv[1], 'wb') as f:
        f.write(head + info + pixels)


if __name__ == '__main__':
    main()
