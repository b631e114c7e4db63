#!/usr/bin/env python3
"""Golden listings: each NAME.in beside its NAME.out. Compares, or rewrites with --rebase.
usage: run_golden.py TOOL DIR [--rebase]"""
import difflib
import pathlib
import subprocess
import sys


def main():
    tool, folder = sys.argv[1], pathlib.Path(sys.argv[2])
    rebase = '--rebase' in sys.argv[3:]
    failed = 0
    for case in sorted(folder.glob('*.in')):
        actual = subprocess.run([tool, str(case)], capture_output=True, text=True, check=True).stdout
        expected_path = case.with_suffix('.out')
        if rebase:
            expected_path.write_text(actual)
            continue
        expected = expected_path.read_text() if expected_path.exists() else ''
        if actual != expected:
            failed += 1
            print('%s differs:' % case.name)
            sys.stdout.writelines(difflib.unified_diff(expected.splitlines(True), actual.splitlines(True),
                                                       'expected', 'actual'))
    print('%d golden cases, %d differ' % (len(list(folder.glob('*.in'))), failed))
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
