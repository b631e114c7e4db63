#!/usr/bin/env python3
"""The exception box as a person meets it: crashlab_box (or crashlab_console) runs one
scenario under Wine, xdotool clicks and types, boxprobe.exe reads the box back through
window messages (child windows, tab items, list-view cells).

Oracles: the exit codes the library promises (1 close, 2 restart, 0 the program went
on), the files on disk read here, the report's own lines for the list rows, Python's
html.parser for the CGI page, the test's own clock for the restart hand-over.
Usage: check_box.py CASE --bin DIR --work DIR --wine-exec PATH --shots DIR"""
import argparse
import html.parser
import os
import re
import shutil
import subprocess
import sys
import time


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


class Lab:
    def __init__(self, args, case):
        self.args = args
        self.case = case
        self.folder = os.path.join(args.work, case)
        if os.path.isdir(self.folder):
            shutil.rmtree(self.folder)
        os.makedirs(self.folder)
        build = os.environ.get("QIX_BUILD_DIR", os.path.dirname(args.bin))
        here = os.path.dirname(os.path.abspath(args.wine_exec))
        subprocess.run([os.path.join(here, "wine-session"), "start", build], check=True,
                       stdout=subprocess.DEVNULL)
        env = dict(line.split("=", 1) for line in
                   open(os.path.join(build, "wine", "session.env")).read().split())
        self.env = dict(os.environ, DISPLAY=env["DISPLAY"], QIX_BUILD_DIR=build)
        for tool in ("xdotool", "import"):
            check(shutil.which(tool), f"{tool} is missing (install xdotool, imagemagick)")
        self.process = None

    def winfolder(self):
        return "Z:" + os.path.abspath(self.folder).replace("/", "\\")

    def start(self, scenario, *settings, program="crashlab_box.exe", extra_env=None):
        exe = os.path.join(self.args.bin, program)
        check(os.path.isfile(exe), f"{exe} was not built")
        command = [self.args.wine_exec, exe, scenario, self.winfolder()]
        for s in settings:
            command += ["--set", s]
        self.out = open(os.path.join(self.folder, "stdout.txt"), "wb")
        self.err = open(os.path.join(self.folder, "stderr.txt"), "wb")
        self.process = subprocess.Popen(command, stdout=self.out, stderr=self.err,
                                        stdin=subprocess.DEVNULL,
                                        env=dict(self.env, **(extra_env or {})))

    def finish(self, timeout=120):
        try:
            code = self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise Failure(f"the lab did not end within {timeout} s")
        self.out.close()
        self.err.close()
        return code

    def output(self, name="stdout.txt"):
        return open(os.path.join(self.folder, name), "rb").read().decode("latin-1")

    def probe(self, command="dump", seconds=60, window_class="qixExceptWndClass"):
        exe = os.path.join(self.args.bin, "boxprobe.exe")
        r = subprocess.run([self.args.wine_exec, exe, command, str(seconds), window_class],
                           env=self.env,
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                           stdin=subprocess.DEVNULL, timeout=seconds + 60)
        if command in ("gone", "kill"):
            return r.returncode == 0
        check(r.returncode == 0, "no exception box appeared")
        return Box(r.stdout.decode("latin-1"))

    def click(self, x, y):
        subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "1"], env=self.env,
                       check=True)

    def press(self, control):
        x, y, w, h = control["rect"]
        self.click(x + w // 2, y + h // 2)

    def key(self, box, name):
        # Without a window manager the keyboard follows the pointer: rest it on the box.
        x, y, _, _ = box.client
        subprocess.run(["xdotool", "mousemove", str(x + 3), str(y + 3), "key", name],
                       env=self.env, check=True)

    def shot(self, box, name):
        os.makedirs(self.args.shots, exist_ok=True)
        x, y, w, h = box.client
        path = os.path.join(self.args.shots, name + ".png")
        subprocess.run(["import", "-window", "root", "-crop", f"{w}x{h}+{x}+{y}", "+repage", path],
                       env=self.env, check=True)
        print(f"screenshot: {path}")

    def stop(self):
        """Leaves no box behind: it would answer the next case's probe."""
        if not self.probe("gone", 1):
            self.probe("kill", 1)
        if self.process and self.process.poll() is None:
            self.process.kill()

    def report_file(self, scenario):
        path = os.path.join(self.folder, f"crashlab-{scenario}.txt")
        check(os.path.isfile(path), f"no report file {path}")
        return open(path, "rb").read().decode("latin-1")


class Box:
    def __init__(self, text):
        self.children, self.tabs, self.columns, self.rows = [], [], [], []
        self.focus = None
        for line in text.splitlines():
            kind, _, rest = line.partition(" ")
            if kind == "box":
                parts = rest.split(" ", 9)
                self.rect = tuple(int(v) for v in parts[1:5])
                self.client = tuple(int(v) for v in parts[5:9])
                self.title = parts[9] if len(parts) > 9 else ""
            elif kind == "child":
                parts = rest.split(" ", 6)
                self.children.append({"class": parts[0], "enabled": parts[1] == "1",
                                      "rect": tuple(int(v) for v in parts[2:6]),
                                      "text": (parts[6] if len(parts) > 6 else "")
                                      .replace("\\r", "\r").replace("\\n", "\n")})
            elif kind == "tab":
                parts = rest.split(" ", 5)
                self.tabs.append({"rect": tuple(int(v) for v in parts[1:5]), "text": parts[5]})
            elif kind == "focus":
                self.focus = rest
            elif kind == "column":
                self.columns.append(rest)
            elif kind == "row":
                self.rows.append(rest.split("\t"))

    def buttons(self):
        return {c["text"]: c for c in self.children if c["class"] == "Button" and c["text"]}

    def statics(self):
        return [c["text"] for c in self.children if c["class"] == "Static"]

    def button(self, caption):
        b = self.buttons().get(caption)
        check(b is not None, f"no button '{caption}' in {sorted(self.buttons())}")
        return b


def header(report, name):
    m = re.search(r"^" + re.escape(name) + r" *: ?(.*)$", report, re.M)
    return m.group(1).rstrip("\r") if m else None


def section(report, title_pattern):
    """The lines of the first section whose title line matches."""
    lines = report.split("\r\n")
    for i, line in enumerate(lines):
        if re.match(title_pattern, line):
            body = []
            for l in lines[i + 1:]:
                if not l:
                    break
                body.append(l)
            return body
    return []


CAPTIONS = ["SendBtnTxt=Send it", "SaveBtnTxt=Save it", "PrintBtnTxt=Print it",
            "ShowBtnTxt=Show it", "ContinueBtnTxt=Go on", "RestartBtnTxt=Start again",
            "CloseBtnTxt=Close it"]


def case_buttons(lab):
    """Every button the settings ask for, with their captions; a hidden one is absent;
    continue is disabled on a fault that cannot continue; close ends with exit code 1."""
    lab.start("write-av", *CAPTIONS, "PrintBtnVis=false")
    box = lab.probe()
    lab.shot(box, "box_full")
    names = box.buttons()
    check(box.focus == "Send it", f"FocusedBtn 0 puts the focus on send, not {box.focus!r}")
    check(sorted(names) == sorted(["Send it", "Save it", "Show it", "Go on", "Start again",
                                   "Close it"]), f"buttons {sorted(names)}")
    heights = {b["rect"][3] for b in names.values()}
    check(len(heights) == 1, f"buttons of one height, got {heights}")
    check(not names["Go on"]["enabled"], "continue is disabled on a fault that cannot continue")
    check("An error occurred in the application." in box.statics(), f"message {box.statics()}")
    check(box.title == "Crash lab", f"title {box.title!r}")
    lab.press(box.button("Close it"))
    check(lab.finish() == 1, "close ends the program with exit code 1")


def case_save_fold(lab):
    """Save writes the report file and the button goes; the same crash again folds into
    one report with count 2."""
    for round_ in (1, 2):
        lab.start("write-av")
        box = lab.probe()
        lab.press(box.button("save bug report"))
        deadline = time.time() + 30
        while time.time() < deadline and "save bug report" in lab.probe().buttons():
            time.sleep(0.5)
        after = lab.probe()
        check("save bug report" not in after.buttons(), f"round {round_}: the save button stays")
        if round_ == 1:
            lab.shot(after, "box_after_save")
        # Escape asks to close: continue cannot, so close does (exit code 1).
        lab.key(after, "Escape")
        check(lab.finish() == 1, f"round {round_}: Escape ends the program with exit code 1")
        report = lab.report_file("write-av")
        check(report.count("\r\ndate/time") + report.startswith("date/time") == 1,
              f"round {round_}: one report in the file")
        check(header(report, "exception class") == "EAccessViolation",
              f"round {round_}: the report names the fault")
    check(header(report, "count") == "2", "the second crash is folded with count 2")
    lines = report.split("\r\n")
    crc = next(i for i, l in enumerate(lines) if l.startswith("callstack crc"))
    check(lines[crc + 1].startswith("count") and
          lines[crc + 1].index(":") == lines[crc].index(":"),
          "the count line follows the checksum line, its colon lined up")


def case_restart(lab):
    """Restart ends the program with exit code 2 and starts it again; the new instance
    receives the exception times of the old one."""
    before = time.time()
    lab.start("write-av")
    box = lab.probe()
    lab.press(box.button("restart bug report"))
    check(lab.finish() == 2, "restart ends the program with exit code 2")
    second = lab.probe()
    check(second.rect is not None, "the restarted program shows its own box")
    handover = os.path.join(lab.folder, "crashlab-handover.txt")
    check(os.path.isfile(handover), "the restarted program got no exception times")
    times = [int(t) for t in open(handover).read().split()]
    # Seconds since 1601 (UTC) against this test's clock.
    unix = [t - 11644473600 for t in times]
    check(len(times) >= 1 and before - 5 <= unix[0] <= time.time() + 5,
          f"handed-over time {unix} is the first crash's ({before:.0f})")
    lab.press(second.button("close bug report"))
    check(lab.probe("gone"), "the restarted program's box closes")


def case_continue(lab):
    """A report the program survives: continue closes the box and the program goes on."""
    lab.start("continue")
    box = lab.probe()
    cont = box.button("continue bug report")
    check(cont["enabled"], "continue is enabled")
    lab.press(cont)
    check(lab.finish() == 0, "the program ends normally after continue")
    check("still running after the report" in lab.output("stderr.txt"),
          "the program went on after the box")


def case_countdown(lab):
    """The automatic close: the countdown presses close by itself; with no delay it only
    takes the focus."""
    lab.start("write-av", "AutoClose=1", "AutoDelay=0")
    box = lab.probe()
    check(box.focus == "close bug report", f"the automatic button has the focus, not {box.focus!r}")
    time.sleep(3)
    check(lab.process.poll() is None and not lab.probe("gone", 1),
          "AutoDelay 0 never presses the button")
    lab.key(box, "Escape")
    check(lab.finish() == 1, "Escape closes (exit code 1)")

    lab.start("write-av", "AutoClose=1", "AutoDelay=3")
    box = lab.probe()
    check(box.focus == "close bug report", f"the automatic button has the focus, not {box.focus!r}")
    time.sleep(1)
    lab.shot(box, "box_countdown")
    t0 = time.time()
    check(lab.finish(timeout=60) == 1, "the countdown pressed close (exit code 1)")
    check(time.time() - t0 < 30, "the countdown ended in time")


def case_expanded(lab):
    """The expanded box: the tabs, and list views whose rows are the report's lines."""
    lab.start("write-av", "AutoShowBugRep=true")
    box = lab.probe()
    check("show bug report" not in box.buttons(), "no show button while the report is shown")
    tabs = [t["text"] for t in box.tabs]
    check(tabs[:3] == ["general", "call stack", "cpu regs"], f"tabs {tabs}")
    lab.shot(box, "box_expanded_general")
    general = {r[0]: r[1] for r in box.rows if len(r) >= 2}
    lab.press(box.button("save bug report"))
    deadline = time.time() + 30
    path = os.path.join(lab.folder, "crashlab-write-av.txt")
    while time.time() < deadline and not os.path.isfile(path):
        time.sleep(0.3)
    report = lab.report_file("write-av")
    check(general.get("exception class") == header(report, "exception class") and
          general.get("executable") == header(report, "executable"),
          "the general tab holds the report's header values")
    # Call stack tab: each content row's cells are the words of a line of the report's
    # thread sections.
    lab.press(box.tabs[1])
    time.sleep(0.5)
    stacks = lab.probe()
    lab.shot(stacks, "box_expanded_callstack")
    thread_lines = section(report, r"^(main thread|thread \$)")
    check(thread_lines, "the report has a main thread section")
    wanted = [l.lower().split() for l in thread_lines]
    content = [r for r in stacks.rows if r and r[0] not in (">>", "")]
    check(content, f"no call-stack rows in the list view: {stacks.rows}")
    for row in content:
        words = " ".join(row).lower().split()
        check(words in wanted, f"row {row} is not a line of the report's thread section")
    # Registers: "reg.|content" against the report's "eax = ..." lines.
    lab.press(box.tabs[2])
    time.sleep(0.5)
    regs = lab.probe()
    regs_lines = section(report, r"^cpu registers:")
    check(regs.columns == ["reg.", "content"], f"register columns {regs.columns}")
    check([r[:2] for r in regs.rows] == [l.split(" = ") for l in regs_lines],
          "register rows are the report's register lines")
    lab.shot(regs, "box_expanded_registers")
    lab.press(box.button("close bug report"))
    check(lab.finish() == 1, "close ends the program with exit code 1")


def expected_break(message):
    """The message with a line break after each '. ' lying from 20 to length - 10."""
    text, n = message, len(message)
    result = ""
    i = 0
    while i < len(text):
        pos = i + 1  # counted from 1
        if text[i] == "." and i + 1 < len(text) and text[i + 1] == " " and 20 <= pos <= n - 10:
            result += ".\r\n"
            i += 2
            continue
        result += text[i]
        i += 1
    return result


def case_msgbox(lab):
    """Mode 2: the plain message with an OK and a details button; details opens the
    expanded box. Mode 3: OK only. The title is the program's name."""
    lab.start("write-av", "GnShowCfg=2", "AutoSave=true")
    box = lab.probe()
    lab.shot(box, "box_message_details")
    check(sorted(box.buttons()) == ["&Details", "&OK"], f"buttons {sorted(box.buttons())}")
    check({b["rect"][3] for b in box.buttons().values()} == {23}, "message-box buttons 23 high")
    check(box.title == "crashlab_box", f"title {box.title!r}")
    shown = " ".join(box.statics())
    lab.press(box.button("&Details"))
    time.sleep(1)
    expanded = lab.probe()
    check(len(expanded.tabs) >= 3, "details opens the expanded box")
    lab.shot(expanded, "box_message_expanded")
    lab.press(expanded.button("close bug report"))
    check(lab.finish() == 1, "close after details ends with exit code 1")
    message = header(lab.report_file("write-av"), "exception message")
    check(shown == expected_break(message),
          f"the message with its line breaks: {shown!r} / {message!r}")

    lab.start("write-av", "GnShowCfg=3")
    box = lab.probe()
    lab.shot(box, "box_message")
    check(sorted(box.buttons()) == ["&OK"], f"buttons {sorted(box.buttons())}")
    lab.key(box, "Return")
    check(lab.finish() == 1, "OK on a fault that cannot continue closes the program")


def case_freeze(lab):
    """A frozen main thread: the box says so and closes by itself once the main thread
    answers the watchdog again; the program goes on."""
    lab.start("thaw")
    box = lab.probe(seconds=30)
    lab.shot(box, "box_freeze")
    check("The application seems to be frozen." in box.statics(), f"message {box.statics()}")
    check(lab.probe("gone", 60), "the box did not close after the thaw")
    check(lab.finish() == 0, "the program went on after the freeze")
    check("box closed" in lab.output("stderr.txt"), lab.output("stderr.txt"))


def case_console(lab):
    """The console build prints the message, an empty line and the report."""
    lab.start("write-av", "AutoSave=true", program="crashlab_console.exe")
    check(lab.finish() == 1, "the console lab closes with exit code 1")
    out = lab.output()
    report = lab.report_file("write-av")
    check(out.startswith("An error occurred in the application.\r\n\r\n"),
          f"message line and empty line first: {out[:80]!r}")
    check(report.rstrip("\r\n") in out, "the full report follows")
    lab.start("write-av", "ShowBtnVis=false", program="crashlab_console.exe")
    check(lab.finish() == 1, "exit code 1")
    check(lab.output() == "An error occurred in the application.\r\n",
          f"without the show button only the message: {lab.output()!r}")
    lab.start("thaw", "ShowBtnVis=false", program="crashlab_console.exe")
    check(lab.finish() == 0, "a console program goes on after a freeze")
    # Frozen for 20 s without a box, the watchdog (2 s) reports again after every further
    # ten misses at 1.5 times the interval: at most 4 reports.
    lines = lab.output().split("\r\n")
    check(lines[-1] == "" and 1 <= len(lines) - 1 <= 4 and
          set(lines[:-1]) == {"The application seems to be frozen."},
          f"a freeze prints the frozen message: {lab.output()!r}")


class Page(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.title = self.textarea = None
        self.where = None
        self.buttons = []
        self.area_style = ""
        self.message = None

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "title":
            self.where, self.title = "title", ""
        if tag == "textarea" and a.get("id") == "bugReport":
            self.where, self.textarea, self.area_style = "area", "", a.get("style", "")
        if tag == "input" and a.get("type") == "button":
            self.buttons.append(a.get("value"))
        if tag == "p":
            self.where, self.message = "message", ""
        if tag == "br" and self.where == "message":
            self.message += "<br>"

    def handle_endtag(self, tag):
        self.where = None

    def handle_data(self, data):
        if self.where == "title":
            self.title += data
        elif self.where == "area":
            self.textarea += data
        elif self.where == "message":
            self.message += data.strip("\r\n")


def case_cgi(lab):
    """Started as a CGI program: a page on standard output instead of any box."""
    lab.start("write-av", "AutoSave=true", "ExceptMsg=It broke: %exceptMsg%%LF%Sorry <&>",
              program="crashlab_console.exe",
              extra_env={"GATEWAY_INTERFACE": "CGI/1.1", "WINEDEBUG": "-all"})
    check(lab.finish() == 1, "exit code 1")
    out = lab.output()
    head, sep, body = out.partition("\r\n\r\n")
    check(sep and head == "Content-Type: text/html", f"the page's header: {out[:60]!r}")
    page = Page()
    page.feed(body)
    report = lab.report_file("write-av")
    check(page.title == "Crash lab", f"title {page.title!r}")
    check(page.message == "It broke: " + header(report, "exception message") + "<br>Sorry <&>",
          f"the message, its line break and its markup characters: {page.message!r}")
    check(page.textarea is not None and page.textarea.rstrip("\r\n") == report.rstrip("\r\n"),
          "the text area holds the report")
    check("display:none" in page.area_style, "the report is hidden until asked for")
    check(page.buttons == ["continue bug report", "show bug report"], f"buttons {page.buttons}")


CASES = {"buttons": case_buttons, "save-fold": case_save_fold, "restart": case_restart,
         "continue": case_continue, "countdown": case_countdown, "expanded": case_expanded,
         "msgbox": case_msgbox, "freeze": case_freeze, "console": case_console,
         "cgi": case_cgi}


def case_assistant(lab):
    """Save asks the assistant first, owned by the box: cancelling it cancels the save; going
    through it puts the contact and the description into the saved report."""
    subprocess.run([lab.args.wine_exec, "reg", "delete", r"HKCU\Software\qixlab\ContactForm",
                    "/f"], env=lab.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    lab.start("write-av", "SaveAssis=Report")
    box = lab.probe()
    lab.press(box.button("save bug report"))
    form = lab.probe(window_class="qixNVAssistantWnd")
    check(form.title == "Tell us about the crash", f"the assistant's title {form.title!r}")
    lab.shot(form, "box_assistant_contact")
    lab.key(form, "Escape")
    check(lab.probe("gone", 30, "qixNVAssistantWnd"), "Escape closes the assistant")
    report = os.path.join(lab.folder, "crashlab-write-av.txt")
    time.sleep(1)
    check(not os.path.exists(report), "a cancelled assistant cancels the save")
    check("save bug report" in lab.probe().buttons(), "the save button stays after the cancel")

    lab.press(lab.probe().button("save bug report"))
    form = lab.probe(window_class="qixNVAssistantWnd")
    edits = [c for c in form.children if c["class"] == "Edit"]
    check(len(edits) == 2, f"the contact form's two edits, got {len(edits)}")
    nxt = form.button("Next >")
    check(not nxt["enabled"], "continue waits for a valid address")
    for edit, text in zip(edits, ("Ann Smith", "ann@example.org")):
        lab.press(edit)
        subprocess.run(["xdotool", "type", "--delay", "30", text], env=lab.env, check=True)
    time.sleep(0.5)
    form = lab.probe(window_class="qixNVAssistantWnd")
    check(form.button("Next >")["enabled"], "a valid address enables continue")
    lab.press(form.button("Next >"))
    deadline = time.time() + 30
    while time.time() < deadline:
        form = lab.probe(window_class="qixNVAssistantWnd")
        if any(c["class"] == "Edit" and c["rect"][3] > 40 for c in form.children):
            break
        time.sleep(0.5)
    desc = [c for c in form.children if c["class"] == "Edit"]
    check(len(desc) == 1, "the second form has the description edit")
    lab.shot(form, "box_assistant_description")
    lab.press(desc[0])
    subprocess.run(["xdotool", "type", "--delay", "30", "Pressed Save twice."], env=lab.env,
                   check=True)
    lab.press(form.button("Next >"))
    deadline = time.time() + 30
    while time.time() < deadline and not os.path.exists(report):
        time.sleep(0.5)
    check(os.path.exists(report), "the save went on after the assistant")
    after = lab.probe()
    lab.key(after, "Escape")
    check(lab.finish() == 1, "Escape ends the program with exit code 1")
    text = lab.report_file("write-av")
    body = section(text, r"^user description")
    check(any("Pressed Save twice." in l for l in body),
          f"the description is the report's own section: {body}")
    check(header(text, "contact name") == "Ann Smith" and
          header(text, "contact e-mail") == "ann@example.org",
          "the contact's edits are fields of the report")


CASES["assistant"] = case_assistant


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=sorted(CASES))
    parser.add_argument("--bin", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--wine-exec", required=True)
    parser.add_argument("--shots", required=True)
    args = parser.parse_args()
    lab = Lab(args, args.case)
    try:
        CASES[args.case](lab)
    except Failure as e:
        print(f"{args.case}: FAIL: {e}")
        for name in ("stdout.txt", "stderr.txt"):
            path = os.path.join(lab.folder, name)
            if os.path.isfile(path):
                print(f"--- {name}\n" + open(path, "rb").read().decode("latin-1")[-3000:])
        return 1
    finally:
        lab.stop()
    print(f"{args.case}: ok")
    return 0


if __name__ == "__main__":
    sys.exit(main())
