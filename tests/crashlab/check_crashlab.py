#!/usr/bin/env python3
"""Runs one crash lab scenario under Wine and checks its report.

Oracles: the exit code and report count the library promises, objdump for the
faulting instruction and the marked line of the disassembly, addr2line on the
unstripped program for the function, unit and line of the top frame, zlib's CRC-32
for the call-stack checksums recomputed from the printed frames."""
import argparse
import os
import re
import shutil
import subprocess
import sys
import zlib

# scenario: (exception class or None, message pattern, function at the top frame,
#            top frame is a return address, worker thread created by the main thread)
CASES = {
    "write-av": ("EAccessViolation", r"Access violation at address \$([0-9a-f]{8}) in module "
                 r"'crashlab\.exe'\. Write of address \$00000000\.", "WriteNowhere", False, None),
    "read-av": ("EAccessViolation", r"Access violation at address \$([0-9a-f]{8}) in module "
                r"'crashlab\.exe'\. Read of address \$00000000\.", "ReadNowhere", False, None),
    "divide": ("EDivByZero", r"Division by zero\.", "DivideByZero", False, None),
    "stack-overflow": ("EStackOverflow", r"Stack overflow\.", "Recurse", False, None),
    "cpp-uncaught": ("std::runtime_error", r"nobody catches this\.", "ThrowUncaught", True, None),
    "terminate": ("std::logic_error", r"escaped a noexcept function\.", "ThrowLogicError", True,
                  None),
    "abort": ("BcbTermination", r"Abnormal program termination\.", None, True, None),
    "worker-createthread": ("EAccessViolation", r"Write of address", "WriteNowhere", False, True),
    "worker-beginthreadex": ("EAccessViolation", r"Write of address", "WriteNowhere", False, True),
    "worker-stdthread": ("EAccessViolation", r"Write of address", "WriteNowhere", False, True),
    "worker-workitem": ("EAccessViolation", r"Write of address", "WriteNowhere", False, False),
    "worker-tthread": ("std::runtime_error", r"thread object failed\.",
                       "Execute", True, True),
    "two-threads": ("EAccessViolation", r"Write of address", "WriteNowhere", False, True),
    "timer": ("fw::Exception", r"the timer handler failed\.", "TimerFails", True, None),
    "inside-handler": ("EAccessViolation", r"Write of address", "WriteNowhere", False, None),
    "freeze": (None, r"The application seems to be frozen\.", None, False, None),
    "hidden": ("std::runtime_error", r"caught and dealt with\.", "ThrowHandled", True, None),
    "screenshot": ("EAccessViolation", r"Write of address", "WriteNowhere", False, None),
}


AEDEBUG = r"HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug"


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def tool(path, name):
    if not path or not shutil.which(path):
        raise Failure(f"oracle {name} is missing (install binutils-mingw-w64-i686)")
    return path


def run(args, program, scenario, folder, extra_env=None):
    if os.path.isdir(folder):
        shutil.rmtree(folder)
    os.makedirs(folder)
    env = dict(os.environ, **(extra_env or {}))
    exe = os.path.join(args.bin, program)
    check(os.path.isfile(exe), f"{exe} was not built")
    windows_folder = "Z:" + os.path.abspath(folder).replace("/", "\\")
    try:
        done = subprocess.run([args.wine_exec, exe, scenario, windows_folder], env=env,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=240)
    except subprocess.TimeoutExpired:
        raise Failure(f"{program} {scenario} hung")
    return done.returncode, sorted(os.listdir(folder))


def sections(report):
    """Thread sections in order: (header line, body lines)."""
    found = []
    lines = report.splitlines()
    for i, line in enumerate(lines):
        if re.match(r"^(main thread \(\$[0-9a-f]+\)|thread \$[0-9a-f]+( \(.*\))?|"
                    r"[^ ].* \(\$[0-9a-f]+\)( \(.*\))?):$", line):
            body = []
            for more in lines[i + 1:]:
                if not more.strip():
                    break
                body.append(more)
            found.append((line, body))
    return found


FRAME = re.compile(r"^([0-9a-f]{8}) \+([0-9a-f]+) ")


def frame_lines(body):
    return [line for line in body if FRAME.match(line)]


def parse_frames(body):
    """Printed frames as (address, offset, module, unit, line, procedure); the columns
    are padded to the widest entry of the section, so they are cut by position."""
    lines = frame_lines(body)
    if not lines:
        return []
    start = len(FRAME.match(lines[0]).group(0))
    module_width = max(len(l[start:].split(" ", 1)[0]) for l in lines)
    unit_col = start + module_width + 1
    unit_width = max(len(l[unit_col:].split(" ", 1)[0]) for l in lines)
    rest_col = unit_col + unit_width + 1
    frames = []
    for l in lines:
        m = FRAME.match(l)
        rest = l[rest_col:]
        # Relative lines may be negative ("+-4") when code of a later line comes first.
        number = re.match(r"^\s*(\d+)?\s+(\+?-?\d+)?\s*", rest) \
            if re.match(r"^\s*\+?-?\d", rest) else None
        line_no = int(number.group(1)) if number and number.group(1) else 0
        proc = rest[number.end():] if number else rest.strip()
        frames.append((int(m.group(1), 16), int(m.group(2), 16), l[start:unit_col].strip(),
                       l[unit_col:rest_col].strip(), line_no, proc.strip()))
    return frames


def crc_update(value, data):
    """The CRC-32 table step without the inversions, by way of zlib's inverted one."""
    return ~zlib.crc32(data, ~value & 0xFFFFFFFF) & 0xFFFFFFFF


def frame_value(frame):
    address, offset, module, unit, _, proc = frame
    if not (module and proc):
        return address
    v = offset
    for part in (module, unit, proc):
        if part:
            v = crc_update(v, part.lower().encode("latin-1"))
    return v


def stack_checksums(frames):
    location = stack = frame_value(frames[0])
    for frame in frames[1:]:
        stack = crc_update(stack, frame_value(frame).to_bytes(4, "little"))
    return location, stack


def check_checksums(text, threads):
    crc = header(text, "callstack crc") or ""
    m = re.fullmatch(r"\$([0-9a-f]{8}), \$([0-9a-f]{8}), \$([0-9a-f]{8})", crc)
    check(m, f"callstack crc {crc!r} is not three 8-digit numbers")
    printed = [int(g, 16) for g in m.groups()]
    frames = parse_frames(threads[0][1])
    location, stack = stack_checksums(frames)
    everything = stack
    for _, body in threads[1:]:
        others = parse_frames(body)
        if others and any(f[4] for f in others):
            everything = crc_update(everything, stack_checksums(others)[1].to_bytes(4, "little"))
    check(printed == [location, stack, everything],
          f"callstack crc {crc}, the printed frames give "
          f"${location:08x}, ${stack:08x}, ${everything:08x}")


def header(report, name):
    m = re.search(r"^" + re.escape(name) + r"\s*: (.*)$", report, re.M)
    return m.group(1) if m else None


def function_at(args, address):
    out = subprocess.run([tool(args.addr2line, "addr2line"), "-f", "-C", "-e",
                          os.path.join(args.bin, "crashlab.exe.debug"), f"0x{address:x}"],
                         stdout=subprocess.PIPE, text=True, check=True).stdout.splitlines()
    return out[0], out[1].split(" (discriminator")[0]


def section_body(text, title):
    m = re.search(r"^" + re.escape(title) + r":\n((?:.+\n?)*)", text, re.M)
    return m.group(1).splitlines() if m else None


def check_disassembly(args, text, top):
    """The marked line is the crash address, and its instruction is objdump's."""
    body = section_body(text, "disassembling")
    check(body, "no disassembling section")
    marked = [l for l in body if re.match(r"^[0-9a-f]{8}\s.*>", l)]
    check(len(marked) == 1, f"expected one marked line in the disassembly, found {marked}")
    m = re.match(r"^([0-9a-f]{8})\s+(?:\d+\s+)?>(\S+)", marked[0])
    check(m and int(m.group(1), 16) == top,
          f"the mark {marked[0]!r} is not at the crash address {top:08x}")
    expected = instruction_at(args, top, intel=True).split()[0]
    check(m.group(2) == expected,
          f"marked instruction {m.group(2)!r}, objdump says {expected!r}")


def next_instruction(args, address):
    """Where objdump's next instruction after the one at address starts."""
    out = subprocess.run([tool(args.objdump, "objdump"), "-d", "--no-show-raw-insn",
                          f"--start-address=0x{address:x}", f"--stop-address=0x{address + 32:x}",
                          os.path.join(args.bin, "crashlab.exe.debug")],
                         stdout=subprocess.PIPE, text=True, check=True).stdout
    starts = [int(m.group(1), 16) for m in
              (re.match(r"^\s*([0-9a-f]+):\s", line) for line in out.splitlines()) if m]
    later = [a for a in starts if a > address]
    check(starts and starts[0] == address and later, f"objdump shows no instruction at {address:08x}")
    return later[0]


def check_registers_and_dump(text, eip_expected, what):
    eip = re.search(r"^eip = ([0-9a-f]{8})$", text, re.M)
    esp = re.search(r"^esp = ([0-9a-f]{8})$", text, re.M)
    check(eip and int(eip.group(1), 16) == eip_expected,
          f"eip {eip.group(1) if eip else None} is not {what} {eip_expected:08x}")
    dump = re.search(r"^stack dump:\n([0-9a-f]{8}) ", text, re.M)
    check(esp and dump and dump.group(1) == esp.group(1), "stack dump does not start at esp")


def instruction_at(args, address, intel=False):
    syntax = ["-M", "intel"] if intel else []
    out = subprocess.run([tool(args.objdump, "objdump"), "-d", "--no-show-raw-insn", *syntax,
                          f"--start-address=0x{address:x}", f"--stop-address=0x{address + 16:x}",
                          os.path.join(args.bin, "crashlab.exe.debug")],
                         stdout=subprocess.PIPE, text=True, check=True).stdout
    for line in out.splitlines():
        m = re.match(r"^\s*([0-9a-f]+):\s+(.*)$", line)
        if m and int(m.group(1), 16) == address:
            return m.group(2).strip()
    raise Failure(f"objdump shows no instruction at {address:08x}")


def check_report(args, scenario, text):
    cls, message, function, return_address, created = CASES[scenario]
    check(header(text, "exception class") == cls,
          f"exception class {header(text, 'exception class')!r}, expected {cls!r}")
    msg = header(text, "exception message") or ""
    check(re.search(message, msg), f"exception message {msg!r} does not match {message!r}")
    threads = sections(text)
    check(threads, "the report has no thread section")
    first, body = threads[0]
    mains = [h for h, _ in threads if h.startswith("main thread")]
    check(len(mains) == 1, f"expected one main thread section, found {mains}")
    if created is None:
        check(first.startswith("main thread"), f"crashed thread first: {first!r}")
    else:
        check(not first.startswith("main thread"), f"the worker's section comes first: {first!r}")
        main_id = re.search(r"\(\$([0-9a-f]+)\)", mains[0]).group(1)
        creator = [line for line in body if line.startswith(">> created by")]
        if created:
            check(creator == [f">> created by main thread (${main_id}) at:"],
                  f"creator line {creator}, expected the main thread ${main_id}")
        else:
            check(not creator, f"a work item has no creator: {creator}")
    if scenario == "worker-tthread":
        check(first.endswith("::TThrowingThread):"), f"no thread class in {first!r}")
    frames = parse_frames(body)
    check(frames, f"no frame in the crashed thread's section {body}")
    top = frames[0][0]
    at = re.search(r"at address \$([0-9a-f]{8})", msg)
    if cls == "EAccessViolation":
        check(at and int(at.group(1), 16) == top, "the message's address is not the top frame")
    if function:
        # A call site is printed at the call's start, a fault at the faulting instruction.
        name, place = function_at(args, top)
        check(name.endswith(function), f"top frame {top:08x} lies in {name}, expected {function}")
        check(place.split(":")[0].endswith("CrashLabScenarios.cpp"), f"unit {place}")
        _, _, module, unit, line_no, proc = frames[0]
        check(module == "crashlab.exe", f"top frame's module {module!r}")
        check(os.path.basename(place.split(":")[0]) == unit and int(place.split(":")[1]) == line_no,
              f"top frame says {unit} line {line_no}, addr2line says {place}")
        check(proc.split(".")[-1] == function,
              f"top frame's procedure {proc!r}, expected {function}")
        check_disassembly(args, text, top)
    if return_address and function and cls != "BcbTermination":
        # The C++ throw site: the top frame is the call into the runtime's throw.
        insn = instruction_at(args, top, intel=True)
        check(re.match(r"call\s+[0-9a-f]+ <___wrap___cxa_throw>", insn),
              f"top frame {top:08x} is no throw site: {insn!r}")
        # The registers are the throw site's, as the call returns there.
        check_registers_and_dump(text, next_instruction(args, top),
                                 "the instruction after the throw")
    check_checksums(text, threads)
    if not return_address and function:
        # The registers and the stack dump are those of the fault.
        check_registers_and_dump(text, top, "the faulting instruction")
        insn = instruction_at(args, top)
        if scenario == "divide":
            check(insn.startswith("idiv"), f"faulting instruction {insn!r} is no division")
        elif "Write of" in msg:
            check(re.search(r",\s*\(%\w+\)$|,\s*-?(0x[0-9a-f]+)?\(%\w+\)$", insn),
                  f"faulting instruction {insn!r} writes no memory")
        elif "Read of" in msg:
            check(re.search(r"^\w+\s+-?(0x[0-9a-f]+)?\(%\w+\),", insn),
                  f"faulting instruction {insn!r} reads no memory")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("scenario")
    p.add_argument("--bin", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--wine-exec", required=True)
    p.add_argument("--addr2line", default="")
    p.add_argument("--objdump", default="")
    args = p.parse_args()
    s = args.scenario
    folder = os.path.join(args.work, s)
    if s == "silent":
        code, files = run(args, "crashlab.exe", s, folder)
        check(code == 0 and not files, f"silent class: exit {code}, files {files}")
    elif s in ("inactive", "disabled"):
        program = "crashlab_none.exe" if s == "inactive" else "crashlab_disabled.exe"
        code, _ = run(args, program, "state", folder)
        check(code == (0 if s == "inactive" else 1), f"library state {code}")
        # The runtime's own path; with no debugger to start, the fault ends the process.
        subprocess.run([args.wine_exec, "reg", "add", AEDEBUG, "/v", "Debugger", "/d", "", "/f"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120,
                       check=True)
        code, files = run(args, program, "write-av", folder)
        check(not files, f"a report appeared: {files}")
        check(code not in (0, 1), f"exit code {code} looks like the library's")
    elif s == "screenshot":
        # The report's handler saved the screenshot beside it and stated its size.
        code, files = run(args, "crashlab.exe", s, folder)
        check(code == 1, f"exit code {code}, expected 1 (closed after the report)")
        check(files == ["crashlab-screenshot.png", "crashlab-screenshot.txt"],
              f"expected the report and the screenshot, found {files}")
        with open(os.path.join(folder, "crashlab-screenshot.txt"), encoding="latin-1") as f:
            text = f.read()
        check_report(args, s, text)
        stated = header(text, "screenshot") or ""
        m = re.fullmatch(r"(\d+)x(\d+), saved", stated)
        check(m, f"the report states the screenshot as {stated!r}")
        pngcheck = shutil.which("pngcheck")
        check(pngcheck, "oracle pngcheck is missing (install pngcheck)")
        out = subprocess.run([pngcheck, "-v", os.path.join(folder, "crashlab-screenshot.png")],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        check(out.returncode == 0, f"pngcheck rejects the screenshot:\n{out.stdout}")
        size = re.search(r"(\d+) x (\d+) image", out.stdout)
        check(size and size.groups() == m.groups(),
              f"pngcheck sees {size.groups() if size else None}, the report says {m.groups()}")
        # The program's window (320 x 200 outside) is all the picture holds.
        check((int(m.group(1)), int(m.group(2))) == (320, 200),
              f"screenshot of {stated}, expected the window's 320x200")
    elif s == "same-twice":
        crcs = []
        for i in range(2):
            code, files = run(args, "crashlab.exe", "write-av", folder + str(i))
            check(code == 1 and len(files) == 1, f"run {i}: exit {code}, files {files}")
            with open(os.path.join(folder + str(i), files[0]), encoding="latin-1") as f:
                crcs.append(header(f.read(), "callstack crc"))
        check(crcs[0] and crcs[0] == crcs[1], f"call-stack checksums differ: {crcs}")
        check("$00000000" not in crcs[0], f"a call-stack checksum is zero: {crcs[0]}")
        # Another fault site gives another crash location and another stack.
        code, files = run(args, "crashlab.exe", "read-av", folder + "-other")
        check(code == 1 and len(files) == 1, f"other site: exit {code}, files {files}")
        with open(os.path.join(folder + "-other", files[0]), encoding="latin-1") as f:
            other = header(f.read(), "callstack crc")
        a, b = crcs[0].split(", "), (other or "").split(", ")
        check(len(b) == 3 and a[0] != b[0] and a[1] != b[1],
              f"checksums of two fault sites: {crcs[0]} and {other}")
    else:
        code, files = run(args, "crashlab.exe", s, folder)
        check(code == 1, f"exit code {code}, expected 1 (closed after the report)")
        check(files == [f"crashlab-{s}.txt"], f"expected exactly one report, found {files}")
        with open(os.path.join(folder, files[0]), encoding="latin-1") as f:
            text = f.read()
        check(text.count("exception number") == 1, "more than one report in the file")
        check_report(args, s, text)
    print(f"{s}: ok")


if __name__ == "__main__":
    try:
        main()
    except Failure as failure:
        print(f"FAILED {sys.argv[1]}: {failure}", file=sys.stderr)
        sys.exit(1)
