#!/usr/bin/python3
"""End to end under Wine: the probe sends bug reports to real DNS, SMTP and HTTP servers
(nsservers.py) in a network namespace this test makes and removes, so no packet can
leave the machine. Mail is read back with Python's email package, zips with zipfile,
uploads with the email package's multipart parser; simple MAPI goes to a mail client
library of the test's own. The crash lab (crashlab_box.exe beside the probe) sends its
report by itself with AutoSend and from its box's send button.
Usage: sende2e.py PROBE BUILD_DIR MAPI_PROVIDER_DLL"""
import base64
import io
import re
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.parse
import zipfile
from email import message_from_bytes, policy
from email.parser import BytesParser

here = os.path.dirname(os.path.abspath(__file__))
probe, build = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
mapi_provider = os.path.abspath(sys.argv[3])
domain = "example.test"
failures = []


def fail_now(text):
    print(f"FAIL: {text}")
    sys.exit(1)


def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what)
    if not cond:
        failures.append(what)


def winpath(path):
    return "Z:" + path.replace("/", "\\")


if os.geteuid() != 0:
    fail_now("the test makes a network namespace and needs root (ip netns)")
for tool in ("ip", "Xvfb", "xwininfo", "import", "pngcheck"):
    if not shutil.which(tool):
        fail_now(f"{tool} is missing")
if subprocess.run(["/usr/lib/wine/wine", "--version"], capture_output=True).returncode != 0:
    fail_now("32-bit Wine does not start here")

ns = f"qixsend{os.getpid()}"
work = tempfile.mkdtemp(prefix="qixsend")
srv = os.path.join(work, "srv")
os.mkdir(srv)
prefix = os.path.join(build, "wine-netns", "prefix")
os.makedirs(os.path.dirname(prefix), exist_ok=True)
wrapper = os.path.join(here, "netns-wine")
started = []
display = None


def in_ns(args, **kw):
    return [wrapper, ns, build, prefix, "env", f"DISPLAY={display}"] + args


def wine(args, timeout=120, env=()):
    # Files, not pipes: Wine's helper processes outlive the call and would hold a pipe open.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        r = subprocess.run(in_ns(list(env) + ["wine"] + args), stdout=out, stderr=err,
                           stdin=subprocess.DEVNULL, timeout=timeout)
        out.seek(0)
        err.seek(0)
        return subprocess.CompletedProcess(r.args, r.returncode, out.read(), err.read())


def cleanup():
    for p in reversed(started):
        if p.poll() is None:
            p.send_signal(signal.SIGTERM)
            try:
                p.wait(timeout=20)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait(timeout=10)
    for flag in ("-k", "-w"):
        subprocess.run(in_ns(["/usr/lib/wine/wineserver", flag]), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    subprocess.run(["ip", "netns", "del", ns], capture_output=True)
    shutil.rmtree(f"/etc/netns/{ns}", ignore_errors=True)
    shutil.rmtree(work, ignore_errors=True)


def start():
    global display
    if subprocess.run(["ip", "netns", "add", ns]).returncode != 0:
        fail_now("ip netns add failed")
    os.makedirs(f"/etc/netns/{ns}")
    with open(f"/etc/netns/{ns}/resolv.conf", "w") as f:
        f.write("nameserver 127.0.0.1\n")
    subprocess.run(["ip", "netns", "exec", ns, "ip", "link", "set", "lo", "up"], check=True)
    # Wine counts the computer online when an adapter has a gateway: a veth pair with
    # both ends inside the namespace, a documentation address and a default route that
    # ends at the pair's other end, so nothing can leave the namespace.
    for cmd in (["ip", "link", "add", "qixlan0", "type", "veth", "peer", "name", "qixlan1"],
                ["ip", "addr", "add", "192.0.2.10/24", "dev", "qixlan0"],
                ["ip", "link", "set", "qixlan1", "up"],
                ["ip", "link", "set", "qixlan0", "up"],
                ["ip", "route", "add", "default", "via", "192.0.2.1", "dev", "qixlan0"]):
        subprocess.run(["ip", "netns", "exec", ns] + cmd, check=True)
    started.append(subprocess.Popen(["ip", "netns", "exec", ns, "/usr/bin/python3",
                                     os.path.join(here, "nsservers.py"), srv, domain]))
    n = 140
    while os.path.exists(f"/tmp/.X{n}-lock") or os.path.exists(f"/tmp/.X11-unix/X{n}"):
        n += 1
    display = f":{n}"
    started.append(subprocess.Popen(["ip", "netns", "exec", ns, "Xvfb", display, "-nolisten",
                                     "tcp", "-screen", "0", "800x600x24"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    for _ in range(200):
        if os.path.exists(os.path.join(srv, "ready")) and os.path.exists(f"/tmp/.X11-unix/X{n}"):
            break
        time.sleep(0.1)
    else:
        fail_now("the servers or Xvfb did not come up in 20 s")
    if not os.path.exists(os.path.join(prefix, "system.reg")):
        wine(["wineboot", "-i"], timeout=300)
    subprocess.run(in_ns(["/usr/lib/wine/wineserver", "-p"]), stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    # The registered mail program is the probe itself, recording its command line.
    r = wine(["reg", "add", r"HKCR\mailto\shell\open\command", "/ve", "/f", "/d",
              f'"{winpath(probe)}" --capture {winpath(os.path.join(work, "mailto.txt"))} "%1"'])
    if r.returncode != 0:
        fail_now("could not register the mailto capture: " + r.stderr.decode(errors="replace"))
    # Likewise the browser, for the page an upload's answer names.
    r = wine(["reg", "add", r"HKCR\http\shell\open\command", "/ve", "/f", "/d",
              f'"{winpath(probe)}" --capture {winpath(os.path.join(work, "browser.txt"))} "%1"'])
    if r.returncode != 0:
        fail_now("could not register the browser capture: " + r.stderr.decode(errors="replace"))


def send(*args, env=()):
    for f in ("mailto.txt",):
        if os.path.exists(os.path.join(work, f)):
            os.remove(os.path.join(work, f))
    before = set(os.listdir(srv))
    t0 = time.monotonic()
    r = wine([probe] + list(args), timeout=180, env=env)
    elapsed = time.monotonic() - t0
    out = r.stdout.decode(errors="replace")
    print("  probe " + " ".join(args) + f"  ({elapsed:.1f} s)\n    " + out.replace("\n", "\n    "))
    new = sorted(set(os.listdir(srv)) - before - {"auth.log", "dns.log"})
    # The mailto command runs on; wait for its record, bounded (a loaded machine takes a
    # while to start another Wine process).
    if "via: mailto" in out:
        for _ in range(300):
            if os.path.exists(os.path.join(work, "mailto.txt")):
                break
            time.sleep(0.1)
    return out, new, elapsed


def read(name):
    with open(os.path.join(srv, name), "rb") as f:
        return f.read()


def mailto_url():
    path = os.path.join(work, "mailto.txt")
    if not os.path.exists(path):
        return None
    line = open(path, "rb").read().decode("latin-1")
    start = line.find("mailto:")
    return line[start:].rstrip().rstrip('"') if start >= 0 else None


REPORT_LINE = "exception message : Access violation at address 0041A2B3"
MAIL = ["MailAddr=dev@" + domain, "MailViaMapi=0"]


def test_direct():
    local = os.path.join(work, "local-bugreport.txt")
    with open(local, "w") as f:
        f.write("earlier report\r\n")
    extra = os.path.join(work, "extra.bin")
    with open(extra, "wb") as f:
        f.write(bytes(range(256)) * 5)
    empty = os.path.join(work, "empty.bin")
    open(empty, "wb").close()
    out, new, _ = send("--silent", "--screenshot", *MAIL, "MailAsSmtpServer=1", "MailViaMailto=0",
                       "BugRepFile=" + winpath(local), "BugRepZip=report.zip",
                       "ScrShotZip=report.zip", "ScrShotDepth=4",
                       f"Attach:{winpath(extra)}=extra.bin||Extra", f"Attach:{winpath(empty)}=empty.bin||")
    check("via: network" in out and "marked sent" in out, "direct SMTP: handed over and marked sent")
    emls = [n for n in new if n.endswith(".eml")]
    check(len(emls) == 1, "direct SMTP: exactly one message stored")
    if not emls:
        return
    env = read(emls[0][:-4] + ".env").decode()
    check("port 25" in env and f"rcpt dev@{domain}" in env, "direct SMTP: went to the MX host's port 25 for the recipient")
    msg = message_from_bytes(read(emls[0]), policy=policy.default)
    check(not msg.defects, "direct SMTP: message parses without defects")
    check(msg["Subject"] == "bug report", "direct SMTP: subject decodes to the default")
    check(msg["From"] == f"qixExcept <dev@{domain}>", "direct SMTP: sender made from the recipient")
    sent_at = msg["Date"].datetime if msg["Date"] else None
    check(sent_at is not None and abs(sent_at.timestamp() - time.time()) < 600,
          f"direct SMTP: Date parses and is now ({msg['Date']})")
    check(re.fullmatch(r"<[0-9a-f]{16}@qixExcept>", str(msg["Message-ID"])) is not None,
          f"direct SMTP: Message-ID {msg['Message-ID']}")
    parts = {p.get_filename(): p for p in msg.iter_attachments()}
    body = msg.get_body(preferencelist=("plain",))
    check(body is not None and "please find the bug report attached" in body.get_content(),
          "direct SMTP: body text")
    check(set(parts) == {"report.zip", "extra.bin"}, f"direct SMTP: attachments {sorted(parts)}, empty file left out")
    if "extra.bin" in parts:
        check(parts["extra.bin"].get_payload(decode=True) == bytes(range(256)) * 5, "direct SMTP: extra file byte for byte")
    if "report.zip" in parts:
        z = zipfile.ZipFile(io.BytesIO(parts["report.zip"].get_payload(decode=True)))
        check(z.testzip() is None and sorted(z.namelist()) == ["bugreport.txt", "screenshot.png"],
              f"direct SMTP: zip opens with zipfile, members {sorted(z.namelist())}")
        text = z.read("bugreport.txt").decode("latin-1") if "bugreport.txt" in z.namelist() else ""
        check(text.startswith("earlier report\r\n") and REPORT_LINE in text,
              "direct SMTP: the bug report file copy with this report appended")
        png = z.read("screenshot.png") if "screenshot.png" in z.namelist() else b""
        with tempfile.NamedTemporaryFile(suffix=".png") as f:
            f.write(png)
            f.flush()
            r = subprocess.run(["pngcheck", f.name], capture_output=True, text=True)
        check(r.returncode == 0, f"direct SMTP: pngcheck accepts the screenshot: {r.stdout.strip()}")
    check(not os.path.exists(local), "direct SMTP: the local bug report file is deleted after the send")


def test_background():
    out, new, _ = send("--silent", "--background", *MAIL, "MailAsSmtpServer=1", "MailViaMailto=0",
                       "AttachBugRepFile=0")
    check("via: thread" in out and len([n for n in new if n.endswith(".eml")]) == 1,
          "background send: the thread delivers one message")


def test_two_domains():
    out, new, _ = send("--silent", f"MailAddr=dev@{domain}; ops@second.{domain}", "MailViaMapi=0",
                       "MailAsSmtpServer=1", "MailViaMailto=0", "AttachBugRepFile=0")
    envs = sorted(read(n).decode() for n in new if n.endswith(".env"))
    rcpts = sorted(line for e in envs for line in e.splitlines() if line.startswith("rcpt"))
    check("via: network" in out and len(envs) == 2, "two recipient domains: one message each")
    check(rcpts == [f"rcpt dev@{domain}", f"rcpt ops@second.{domain}"],
          f"two recipient domains: one session per domain with its recipient {rcpts}")
    asked = read("dns.log").decode().splitlines()
    check(f"MX {domain}" in asked and f"MX second.{domain}" in asked,
          "two recipient domains: the exchanger of each domain was looked up")


def relay(port, password="s3cret", *extra):
    return ["MailAsSmtpClient=1", "SmtpServer=127.0.0.1", f"SmtpPort={port}",
            "SmtpAccount=relay", f"SmtpPassword={password}", "AttachBugRepFile=0"] + list(extra)


def attached_texts(msg):
    """Every attachment's text, zip members opened with zipfile."""
    texts = []
    for part in msg.iter_attachments():
        data = part.get_payload(decode=True) or b""
        if data.startswith(b"PK"):
            z = zipfile.ZipFile(io.BytesIO(data))
            texts += [z.read(n).decode("latin-1") for n in z.namelist()]
        else:
            texts.append(data.decode("latin-1"))
    return texts


def test_autosend():
    """crashlab with AutoSend and nothing else: no box, the report goes out by itself
    and the program closes once the send is done."""
    lab = os.path.join(os.path.dirname(probe), "crashlab_box.exe")
    if not os.path.isfile(lab):
        fail_now(f"{lab} was not built")
    folder = os.path.join(work, "lab")
    os.makedirs(folder, exist_ok=True)
    settings = ["AutoSend=true", "GnShowCfg=4", "AutoClose=1", "UploadViaHttp=false",
                "MailAsSmtpServer=true", "MailViaMailto=false", "MailViaMapi=false",
                f"MailAddr=dev@{domain}", "MailSubj=lab crash"]
    before = set(os.listdir(srv))
    args = [lab, "write-av", winpath(folder)]
    for s in settings:
        args += ["--set", s]
    r = wine(args, timeout=180)
    check(r.returncode == 1, f"AutoSend: the lab closes with exit code 1 (got {r.returncode})")
    emls = sorted(n for n in set(os.listdir(srv)) - before if n.endswith(".eml"))
    check(len(emls) == 1, f"AutoSend: one message arrived before the program ended ({emls})")
    if not emls:
        return
    env = read(emls[0][:-4] + ".env").decode()
    check(f"rcpt dev@{domain}" in env, "AutoSend: sent to the configured address")
    msg = message_from_bytes(read(emls[0]), policy=policy.default)
    check(not msg.defects and msg["Subject"] == "lab crash", "AutoSend: message parses, subject")
    reports = [t for t in attached_texts(msg) if "exception class" in t]
    check(len(reports) == 1 and "EAccessViolation" in reports[0] and
          "crashlab_box.exe" in reports[0] and "Write of address" in reports[0],
          "AutoSend: the lab's access violation report is attached")


def test_box_send():
    """The box's send button: the report goes out while the box stays; close ends."""
    lab = os.path.join(os.path.dirname(probe), "crashlab_box.exe")
    boxprobe = os.path.join(os.path.dirname(probe), "boxprobe.exe")
    for exe in (lab, boxprobe):
        if not os.path.isfile(exe):
            fail_now(f"{exe} was not built")
    folder = os.path.join(work, "boxlab")
    os.makedirs(folder, exist_ok=True)
    settings = ["UploadViaHttp=false", "MailAsSmtpServer=true", "MailViaMailto=false",
                "MailViaMapi=false", f"MailAddr=dev@{domain}", "MailSubj=sent from the box",
                "SendInBackgr=true"]
    args = [lab, "write-av", winpath(folder)]
    for s in settings:
        args += ["--set", s]
    before = set(os.listdir(srv))
    with tempfile.TemporaryFile() as out:
        p = subprocess.Popen(in_ns(["wine"] + args), stdout=out, stderr=out,
                             stdin=subprocess.DEVNULL)
        try:
            def buttons():
                r = wine([boxprobe, "dump", "60"], timeout=120)
                found = {}
                for line in r.stdout.decode(errors="replace").splitlines():
                    parts = line.split(" ", 7)
                    if parts[0] == "child" and parts[1] == "Button" and len(parts) > 7:
                        x, y, w, h = (int(v) for v in parts[3:7])
                        found[parts[7]] = (x + w // 2, y + h // 2)
                return found

            def click(at):
                subprocess.run(in_ns(["xdotool", "mousemove", str(at[0]), str(at[1]), "click", "1"]),
                               check=True, timeout=30)

            found = buttons()
            check("send bug report" in found, f"box send: the box shows a send button {sorted(found)}")
            if "send bug report" not in found:
                return
            click(found["send bug report"])
            emls = []
            for _ in range(300):
                emls = [n for n in set(os.listdir(srv)) - before if n.endswith(".eml")]
                if emls:
                    break
                time.sleep(0.2)
            check(len(emls) == 1, "box send: one message arrived while the box is up")
            check(p.poll() is None, "box send: the program still runs (the box stays)")
            if emls:
                time.sleep(0.5)
                msg = message_from_bytes(read(emls[0]), policy=policy.default)
                reports = [t for t in attached_texts(msg) if "exception class" in t]
                check(msg["Subject"] == "sent from the box" and len(reports) == 1 and
                      "crashlab_box.exe" in reports[0], "box send: the lab's report is attached")
            found = buttons()
            if "close bug report" in found:
                click(found["close bug report"])
            check(p.wait(timeout=60) == 1, "box send: close ends the program with exit code 1")
        finally:
            if p.poll() is None:
                p.kill()
                p.wait(timeout=30)


def test_relay():
    out, new, _ = send("--silent", *MAIL, *relay(2525), "MailFrom=Crash Lab <lab@example.org>")
    emls = [n for n in new if n.endswith(".eml")]
    check("via: network" in out and len(emls) == 1, "relay: AUTH LOGIN accepted, one message")
    if emls:
        env = read(emls[0][:-4] + ".env").decode()
        check("port 2525" in env and "from lab@example.org" in env, "relay: envelope sender from MailFrom")
    log = read("auth.log").decode() if os.path.exists(os.path.join(srv, "auth.log")) else ""
    check("LOGIN b'relay' ok" in log, "relay: the server saw AUTH LOGIN with the account")


def test_relay_wrong_password():
    out, new, _ = send(*MAIL, *relay(2525, "wrong"))
    check(not [n for n in new if n.endswith(".eml")], "relay, wrong password: nothing stored")
    check("refused the account or password" in out, "relay, wrong password: the authentication failure is named")
    check("via: mailto" in out, "relay, wrong password: falls back to mailto")
    url = mailto_url()
    check(url is not None, "relay, wrong password: the registered mailto command was started")
    if url:
        parsed = urllib.parse.urlsplit(url)
        query = urllib.parse.parse_qs(parsed.query)
        check(parsed.path == f"dev@{domain}", "mailto: recipient")
        check(query.get("subject") == ["bug report"], "mailto: subject")
        check(REPORT_LINE in query.get("body", [""])[0], "mailto: the whole report as body")


def test_bad_servers():
    for port, what, expect, min_s in ((2600, "closes early", "did not answer", 0),
                                      (2601, "answers 554", "refused the connection", 0),
                                      (2602, "never answers", "did not answer", 6.5),
                                      (2603, "never completes the connection", "no connection", 6.5)):
        out, new, elapsed = send(*MAIL, *relay(port))
        check(expect in out and "via: mailto" in out and mailto_url() is not None,
              f"relay that {what}: '{expect}', then mailto")
        check(min_s <= elapsed < 60, f"relay that {what}: ends in {elapsed:.1f} s")
    out, _, _ = send(*MAIL, *relay(2602), "MailViaMailto=0")
    check("failure message: Sorry, sending the bug report didn't work." in out and "via: nothing" in out,
          "every channel fails, no mailto: the failure message")


def test_progress_window():
    """A send that is not silent shows the progress window while the server keeps quiet."""
    with tempfile.TemporaryFile() as out:
        p = subprocess.Popen(in_ns(["wine", probe] + MAIL + relay(2602, "s3cret", "MailViaMailto=0")),
                             stdout=out, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        seen = False
        for _ in range(60):
            tree = subprocess.run(in_ns(["xwininfo", "-root", "-tree"]), capture_output=True,
                                  text=True, timeout=30).stdout
            if '"Sending bug report..."' in tree:
                seen = True
                break
            time.sleep(0.1)
        if seen:
            time.sleep(1)
            shot = os.path.join(build, "sende2e-progress.png")
            subprocess.run(in_ns(["import", "-window", "root", shot]), capture_output=True, timeout=30)
            print(f"  screenshot: {shot}")
        p.wait(timeout=60)
        out.seek(0)
        text = out.read().decode(errors="replace")
    check(seen, "progress window titled \"Sending bug report...\" is shown")
    check("failure message:" in text, "progress window: the send still ends with the failure message")
    tree = subprocess.run(in_ns(["xwininfo", "-root", "-tree"]), capture_output=True, text=True,
                          timeout=30).stdout
    check('"Sending bug report..."' not in tree, "progress window: closed after the send")


def test_abort():
    """The progress window's button, clicked as a user would, stops a send to a quiet server:
    no fall-back to the mail program and no failure message follow."""
    if os.path.exists(os.path.join(work, "mailto.txt")):
        os.remove(os.path.join(work, "mailto.txt"))
    with tempfile.TemporaryFile() as out:
        p = subprocess.Popen(in_ns(["wine", probe] + MAIL + relay(2602)), stdout=out,
                             stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        window = ""
        for _ in range(100):
            found = subprocess.run(in_ns(["xdotool", "search", "--name", "^Sending bug report"]),
                                   capture_output=True, text=True, timeout=30).stdout.split()
            if found:
                window = found[0]
                break
            time.sleep(0.1)
        if window:
            geometry = subprocess.run(in_ns(["xdotool", "getwindowgeometry", "--shell", window]),
                                      capture_output=True, text=True, timeout=30).stdout
            size = dict(line.split("=") for line in geometry.split())
            # The button stands right-aligned under the bar, 12 pixels above the bottom.
            x, y = int(size["WIDTH"]) - 50, int(size["HEIGHT"]) - 26
            subprocess.run(in_ns(["xdotool", "mousemove", "--window", window, str(x), str(y),
                                  "click", "1"]), capture_output=True, timeout=30)
        p.wait(timeout=60)
        out.seek(0)
        text = out.read().decode(errors="replace")
    print("    " + text.replace("\n", "\n    "))
    check(window != "", "abort: the progress window appeared")
    check("via: aborted" in text, "abort: the send reports that the user stopped it")
    check("failure message" not in text, "abort: no failure message")
    time.sleep(1)
    check(not os.path.exists(os.path.join(work, "mailto.txt")), "abort: the mail program is not started")


MAPI_CLIENT = r"HKLM\Software\Clients\Mail"


def test_mapi():
    """Simple MAPI through the system's mapi32 to the registered mail client's library."""
    record = os.path.join(work, "mapi")
    os.makedirs(record, exist_ok=True)
    for cmd in (["reg", "add", MAPI_CLIENT, "/ve", "/f", "/d", "QixLab Mail"],
                ["reg", "add", MAPI_CLIENT + r"\QixLab Mail", "/v", "DLLPath", "/f", "/d",
                 winpath(mapi_provider)]):
        if wine(cmd).returncode != 0:
            fail_now("could not register the MAPI mail client")
    local = os.path.join(work, "mapi-bugreport.txt")

    def mapi_send(result, *args):
        for name in os.listdir(record):
            os.remove(os.path.join(record, name))
        out, _, _ = send(*args, "MailViaMapi=1", env=("env", f"QIX_MAPI_RECORD={winpath(record)}",
                                                     f"QIX_MAPI_RESULT={result}"))
        path = os.path.join(record, "mapi.txt")
        return out, open(path, encoding="latin-1").read() if os.path.exists(path) else None

    try:
        with open(local, "w") as f:
            f.write("earlier report\r\n")
        out, seen = mapi_send(0, "--silent", f"MailAddr=Dev Team <dev@{domain}>; ops@{domain}",
                              "MailViaMailto=0", "BugRepFile=" + winpath(local),
                              "BugRepZip=report.zip")
        check("via: mapi" in out and "marked sent" in out, "MAPI: sent through the mail client")
        lines = (seen or "").splitlines()
        check("flags 0" in lines, "MAPI: silent with recipients asks for no dialog")
        check(f"recipient 1|Dev Team|SMTP:dev@{domain}" in lines and
              f"recipient 1|ops@{domain}|SMTP:ops@{domain}" in lines,
              f"MAPI: both recipients as 'to' with SMTP addresses {[l for l in lines if l.startswith('recipient')]}")
        check("subject bug report" in lines, "MAPI: the subject")
        check("file -1|report.zip" in lines, "MAPI: the zip attached at position -1")
        zpath = os.path.join(record, "report.zip")
        if os.path.exists(zpath):
            z = zipfile.ZipFile(zpath)
            text = z.read("bugreport.txt").decode("latin-1") if "bugreport.txt" in z.namelist() else ""
            check(z.testzip() is None and REPORT_LINE in text,
                  "MAPI: the attached zip opens with zipfile and holds the report")
        check(not os.path.exists(local), "MAPI: the local bug report file is deleted after the send")

        out, seen = mapi_send(1, *MAIL[:1], "AttachBugRepFile=0")
        check(seen is not None and "flags 9" in seen.splitlines(),
              "MAPI, not silent: logon UI and dialog asked for")
        check("via: mapi-cancelled" in out and "failure message" not in out and
              mailto_url() is None, "MAPI cancelled by the user: no mailto, no failure message")

        out, seen = mapi_send(2, *MAIL[:1], "AttachBugRepFile=0")
        check(seen is not None and "via: mailto" in out and mailto_url() is not None,
              "MAPI failure: the mailto fall-back follows")

        os.remove(os.path.join(record, "mapi.txt"))
        out, _, _ = send("--silent", *MAIL, "MailViaMailto=0", "AttachBugRepFile=0",
                         env=("env", f"QIX_MAPI_RECORD={winpath(record)}"))
        check(not os.path.exists(os.path.join(record, "mapi.txt")),
              "MailViaMapi off: the mail client is not asked")
    finally:
        wine(["reg", "delete", MAPI_CLIENT, "/f"])


def test_upload():
    out, new, _ = send("--silent", "--screenshot", *MAIL, "UploadViaHttp=1",
                       "HttpServer=http://127.0.0.1/upload/report.php", "HttpPort=8080",
                       "HttpAccount=user", "HttpPassword=pa:ss", "Field:Version=1.2.3", "AttachBugRepFile=0")
    posts = [n for n in new if n.endswith(".post")]
    check("via: network" in out and len(posts) == 1, "upload: one POST stored")
    if not posts:
        return
    head = read(posts[0][:-5] + ".head").decode()
    lines = head.splitlines()
    hdr = {l.partition(":")[0].lower(): l.partition(":")[2].strip() for l in lines[1:] if ":" in l}
    check(lines[0] == "POST /upload/report.php", "upload: request target")
    check(base64.b64decode(hdr.get("authorization", "Basic ").split()[1]) == b"user:pa:ss",
          "upload: basic authorization")
    check(hdr.get("from") == f"<dev@{domain}>", "upload: From header")
    body = read(posts[0])
    check(int(hdr.get("content-length", -1)) == len(body), "upload: Content-Length matches the body")
    msg = BytesParser(policy=policy.HTTP).parsebytes(
        b"Content-Type: " + hdr["content-type"].encode() + b"\r\n\r\n" + body)
    check(not msg.defects, "upload: multipart parses without defects")
    fields = {}
    for part in msg.iter_parts():
        params = dict(part.get_params(header="content-disposition")[1:])
        fields[params.get("name")] = (params.get("filename"), part.get_payload(decode=True))
    check(fields.get("Version") == (None, b"1.2.3"), "upload: field from the settings")
    check(fields.get("MailFrom") == (None, f"qixExcept <dev@{domain}>".encode()), "upload: MailFrom field")
    br = fields.get("BugReport", (None, b""))
    check(br[0] == "bugreport.txt" and REPORT_LINE.encode() in br[1], "upload: bug report file")
    ss = fields.get("ScreenShot", (None, b""))
    check(ss[0] == "screenshot.png" and ss[1].startswith(b"\x89PNG"), "upload: screenshot file")
    out, new, _ = send(*MAIL, "UploadViaHttp=1", "HttpServer=http://127.0.0.1/upload/report.php",
                       "HttpPort=8081", "AttachBugRepFile=0")
    check("answer 500" in out and "via: mailto" in out, "upload answered 500: named, then mailto")
    out, new, _ = send("--silent", *MAIL, "UploadViaHttp=1", "MailViaMailto=0",
                       "HttpServer=http://127.0.0.1/upload/report.php", "HttpPort=8082",
                       "AttachBugRepFile=0")
    browser = os.path.join(work, "browser.txt")
    for _ in range(100):
        if os.path.exists(browser):
            break
        time.sleep(0.1)
    opened = open(browser, "rb").read().decode("latin-1") if os.path.exists(browser) else ""
    check("via: network" in out, "upload answered 302: counts as delivered")
    check("http://127.0.0.1:8080/thanks" in opened, "upload answered 302: the Location opened in the browser")


try:
    start()
    for t in (test_autosend, test_box_send, test_direct, test_two_domains, test_background,
              test_relay, test_relay_wrong_password, test_upload, test_bad_servers,
              test_progress_window, test_abort, test_mapi):
        print(f"--- {t.__name__}")
        t()
finally:
    cleanup()
check(all(p.poll() is not None for p in started), "every server process has ended")
listening = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout
check(ns not in listening, "the namespace and everything listening in it are gone")
if failures:
    print(f"{len(failures)} check(s) failed")
    sys.exit(1)
print("all checks passed")
