#!/usr/bin/env python3
"""The print button on a real printer queue: the test starts its own CUPS daemon on a
loopback port with a private configuration, adds a PDF printer (cups-pdf) as the default,
runs crashlab_box under Wine against it, presses print and confirms the print dialog.
The PDF is turned into text by pdftotext, which must hold the report's header lines
(the report saved by the same run is the reference). The daemon, its files and the
queue's cups-pdf configuration are removed afterwards.
Usage: check_print.py --bin DIR --work DIR --wine-exec PATH --shots DIR"""
import argparse
import os
import re
import shutil
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_box  # noqa: E402
from check_box import Failure, check  # noqa: E402

PPD = "/usr/share/ppd/cups-pdf/CUPS-PDF_noopt.ppd"
BACKEND = "/usr/lib/cups/backend/cups-pdf"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class PrivateCups:
    def __init__(self, root):
        for tool in ("cupsd", "lpadmin", "pdftotext", "gs"):
            check(shutil.which(tool) or os.path.exists(f"/usr/sbin/{tool}"),
                  f"{tool} is missing (install cups, cups-client, poppler-utils)")
        check(os.path.exists(BACKEND) and os.path.exists(PPD),
              "the PDF printer is missing (install printer-driver-cups-pdf)")
        check(os.geteuid() == 0, "cups-pdf runs only as root; run the test as root")
        self.root = root
        self.queue = f"qixpdf{os.getpid()}"
        self.pdf = os.path.join(root, "pdf")
        self.port = free_port()
        self.server = f"127.0.0.1:{self.port}"
        self.conf = f"/etc/cups/cups-pdf-{self.queue}.conf"
        self.daemon = None

    def __enter__(self):
        for d in ("spool", "cache", "state", "log", "pdf"):
            os.makedirs(os.path.join(self.root, d), exist_ok=True)
        os.chmod(self.root, 0o755)
        with open(os.path.join(self.root, "cups-files.conf"), "w") as f:
            f.write(f"ServerRoot {self.root}\nRequestRoot {self.root}/spool\n"
                    f"CacheDir {self.root}/cache\nStateDir {self.root}/state\n"
                    f"TempDir {self.root}/spool\nErrorLog {self.root}/log/error_log\n"
                    f"AccessLog {self.root}/log/access_log\nPageLog {self.root}/log/page_log\n"
                    "ServerBin /usr/lib/cups\nDataDir /usr/share/cups\n"
                    "User lp\nGroup lp\nSystemGroup root\n")
        with open(os.path.join(self.root, "cupsd.conf"), "w") as f:
            f.write(f"Listen {self.server}\nLogLevel info\nBrowsing No\nWebInterface No\n"
                    "DefaultAuthType None\n<Location />\n  Order allow,deny\n  Allow all\n"
                    "</Location>\n<Location /admin>\n  Order allow,deny\n  Allow all\n"
                    "</Location>\n<Policy default>\n  <Limit All>\n    Order deny,allow\n"
                    "  </Limit>\n</Policy>\n")
        # The queue's own cups-pdf settings: the PDF lands in this test's folder.
        with open(self.conf, "w") as f:
            f.write(f"Out {self.pdf}\nGrp root\n")
        self.daemon = subprocess.Popen(["/usr/sbin/cupsd", "-f", "-c",
                                        os.path.join(self.root, "cupsd.conf"), "-s",
                                        os.path.join(self.root, "cups-files.conf")],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(100):
            with socket.socket() as s:
                if s.connect_ex(("127.0.0.1", self.port)) == 0:
                    break
            time.sleep(0.1)
        else:
            raise Failure("the private cupsd did not listen")
        env = dict(os.environ, CUPS_SERVER=self.server)
        for args in (["-p", self.queue, "-E", "-v", f"cups-pdf:/{self.queue}", "-P", PPD],
                     ["-d", self.queue]):
            r = subprocess.run(["lpadmin"] + args, env=env, capture_output=True, text=True)
            check(r.returncode == 0, f"lpadmin {args}: {r.stderr}")
        return self

    def __exit__(self, *exc):
        if self.daemon and self.daemon.poll() is None:
            self.daemon.terminate()
            try:
                self.daemon.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.daemon.kill()
                self.daemon.wait(timeout=10)
        if os.path.exists(self.conf):
            os.remove(self.conf)

    def pdfs(self):
        return [os.path.join(self.pdf, n) for n in os.listdir(self.pdf) if n.endswith(".pdf")]


def xdotool(lab, *args):
    return subprocess.run(["xdotool"] + list(args), env=lab.env, capture_output=True, text=True)


def print_case(lab, cups):
    lab.start("write-av", "AutoSave=true", extra_env={"CUPS_SERVER": cups.server})
    box = lab.probe()
    lab.press(box.button("print bug report"))
    dialog = None
    for _ in range(100):
        r = xdotool(lab, "search", "--name", "^Print$")
        ids = r.stdout.split()
        if ids:
            dialog = ids[0]
            break
        time.sleep(0.2)
    check(dialog, "no print dialog appeared")
    time.sleep(1)
    geometry = xdotool(lab, "getwindowgeometry", dialog).stdout
    m = re.search(r"Position: (\d+),(\d+).*?Geometry: (\d+)x(\d+)", geometry, re.S)
    check(m, f"dialog geometry: {geometry}")
    x, y, w, h = (int(v) for v in m.groups())
    shot = os.path.join(lab.args.shots, "print_dialog.png")
    os.makedirs(lab.args.shots, exist_ok=True)
    subprocess.run(["import", "-window", dialog, shot], env=lab.env, check=True)
    print(f"screenshot: {shot}")
    # The printer the dialog offers is the queue's; Enter prints (the keyboard follows
    # the pointer without a window manager).
    xdotool(lab, "mousemove", str(x + 5), str(y + 5), "key", "Return")
    deadline = time.time() + 120
    while time.time() < deadline and not cups.pdfs():
        time.sleep(0.5)
    check(cups.pdfs(), "no PDF came out of the queue; its log: " +
          open(os.path.join(cups.root, "log", "error_log")).read()[-2000:])
    time.sleep(1)  # the backend writes the file, then closes it
    lab.press(lab.probe().button("close bug report"))
    check(lab.finish() == 1, "close after printing ends with exit code 1")
    text = subprocess.run(["pdftotext", "-layout", cups.pdfs()[0], "-"], capture_output=True,
                          text=True).stdout
    report = lab.report_file("write-av")
    # Long lines wrap at the page width, even inside a word: compare without blanks.
    squeeze = lambda s: "".join(s.split())  # noqa: E731
    printed = squeeze(text)
    header_lines = report.split("\r\n\r\n")[0].split("\r\n")
    check(len(header_lines) > 10, "the saved report has its header")
    missing = [l for l in header_lines if squeeze(l) not in printed]
    check(not missing, f"header lines missing from the PDF text: {missing}\n--- pdf text:\n{text[:2000]}")
    print(f"the PDF holds all {len(header_lines)} header lines")
    page = os.path.join(lab.args.shots, "print_page")
    subprocess.run(["pdftoppm", "-png", "-r", "60", "-f", "1", "-l", "1", "-singlefile",
                    cups.pdfs()[0], page], check=True)
    print(f"screenshot: {page}.png")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bin", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--wine-exec", required=True)
    parser.add_argument("--shots", required=True)
    args = parser.parse_args()
    lab = check_box.Lab(args, "print")
    try:
        with PrivateCups(os.path.join(lab.folder, "cups")) as cups:
            print_case(lab, cups)
    except Failure as e:
        print(f"print: FAIL: {e}")
        return 1
    finally:
        lab.stop()
    print("print: ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
