#!/usr/bin/python3
"""Describes a zip archive with Python's own reader, one line per fact, for the C++ tests."""
import struct
import sys
import zipfile
import zlib

path = sys.argv[1]
data = open(path, "rb").read()
end = data.rfind(b"PK\x05\x06")
_, disk, cd_disk, here, total, cd_size, cd_offset, comment = struct.unpack(
    "<IHHHHIIH", data[end:end + 22])
print(f"end {here} {total} {cd_size} {cd_offset} {end + 22 == len(data)}")
with zipfile.ZipFile(path) as zf:
    bad = zf.testzip()
    print(f"testzip {bad}")
    for info in zf.infolist():
        body = zf.read(info)
        y, mo, d, h, mi, s = info.date_time
        print(f"entry {info.compress_type} {info.CRC:08x} {zlib.crc32(body):08x} "
              f"{y}-{mo:02}-{d:02}T{h:02}:{mi:02}:{s:02} {info.external_attr:#x} "
              f"{info.header_offset} {info.file_size} {info.flag_bits} {info.filename}")
