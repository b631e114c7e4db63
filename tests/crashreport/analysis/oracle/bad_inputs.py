#!/usr/bin/env python3
"""qixinspect on broken files and addresses: a clear message and a non-zero exit,
never a crash or a sanitizer report.
usage: bad_inputs.py QIXINSPECT SAMPLE.exe"""
import os
import random
import subprocess
import sys
import tempfile


def run(tool, *args):
    p = subprocess.run([tool, *args], capture_output=True, text=True, timeout=120)
    return p.returncode, p.stdout, p.stderr


def main():
    tool, sample = sys.argv[1:3]
    failures = []
    data = open(sample, 'rb').read()
    rng = random.Random(7)
    with tempfile.TemporaryDirectory() as folder:
        def file(name, content):
            path = os.path.join(folder, name)
            open(path, 'wb').write(content)
            return path

        must_fail = [
            ('disasm', os.path.join(folder, 'missing.exe')),
            ('disasm', file('empty.exe', b'')),
            ('disasm', file('text.exe', b'MZ this is not a program')),
            ('function', sample, 'zz'),
            ('function', sample, '100000000'),
            ('function', sample, '10'),
            ('bogus',),
        ]
        for args in must_fail:
            code, _, err = run(tool, *args)
            if code <= 0 or not err.strip():
                failures.append('%s: exit %d, message %r' % (' '.join(args), code, err))
        # Truncated and damaged images must be handled, whatever the exit code.
        cuts = [64, 300, 500, 1024, 2048, 4096, len(data) // 2]
        damaged = [file('cut%d.exe' % n, data[:n]) for n in cuts]
        for i in range(6):
            b = bytearray(data[:8192])
            for _ in range(40):
                b[rng.randrange(len(b))] = rng.randrange(256)
            damaged.append(file('noise%d.exe' % i, bytes(b)))
        for path in damaged:
            for args in (('disasm', path), ('function', path, '401000')):
                code, _, err = run(tool, *args)
                if code < 0 or 'Sanitizer' in err or 'runtime error' in err:
                    failures.append('%s: exit %d %s' % (' '.join(args), code, err[:300]))
    for f in failures:
        print(f)
    print('%d problems' % len(failures))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
