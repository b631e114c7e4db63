#!/usr/bin/python3
"""A bug report that does not fit on the disk must not cost the reports already in the
file: a 16 KB tmpfs holds a report file of 10 KB, the next report needs more room than is
there, and afterwards the file must hold exactly what it held before (read here, byte for
byte). Usage: fulldisk.py PROGRAM WINE_EXEC"""
import os
import subprocess
import sys
import tempfile

program, wine_exec = sys.argv[1], sys.argv[2]
if os.geteuid() != 0:
    print("FAIL: mounting the small file system needs root")
    sys.exit(1)
mount = tempfile.mkdtemp(prefix="qixfull")
failures = 0
try:
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16k", "tmpfs", mount], check=True)
    path = os.path.join(mount, "bugreport.txt")
    # Appended, the two no longer fit; replacing, the new report alone is too big.
    for append, size, writer in ((1, 12000, "box"), (0, 20000, "box"), (1, 12000, "pipeline")):
        earlier = b"date/time        : 2026-12-01 09:00\r\nexception class  : Old\r\n" + \
            b"x" * (10 * 1024) + b"\r\n"
        with open(path, "wb") as f:
            f.write(earlier)
        r = subprocess.run([wine_exec, program, "Z:" + path.replace("/", "\\"), str(size),
                            str(append), writer], capture_output=True, text=True, timeout=120)
        after = open(path, "rb").read()
        ok = "stored: 0" in r.stdout and after == earlier
        print(("ok   " if ok else "FAIL ") +
              f"{writer}, append={append}: the save fails ({r.stdout.strip()!r}) and the file keeps its "
              f"{len(earlier)} bytes (now {len(after)})")
        failures += not ok
finally:
    subprocess.run(["umount", mount])
    os.rmdir(mount)
sys.exit(1 if failures else 0)
