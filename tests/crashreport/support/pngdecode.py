#!/usr/bin/python3
"""Decodes a palette PNG with nothing but zlib and prints what the C++ tests compare.

Output lines:
  header W H DEPTH COLOURTYPE PALETTE_ENTRIES ROW_BYTES PADDING_CLEAN
  index I I I ...   (palette index per pixel, rows top to bottom)
  rgb RRGGBB ...    (palette colour per pixel)
"""
import struct
import sys
import zlib

data = open(sys.argv[1], "rb").read()
assert data[:8] == b"\x89PNG\r\n\x1a\n", "signature"
pos, chunks = 8, []
while pos < len(data):
    length, kind = struct.unpack(">I4s", data[pos:pos + 8])
    body = data[pos + 8:pos + 8 + length]
    (crc,) = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])
    assert crc == zlib.crc32(kind + body), kind
    chunks.append((kind, body))
    pos += 12 + length
assert [k for k, _ in chunks] == [b"IHDR", b"PLTE", b"IDAT", b"IEND"], chunks
w, h, depth, ctype, comp, filt, inter = struct.unpack(">IIBBBBB", chunks[0][1])
plte = chunks[1][1]
raw = zlib.decompress(chunks[2][1])
row_bytes = 1 + (w * depth + 7) // 8
assert len(raw) == h * row_bytes, (len(raw), h, row_bytes)
indices, clean = [], True
for y in range(h):
    row = raw[y * row_bytes:(y + 1) * row_bytes]
    assert row[0] == 0, "filter type"
    bits = "".join(f"{b:08b}" for b in row[1:])
    for x in range(w):
        indices.append(int(bits[x * depth:(x + 1) * depth], 2))
    clean = clean and set(bits[w * depth:]) <= {"0"}
print(f"header {w} {h} {depth} {ctype} {len(plte) // 3} {row_bytes} {int(clean)}")
print("index " + " ".join(map(str, indices)))
print("rgb " + " ".join(plte[i * 3:i * 3 + 3].hex() for i in indices))
