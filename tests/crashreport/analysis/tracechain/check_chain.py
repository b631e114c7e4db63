#!/usr/bin/env python3
"""Runs the chain program under Wine and checks the tracer's output against addr2line.

usage: check_chain.py WINE_EXEC EXE ADDR2LINE
EXE.debug is the unstripped copy that addr2line reads; the program itself carries only
its compiled map block.
"""
import os
import re
import subprocess
import sys

CHAIN = ["chain.Bottom2", "chain.Bottom1", "chain.Mid2", "chain.Mid1", "chain.Top2",
         "chain.Top1", "chain.RunChain"]


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def run(wine_exec, exe, mode):
    done = subprocess.run([wine_exec, exe, mode], capture_output=True, text=True, timeout=240)
    out = done.stdout.replace("\r", "")
    if "END" not in out:
        fail(f"{mode}: no trace (exit {done.returncode})\n{out}\n{done.stderr[-2000:]}")
    items, sums, values = [], None, {}
    for line in out.splitlines():
        if line.startswith("ITEM "):
            address, module, unit, number, proc = line[5:].split("|", 4)
            items.append((int(address, 16), module, unit, int(number), proc))
        elif line.startswith("SUMS "):
            sums = tuple(line.split()[1:3])
        elif line.split(" ")[0] in ("FAULT", "CREATION"):
            values[line.split()[0]] = int(line.split()[1], 16)
    print(f"--- {mode}\n{out}")
    return items, sums, values


def oracle(addr2line, debug, address):
    # Without -C: for this target it strips one leading underscore from every name.
    out = subprocess.run([addr2line, "-f", "-e", debug, "%x" % address],
                         capture_output=True, text=True, check=True).stdout.splitlines()
    # stdcall symbols end in "@" and their argument bytes.
    function = re.sub(r"@[0-9]+$", "", out[0])
    if function.startswith("_Z"):
        function = subprocess.run(["c++filt", function], capture_output=True,
                                  text=True, check=True).stdout.strip()
    # The map reader writes scopes with "." as the other runtime's names do.
    function = function.split("(")[0].replace("::", ".")
    where = out[1].split(" ")[0]
    path, _, line = where.rpartition(":")
    return function, os.path.basename(path), int(line) if line.isdigit() else 0


def check_chain(items, exe_name, addr2line, debug, mode, tail):
    procs = [i[4] for i in items]
    if CHAIN[0] not in procs:
        fail(f"{mode}: {CHAIN[0]} missing from {procs}")
    start = procs.index(CHAIN[0])
    want = CHAIN + tail
    if procs[start:start + len(want)] != want:
        fail(f"{mode}: chain {procs[start:start + len(want)]} is not {want}")
    for address, module, unit, number, proc in items:
        if module != exe_name:
            continue
        function, file, line = oracle(addr2line, debug, address)
        if (proc, unit, number) != (function, file, line):
            fail(f"{mode}: {address:08x} traced as {proc} {unit} {number}, "
                 f"addr2line says {function} {file} {line}")
    return start


def main():
    wine_exec, exe, addr2line = sys.argv[1:4]
    debug = exe + ".debug"
    name = os.path.basename(exe)
    for path in (exe, debug):
        if not os.path.exists(path):
            fail(f"{path} is missing")
    first, sums_a, values = run(wine_exec, exe, "fault")
    if check_chain(first, name, addr2line, debug, "fault", ["main"]) != 0:
        fail("fault: the first line is not the faulting procedure")
    if first[0][0] != values.get("FAULT"):
        fail(f"fault: first line {first[0][0]:08x} is not the fault address")
    again, sums_again, _ = run(wine_exec, exe, "fault")
    if sums_again != sums_a:
        fail(f"the same fault gave checksums {sums_a} and {sums_again}")
    middle, sums_b, _ = run(wine_exec, exe, "middle")
    if middle[0][4] != "chain.Mid2":
        fail(f"middle: first line is {middle[0][4]}")
    if sums_b[0] == sums_a[0] or sums_b[1] == sums_a[1]:
        fail(f"another fault site kept a checksum: {sums_a} and {sums_b}")
    # After an uncaught C++ exception the frames of the throw and of terminate are hidden:
    # the first line is the throw statement.
    thrown, _, _ = run(wine_exec, exe, "throw")
    if check_chain(thrown, name, addr2line, debug, "throw", ["main"]) != 0:
        fail("throw: frames of the throw or of terminate were not hidden")
    waiting, _, values = run(wine_exec, exe, "thread")
    # The worker's chain ends in its thread routine, whose start is the last line.
    check_chain(waiting, name, addr2line, debug, "thread", ["chain.Worker"])
    if waiting[-1][0] != values.get("CREATION") or waiting[-1][4] != "chain.Worker":
        fail(f"thread: last line {waiting[-1][0]:08x} is not the creation address")
    print("chain traced as addr2line reads it")


if __name__ == "__main__":
    main()
