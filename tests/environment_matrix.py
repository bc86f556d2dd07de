#!/usr/bin/env python3
"""The world around a run, walked as a matrix rather than case by case.

usage: environment_matrix.py RILL EDITOR(0|1) [--deep] [--seed N]

Small programs (console output, a header's file, a console read, a hot
loop) run under the cross product of:
  - every path rill opens (the program, the header, a session's history and
    ~/.editrc) as a regular file, a FIFO nobody opens, a directory,
    /dev/zero, /dev/full, an unreadable file, a dangling link, a link loop;
  - each standard stream closed, non-blocking, a full pipe drained late,
    /dev/full, a pipe whose other end has gone;
  - limits on file size, CPU time (soft), address space, stack, open files;
  - SIGINT, SIGTERM and SIGHUP, once and twice, at random moments: while a
    loop runs, while compiling, while waiting to open, while writing out.
Every cell must hold: no crash, no hang (a few seconds at most after a
signal), every line printed before the fault still there, the output file
whole up to its last line, a reason on standard error when the run did not
succeed, and a status that tells the truth. Prints one row a cell; exits 1
when any cell fails. --deep repeats the signals at more moments and walks
the limits more finely (a few minutes).
"""
import argparse
import fcntl
import os
import pty
import random
import re
import resource
import select
import signal
import subprocess
import sys
import tempfile
import termios
import threading
import time

CRASHES = {signal.SIGSEGV, signal.SIGABRT, signal.SIGBUS, signal.SIGILL, signal.SIGFPE}
LINES = 2000
HOT = 3000000
# Console output, a header's file, a console read and a hot loop.
ALL = ('#"{header}"\n'
       'int i, n; dbl x;\n'
       'loop (%d) { i++; P("console line " i \\n); F("file line " i \\n); };\n'
       'S(n); P("read " n \\n);\n'
       'loop (%d) { x = x + 1 / (x + 1); };\n'
       'P("end " n \\n); F("end" \\n);\n{tail}' % (LINES, HOT))
# Runs until stopped, printing each pass.
ENDLESS = ('#"out.txt"\nint i; dbl x; P("started" \\n);\n'
           'loop (2000000000) { i++; P("console line " i \\n); F("file line " i \\n);'
           ' loop (2000) { x = x + 1 / (x + 1); }; };\n')
TIMEOUT = 20  # seconds any run may take, unless a signal ends it sooner
AFTER_SIGNAL = 5  # seconds a run may take to end after the last signal
EMULATED = False  # rill is a script that starts it under an emulator


def compile_heavy():
    """Sibling loops with long bodies, each compiled as it starts."""
    body = " ".join("a = a + %d; b = b + a / 3;" % (k % 7) for k in range(1500))
    loops = "".join('loop (2) { %s }; i++; P("pass " i \\n); F("pass " i \\n);\n' % body for _ in range(60))
    return '#"out.txt"\nint a, b; int i; P("started" \\n);\n' + loops * 3


class Result:
    def __init__(self):
        self.out = b""
        self.err = b""
        self.status = None  # as a shell shows it: 128 + the signal that ended it
        self.seconds = 0.0
        self.hung = False
        self.last_signal_at = None
        self.ended_at = None


def status_of(returncode):
    return 128 - returncode if returncode < 0 else returncode


def drain(fd, sink, delay=0.0, pace=0.0):
    """Reads fd to its end into sink (a list), after delay seconds, pausing
    pace seconds between reads (a slow reader)."""
    def run():
        time.sleep(delay)
        while True:
            try:
                chunk = os.read(fd, 65536 if not pace else 4096)
            except BlockingIOError:
                select.select([fd], [], [], 0.05)
                continue
            except OSError:
                break
            if not chunk:
                break
            sink.append(chunk)
            if pace:
                time.sleep(pace)
        os.close(fd)
    t = threading.Thread(target=run, daemon=True)
    t.start()
    return t


def full_pipe(nonblocking):
    """A pipe filled to the brim, so that the first write waits (or finds
    EAGAIN), read from only later; the filler is dropped again."""
    r, w = os.pipe()
    fcntl.fcntl(w, fcntl.F_SETFL, fcntl.fcntl(w, fcntl.F_GETFL) | os.O_NONBLOCK)
    filled = 0
    try:
        while True:
            filled += os.write(w, b"#" * 4096)
    except BlockingIOError:
        pass
    if not nonblocking:
        fcntl.fcntl(w, fcntl.F_SETFL, fcntl.fcntl(w, fcntl.F_GETFL) & ~os.O_NONBLOCK)
    return r, w, filled


def handlers_ready(proc, sig):
    """Waits until proc catches sig; returns the time it does."""
    until = time.monotonic() + 5
    while time.monotonic() < until and proc.poll() is None:
        try:
            with open("/proc/%d/status" % proc.pid) as f:
                caught = [l for l in f if l.startswith("SigCgt:")]
        except OSError:
            break
        if caught and int(caught[0].split()[1], 16) >> (sig - 1) & 1:
            break
        time.sleep(0.001)
    if EMULATED:
        time.sleep(0.5)  # the emulator catches every signal from its own start
    return time.monotonic()


def run(rill, cwd, args, env=None, stdin="in.txt", stdout="pipe", stderr="pipe", limits=(), signals=(),
        input_late=None):
    """Runs rill with each standard stream as named: a path, "pipe" (read
    all along), "late" or "late-nonblocking" (a full pipe read after a
    second), "closed", "gone" (a pipe whose other end is closed). signals:
    (seconds after start, signal) pairs."""
    res = Result()
    fds, close_in_child, readers, sinks = {}, [], [], {}
    skip = {}
    for n, how in ((0, stdin), (1, stdout), (2, stderr)):
        if how == "closed":
            close_in_child.append(n)
            fds[n] = subprocess.DEVNULL
        elif how == "gone":
            r, w = os.pipe()
            if n == 0:
                os.close(w)
                fds[n] = r
            else:
                os.close(r)
                fds[n] = w
        elif n == 0 and how == "late-nonblocking":
            r, w = os.pipe()
            fcntl.fcntl(r, fcntl.F_SETFL, fcntl.fcntl(r, fcntl.F_GETFL) | os.O_NONBLOCK)
            fds[n] = r
            input_late = (w, input_late or b"42\n")
        elif n == 0:
            fds[n] = os.open(os.path.join(cwd, how) if not how.startswith("/") else how, os.O_RDONLY)
        elif how == "terminal-nonblocking":
            # A terminal left non-blocking, its screen read only after a
            # second; line ends pass unchanged.
            master, slave = pty.openpty()
            attrs = termios.tcgetattr(slave)
            attrs[1] &= ~termios.OPOST
            termios.tcsetattr(slave, termios.TCSANOW, attrs)
            fcntl.fcntl(slave, fcntl.F_SETFL, fcntl.fcntl(slave, fcntl.F_GETFL) | os.O_NONBLOCK)
            sinks[n] = []
            skip[n] = 0
            readers.append(drain(master, sinks[n], delay=1.0))
            fds[n] = slave
        elif how in ("pipe", "late", "late-nonblocking", "slow"):
            if how == "pipe" or how == "slow":
                r, w = os.pipe()
                skip[n] = 0
            else:
                r, w, skip[n] = full_pipe(how == "late-nonblocking")
            sinks[n] = []
            readers.append(drain(r, sinks[n], delay=1.0 if how.startswith("late") else 0.0,
                                 pace=0.01 if how == "slow" else 0.0))
            fds[n] = w
        elif how.startswith("/"):
            fds[n] = os.open(how, os.O_WRONLY)
        else:
            fds[n] = os.open(os.path.join(cwd, how), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)

    def child():
        for what, value in limits:
            resource.setrlimit(what, (value, resource.getrlimit(what)[1]) if what == resource.RLIMIT_CPU
                               else (value, value))
        for n in close_in_child:
            os.close(n)

    start = time.monotonic()
    proc = subprocess.Popen([rill] + args, cwd=cwd, env=env, stdin=fds[0], stdout=fds[1], stderr=fds[2],
                            preexec_fn=child, restore_signals=True)
    for f in fds.values():
        if isinstance(f, int) and f >= 0:
            os.close(f)
    if input_late:
        w, text = input_late
        time.sleep(0.3)
        try:
            os.write(w, text)
        except OSError:
            pass
        os.close(w)
    deadline = start + TIMEOUT
    if signals:
        # The moments count from when rill has its handlers: a signal before
        # that ends any program, by its default action.
        start = handlers_ready(proc, signals[0][1])
    for at, sig in signals:
        while time.monotonic() < start + at and proc.poll() is None:
            time.sleep(0.002)
        if proc.poll() is None:
            proc.send_signal(sig)
            res.last_signal_at = time.monotonic()
            deadline = res.last_signal_at + AFTER_SIGNAL
    while proc.poll() is None and time.monotonic() < deadline:
        time.sleep(0.01)
    if proc.poll() is None:
        res.hung = True
        proc.kill()
        proc.wait()
    res.ended_at = time.monotonic()
    res.seconds = res.ended_at - start
    res.status = status_of(proc.returncode)
    for t in readers:
        t.join(10)
    res.out = b"".join(sinks.get(1, []))[skip.get(1, 0):]
    res.err = b"".join(sinks.get(2, []))[skip.get(2, 0):]
    return res


def session(rill, cwd, env, seconds=8, statement=b'P("typed" \\n);', shown=b"typed\r\n", nonblocking=False):
    """A session at a pseudo-terminal: one statement typed, then Ctrl-D. The
    terminal may be left non-blocking, as another program can leave it."""
    res = Result()
    start = time.monotonic()
    pid, fd = pty.fork()
    if pid == 0:
        try:
            os.chdir(cwd)
            if nonblocking:
                fcntl.fcntl(0, fcntl.F_SETFL, fcntl.fcntl(0, fcntl.F_GETFL) | os.O_NONBLOCK)
            os.execve(rill, [rill], env)
        finally:
            os._exit(127)
    screen = b""

    def read_until(text, until, after=0):
        nonlocal screen
        while text not in screen[after:] and time.monotonic() < until:
            ready, _, _ = select.select([fd], [], [], 0.05)
            if ready:
                try:
                    chunk = os.read(fd, 4096)
                except OSError:
                    return
                if not chunk:
                    return
                screen += chunk

    until = start + seconds
    read_until(b"rill> ", until)
    typed_at = len(screen)
    os.write(fd, statement + b"\r")
    read_until(shown, until, typed_at)
    read_until(b"rill> ", until, typed_at)
    os.write(fd, b"\x04")
    status = None
    while time.monotonic() < until:
        read_until(b"\x00never", min(until, time.monotonic() + 0.1))
        done, st = os.waitpid(pid, os.WNOHANG)
        if done:
            status = st
            break
    if status is None:
        res.hung = True
        os.kill(pid, signal.SIGKILL)
        _, status = os.waitpid(pid, 0)
    os.close(fd)
    res.out = screen
    res.status = os.waitstatus_to_exitcode(status)
    res.status = status_of(res.status)
    res.seconds = time.monotonic() - start
    return res


def lines_of(data):
    return data.decode("utf-8", "replace").split("\n")


class Matrix:
    def __init__(self, rill, editor, deep, rng):
        self.rill = rill
        self.editor = editor
        self.deep = deep
        self.rng = rng
        self.rows = []
        self.failed = 0
        self.dir = tempfile.mkdtemp(prefix="rill-matrix-")
        self.root = os.geteuid() == 0
        with open(rill, "rb") as f:
            head = f.read()
        self.emulated = head.startswith(b"#!")  # a script that starts it under an emulator
        global EMULATED
        EMULATED = self.emulated
        self.sanitized = b"__asan_init" in head or b"__ubsan_handle" in head
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("RILL_")}
        self.write("in.txt", "42\n")
        self.write("p.rill", ALL.replace("{header}", "out.txt").replace("{tail}", ""))
        self.write("halt.rill", ALL.replace("{header}", "out.txt").replace("{tail}", "n = 1 / 0;\n"))
        self.write("endless.rill", ENDLESS)
        self.write("compile.rill", compile_heavy())
        self.write("readfifo.rill", 'P("before" \\n); S(n); P("read " n \\n);\n')
        # The run as it goes undisturbed, with 42 and with nothing to read.
        self.ref = {}
        for name, stdin in (("p.rill", "in.txt"), ("p.rill", "/dev/null"), ("halt.rill", "in.txt")):
            r = run(rill, self.dir, [name], self.env, stdin=stdin)
            self.ref[(name, stdin)] = (r.out, self.read("out.txt"))
            assert r.status in (0, 1) and r.out, "the reference run failed: %r" % r.err

    def write(self, name, text):
        with open(os.path.join(self.dir, name), "w") as f:
            f.write(text)

    def read(self, name):
        try:
            with open(os.path.join(self.dir, name), "rb") as f:
                return f.read()
        except OSError:
            return b""

    def fresh(self, name):
        path = os.path.join(self.dir, name)
        if os.path.islink(path) or os.path.isfile(path):
            os.unlink(path)
        elif os.path.isdir(path):
            os.rmdir(path)
        elif os.path.exists(path):
            os.unlink(path)
        return path

    def make_special(self, name, kind):
        """name in the scratch folder as the kind of file the cell asks for."""
        path = self.fresh(name)
        if kind == "regular":
            self.write(name, "")
        elif kind == "fifo":
            os.mkfifo(path)
        elif kind == "directory":
            os.mkdir(path)
        elif kind in ("/dev/zero", "/dev/full"):
            os.symlink(kind, path)
        elif kind == "unreadable":
            self.write(name, "")
            os.chmod(path, 0)
        elif kind == "dangling link":
            os.symlink(os.path.join(self.dir, "nowhere", "at all"), path)
        elif kind == "link loop":
            os.symlink(name, path)
        return path

    def row(self, group, cell, res, problems, note=""):
        ok = not problems
        if not ok:
            self.failed += 1
        status = "-" if res is None or res.status is None else str(res.status)
        seconds = "" if res is None else "%.2f" % res.seconds
        self.rows.append((group, cell, "ok" if ok else "FAIL", status, seconds,
                          "; ".join(problems) if problems else note))
        print("%-9s %-44s %-4s %6s %6s  %s" % self.rows[-1], flush=True)

    # The checks every cell makes.
    def check(self, res, expect_status, reason=None, out_ref=None, file_ref=None, file_name="out.txt",
              cut_ok=False, stderr_seen=True, signalled=False, out_seen=True):
        problems = []
        if res.hung:
            problems.append("hung")
        if res.status - 128 in CRASHES:
            problems.append("crashed (signal %d)" % (res.status - 128))
        if res.last_signal_at is not None and res.ended_at - res.last_signal_at > AFTER_SIGNAL:
            problems.append("ended %.1f s after the signal" % (res.ended_at - res.last_signal_at))
        if res.status not in expect_status:
            problems.append("status %d, not %s" % (res.status, "/".join(map(str, sorted(expect_status)))))
        if stderr_seen:
            err = res.err.decode("utf-8", "replace")
            if reason and not re.search(reason, err):
                problems.append("stderr %r" % err[-120:])
            if res.status == 0 and err:
                problems.append("status 0 with %r on stderr" % err[:80])
            if res.status != 0 and not err and res.status != 128 + signal.SIGPIPE:
                problems.append("no reason on stderr")
        if out_seen and out_ref is not None:
            out = res.out
            if not out_ref.startswith(out):
                problems.append("console output is not what was printed")
            elif res.status == 0 and out != out_ref:
                problems.append("status 0, console output short")
            elif not cut_ok and out and not out.endswith(b"\n") and out != out_ref:
                problems.append("console output cut mid-line")
        if file_ref is not None:
            text = self.read(file_name)
            if not file_ref.startswith(text):
                problems.append("output file is not what was printed")
            elif res.status == 0 and text != file_ref:
                problems.append("status 0, output file short")
            elif not cut_ok and text and not text.endswith(b"\n"):
                problems.append("output file cut mid-line")
        if signalled:
            problems += self.check_endless(res)
        return problems

    def check_endless(self, res, file_name="out.txt"):
        """Output of a run stopped part way: whole lines, each one in turn."""
        problems = []
        for what, data, first in (("console", res.out, None), ("file", self.read(file_name), None)):
            lines = lines_of(data)
            if lines[-1] != "":
                problems.append("%s cut mid-line" % what)
            numbers = [int(m.group(1)) for m in (re.search(r"(\d+)$", l) for l in lines[:-1]) if m]
            if numbers != list(range(1, len(numbers) + 1)):
                problems.append("%s lines lost or out of order" % what)
        return problems

    def paths(self):
        kinds = ["regular", "fifo", "directory", "/dev/zero", "/dev/full", "unreadable", "dangling link",
                 "link loop"]
        ref_out, ref_file = self.ref[("p.rill", "in.txt")]
        for kind in kinds:
            if kind == "unreadable" and self.root:
                self.row("program", kind, None, [], "skipped: root reads any file")
                continue
            # The program itself.
            if kind == "regular":
                res = run(self.rill, self.dir, ["p.rill"], self.env)
                problems = self.check(res, {0}, None, ref_out, ref_file)
            else:
                self.make_special("prog.rill", kind)
                signals = [(0.3, signal.SIGTERM)] if kind == "fifo" else []
                res = run(self.rill, self.dir, ["prog.rill"], self.env, stdin="/dev/null", signals=signals)
                if kind == "fifo":
                    problems = self.check(res, {128 + signal.SIGTERM}, r"^interrupted\n$", b"")
                elif kind == "directory":
                    problems = self.check(res, {1}, r"cannot read|read\(\) in flex scanner failed", b"")
                else:
                    # No program text: /dev/zero and /dev/full read as a NUL
                    # byte, which ends it; a file that does not open leaves
                    # the program to standard input, which is empty here.
                    problems = self.check(res, {0}, None, b"")
                    if res.out:
                        problems.append("printed %r" % res.out[:40])
            self.row("program", kind, res, problems)

        for kind in kinds:
            if kind == "unreadable" and self.root:
                self.row("header", kind, None, [], "skipped: root reads any file")
                continue
            path = self.make_special("header.txt", kind)
            target = os.path.join(self.dir, "nowhere")
            self.write("hp.rill", ALL.replace("{header}", "header.txt").replace("{tail}", ""))
            signals = [(0.3, signal.SIGINT)] if kind == "fifo" else []
            if kind == "dangling link":
                os.makedirs(target, exist_ok=True)
            res = run(self.rill, self.dir, ["hp.rill"], self.env, signals=signals)
            cannot = r'^cannot (open|write) output file "header.txt": '
            if kind in ("regular", "/dev/zero"):
                problems = self.check(res, {0}, None, ref_out,
                                      ref_file if kind == "regular" else None, "header.txt")
            elif kind == "dangling link":
                problems = self.check(res, {0}, None, ref_out, ref_file, "nowhere/at all")
            elif kind == "fifo":
                problems = self.check(res, {128 + signal.SIGINT}, r"^interrupted\n$", b"")
            elif kind == "/dev/full":
                problems = self.check(res, {1}, cannot + "No space left on device\n$", ref_out)
            elif kind == "unreadable":
                problems = self.check(res, {1}, cannot + "Permission denied\n$", ref_out)
            else:
                problems = self.check(res, {1}, cannot + ".*\n$", ref_out)
            self.row("header", kind, res, problems)
            if os.path.isdir(target):
                for name in os.listdir(target):
                    os.unlink(os.path.join(target, name))
                os.rmdir(target)

        for which in ("history", "editrc"):
            for kind in kinds:
                if kind == "unreadable" and self.root:
                    self.row(which, kind, None, [], "skipped: root reads any file")
                    continue
                home = os.path.join(self.dir, "home")
                os.makedirs(os.path.join(home, ".local", "state", "rill"), exist_ok=True)
                for name in (".editrc", ".local/state/rill/history"):
                    p = os.path.join(home, name)
                    if os.path.lexists(p):
                        os.rmdir(p) if os.path.isdir(p) and not os.path.islink(p) else os.unlink(p)
                name = "home/.editrc" if which == "editrc" else "home/.local/state/rill/history"
                self.make_special(name, kind)
                if kind == "regular":
                    self.write(name, "bind -e\n" if which == "editrc" else "P(\"from before\" \\n);\n")
                env = dict(self.env, HOME=home, TERM="dumb")
                env.pop("XDG_STATE_HOME", None)
                env.pop("EDITRC", None)
                res = session(self.rill, self.dir, env)
                problems = []
                if res.hung:
                    problems.append("hung, the screen ending %r" % res.out[-40:])
                if res.status - 128 in CRASHES:
                    problems.append("crashed")
                if b"typed\r\n" not in res.out:
                    problems.append("the session did not go on")
                if res.status != 0 and not res.hung:
                    problems.append("status %d after a statement that ran" % res.status)
                self.row(which, kind, res, problems, "" if self.editor else "built without the line editor")

    def streams(self):
        ref42 = self.ref[("p.rill", "in.txt")]
        ref0 = self.ref[("p.rill", "/dev/null")]
        halt = self.ref[("halt.rill", "in.txt")]
        kinds = ["closed", "late-nonblocking", "late", "/dev/full", "gone", "terminal-nonblocking"]
        for kind in kinds:
            # Standard input (a terminal is a session's, elsewhere).
            if kind != "terminal-nonblocking":
                how = {"late": "late-nonblocking", "/dev/full": "/dev/full"}.get(kind, kind)
                res = run(self.rill, self.dir, ["p.rill"], self.env, stdin=how)
                # /dev/full reads as NUL bytes, which are no number.
                out, text = ref42 if how == "late-nonblocking" else ref0
                problems = self.check(res, {0}, None, out, text)
                self.row("stdin", kind if kind != "late" else "written late", res, problems)

            # Standard output.
            res = run(self.rill, self.dir, ["p.rill"], self.env, stdout=kind)
            self.row("stdout", kind, res, self.stdout_problems(res, kind, ref42))

            # Standard error, with a program that ends in a diagnostic.
            res = run(self.rill, self.dir, ["halt.rill"], self.env,
                      stderr=kind)
            seen = kind in ("late-nonblocking", "late", "terminal-nonblocking")
            problems = self.check(res, {1} if kind != "gone" else {1, 128 + signal.SIGPIPE},
                                  r"^division by zero\n" if seen else None, halt[0], halt[1],
                                  stderr_seen=seen)
            self.row("stderr", kind, res, problems)

    def terminal_session(self):
        """A session at a terminal left non-blocking: a loop prints more
        than the terminal holds while nobody reads it."""
        env = dict(self.env, HOME=os.path.join(self.dir, "home"), TERM="dumb")
        statement = b'int i; loop (3000) { i++; P("line " i \\n); };'
        res = session(self.rill, self.dir, env, seconds=8, statement=statement, shown=b"line 3000\r\n",
                      nonblocking=True)
        problems = []
        if res.hung:
            problems.append("hung")
        if res.status != 0:
            problems.append("status %d" % res.status)
        lines = re.findall(rb"line (\d+)\r\n", res.out)
        if [int(n) for n in lines] != list(range(1, 3001)):
            problems.append("%d of 3000 lines" % len(lines))
        if res.out.count(b"rill> ") < 2:
            problems.append("prompts lost")
        self.row("stdin", "terminal-nonblocking (a session)", res, problems)

    def stdout_problems(self, res, kind, ref):
        out, text = ref
        if kind == "closed":
            return self.check(res, {1}, r"^cannot write standard output: Bad file descriptor\n$", None, text)
        if kind == "/dev/full":
            return self.check(res, {1}, r"^cannot write standard output: No space left on device\n$", None, text)
        if kind == "gone":
            # Ends by SIGPIPE at the first write out; the file is written out.
            return self.check(res, {128 + signal.SIGPIPE}, None, None, text)
        return self.check(res, {0}, None, out, text)

    def limits(self):
        ref_out, ref_file = self.ref[("p.rill", "in.txt")]
        for size in ([20000] if not self.deep else [1, 4096, 20000, 30000]):
            res = run(self.rill, self.dir, ["p.rill"], self.env, stdout="console.txt",
                      limits=[(resource.RLIMIT_FSIZE, size)])
            res.out = self.read("console.txt")
            problems = self.check(res, {1}, r"^cannot write (standard output|output file \"out.txt\"): File too large\n",
                                  ref_out, ref_file, cut_ok=True)
            self.row("limit", "file size %d bytes" % size, res, problems)

        res = run(self.rill, self.dir, ["endless.rill"], self.env, limits=[(resource.RLIMIT_CPU, 1)])
        problems = self.check(res, {128 + signal.SIGXCPU}, r"^CPU time limit reached\n$", signalled=True)
        self.row("limit", "CPU time 1 s (soft)", res, problems)

        if self.emulated or self.sanitized:
            self.row("limit", "address space, stack", None, [], "skipped: the emulator or sanitizers need their own")
        else:
            spaces = [6000, 8000, 16000, 64000] if not self.deep else list(range(5600, 9000, 100)) + [16000, 64000]
            for kb in spaces:
                for path in ("native", "threaded"):
                    env = dict(self.env, RILL_REPLAY=path)
                    res = run(self.rill, self.dir, ["p.rill"], env, limits=[(resource.RLIMIT_AS, kb * 1024)])
                    if res.status == 127 and b"error while loading shared libraries" in res.err:
                        continue  # too little even to start
                    problems = self.check(res, {0, 1}, r"^out of memory\n" if res.status == 1 else None,
                                          ref_out, ref_file)
                    self.row("limit", "address space %d KB, %s" % (kb, path), res, problems)
            for kb in ([64, 256, 1024] if not self.deep else [16, 32, 64, 128, 256, 512, 1024, 8192]):
                res = run(self.rill, self.dir, ["p.rill"], dict(self.env, RILL_REPLAY="native"),
                          limits=[(resource.RLIMIT_STACK, kb * 1024)])
                problems = self.check(res, {0}, None, ref_out, ref_file)
                self.row("limit", "stack %d KB" % kb, res, problems)

        if self.emulated or self.sanitized:
            self.row("limit", "open files", None, [], "skipped: the emulator or sanitizers need their own")
            return
        for count in ([4, 5] if not self.deep else [4, 5, 6, 8, 16]):
            res = run(self.rill, self.dir, ["p.rill"], self.env, limits=[(resource.RLIMIT_NOFILE, count)])
            if res.status == 127:
                self.row("limit", "open files %d" % count, res, [], "too few even to start")
                continue
            if count == 4:
                # The program takes the fourth: the header cannot be opened.
                problems = self.check(res, {1}, r'^cannot open output file "out.txt": Too many open files\n$',
                                      ref_out)
            else:
                problems = self.check(res, {0}, None, ref_out, ref_file)
            self.row("limit", "open files %d" % count, res, problems)

    def signals(self):
        moments = {
            "loop running": ("endless.rill", {}, "pipe", 0.05, 0.5),
            # Well inside the run (about 0.25 s on an idle machine).
            "compiling": ("compile.rill", {"RILL_REPLAY": "native"}, "pipe", 0.02, 0.15),
            "opening": ("fifohead.rill", {}, "pipe", 0.02, 0.3),
            "writing out": ("endless.rill", {}, "slow", 0.2, 0.8),
        }
        self.write("fifohead.rill", '#"fifo.txt"\nP("never" \\n);\n')
        repeats = 1 if not self.deep else 8
        for moment, (program, extra, out, low, high) in moments.items():
            for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
                for times in (1, 2):
                    for _ in range(repeats):
                        self.make_special("fifo.txt", "fifo")
                        at = self.rng.uniform(low, high)
                        gap = self.rng.uniform(0, 0.05)
                        sched = [(at, sig)] + ([(at + gap, sig)] if times == 2 else [])
                        res = run(self.rill, self.dir, [program], dict(self.env, **extra), stdout=out,
                                  signals=sched)
                        if res.last_signal_at is None or self.ended_as_signalled(res, program):
                            # It ended before the moment came, or the signal
                            # found it already past its last statement.
                            problems = self.check(res, {0})
                        else:
                            problems = self.check(res, {128 + sig}, r"^interrupted\n$")
                        if program != "fifohead.rill":
                            problems += self.check_endless(res)
                        elif res.out:
                            problems.append("printed %r" % res.out[:40])
                        name = "%s, SIG%s %s at %.0f ms" % (moment, signal.Signals(sig).name[3:],
                                                            "once" if times == 1 else "twice", at * 1000)
                        self.row("signal", name, res, problems)

    def ended_as_signalled(self, res, program):
        """A run that ends as a signal is sent may take it in its last
        microseconds, after its last safe point: it ends as it would have,
        and whole."""
        whole = program == "compile.rill" and res.out.endswith(b"pass 180\n")
        return res.status == 0 and whole and res.ended_at - res.last_signal_at < 0.05

    def summary(self):
        groups = {}
        for r in self.rows:
            done, bad = groups.get(r[0], (0, 0))
            groups[r[0]] = (done + 1, bad + (r[2] == "FAIL"))
        print("\n" + ", ".join("%s %d/%d" % (g, n - bad, n) for g, (n, bad) in groups.items()))
        print("%d cells, %d failed" % (len(self.rows), self.failed))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("rill")
    parser.add_argument("editor", nargs="?", default="1")
    parser.add_argument("--deep", action="store_true")
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.randrange(1 << 30)
    print("seed %d%s" % (seed, ", deep" if args.deep else ""), flush=True)
    m = Matrix(os.path.abspath(args.rill), args.editor == "1", args.deep, random.Random(seed))
    start = time.monotonic()
    print("%-9s %-44s %-4s %6s %6s  %s" % ("what", "cell", "", "status", "secs", "note"), flush=True)
    m.paths()
    m.streams()
    m.terminal_session()
    m.limits()
    m.signals()
    m.summary()
    print("%.0f s" % (time.monotonic() - start))
    return 1 if m.failed else 0


if __name__ == "__main__":
    sys.exit(main())
