#!/usr/bin/env python3
"""Our stack trace against dbghelp's StackWalk on the same stopped thread, under Wine.

Both tracers see a worker that waits at the bottom of a known chain of eight functions
(tests/crashreport/analysis/tracechain), once built with frame pointers and once with
-fomit-frame-pointer. Each frame is named by i686-w64-mingw32-addr2line; a tracer gets a
frame right when the chain's next expected function appears in order.
Usage: bench/stackwalk_compare.py [BUILD_DIR]   (default build/win32)
Target: every frame of the chain right in both builds.
"""
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXPECTED = ["chain::Bottom2", "chain::Bottom1", "chain::Mid2", "chain::Mid1", "chain::Top2",
            "chain::Top1", "chain::RunChain", "chain::Worker"]


def name_of(debug, address):
    out = subprocess.run(["i686-w64-mingw32-addr2line", "-f", "-e", debug, "%x" % address],
                         capture_output=True, text=True, check=True).stdout.splitlines()
    function = re.sub(r"@[0-9]+$", "", out[0])
    if function.startswith("_Z"):
        function = subprocess.run(["c++filt", function], capture_output=True, text=True,
                                  check=True).stdout.strip()
    return function.split("(")[0]


def right(names):
    k = 0
    for n in names:
        if k < len(EXPECTED) and n == EXPECTED[k]:
            k += 1
    return k


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build/win32"))
    targets = [f"qix_stackwalk_compare_{v}" for v in ("fp", "nofp")]
    subprocess.run(["cmake", "--build", build, "-j2", "--target", *targets], check=True,
                   stdout=subprocess.DEVNULL)
    env = dict(os.environ, QIX_BUILD_DIR=build)
    subprocess.run([os.path.join(ROOT, "scripts/wine-session"), "start", build], check=True,
                   env=env)
    try:
        print(f"{'build':<8} {'tracer':<8} frames right / expected")
        for variant, target in zip(("fp", "nofp"), targets):
            exe = os.path.join(build, "bin", target + ".exe")
            out = subprocess.run([os.path.join(ROOT, "scripts/wine-exec"), exe],
                                 capture_output=True, text=True, env=env, timeout=300).stdout
            frames = {"OURS": [], "DBGHELP": []}
            for line in out.replace("\r", "").splitlines():
                kind, _, address = line.partition(" ")
                if kind in frames:
                    frames[kind].append(int(address, 16))
            for kind, addresses in frames.items():
                names = [name_of(exe + ".debug", a) for a in addresses]
                tracer = "ours" if kind == "OURS" else "dbghelp"
                print(f"{variant:<8} {tracer:<8} {right(names)} / {len(EXPECTED)}"
                      f"   ({len(addresses)} frames)")
    finally:
        subprocess.run([os.path.join(ROOT, "scripts/wine-session"), "stop", build], env=env)


if __name__ == "__main__":
    main()
