#!/usr/bin/env python3
"""A session at a real terminal, as a person has it: echo on, standard
error on the terminal too (so prompts and help are shown), the line editor
where rill was built with it.

usage: terminal_session_test.py RILL EDITOR(0|1)
"""
import os
import pty
import re
import resource
import select
import shutil
import signal
import sys
import tempfile
import time

RILL = os.path.abspath(sys.argv[1])
EDITOR = sys.argv[2] == "1"
failures = []


def check(what, ok, detail=""):
    if not ok:
        failures.append(what)
        print("FAIL: %s\n%s" % (what, detail))


class Terminal:
    """rill on a new pseudo-terminal; stdout to a file when given."""

    def __init__(self, env, cwd, stdout_file=None, stderr_file=None, before=None):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            try:
                if before:
                    before()
                if stdout_file:
                    os.dup2(os.open(stdout_file, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644), 1)
                if stderr_file:
                    os.dup2(os.open(stderr_file, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644), 2)
                os.chdir(cwd)
                os.execve(RILL, [RILL], env)
            finally:
                os._exit(127)
        self.screen = b""

    def read_for(self, seconds):
        end = time.time() + seconds
        while time.time() < end:
            ready, _, _ = select.select([self.fd], [], [], 0.02)
            if not ready:
                continue
            try:
                data = os.read(self.fd, 4096)
            except OSError:
                return
            if not data:
                return
            self.screen += data

    def wait_for(self, text, seconds=10):
        end = time.time() + seconds
        while text.encode() not in self.screen and time.time() < end:
            self.read_for(0.05)
        return text.encode() in self.screen

    def settle(self):
        # Reads until the screen has been still for a moment.
        while True:
            before = len(self.screen)
            self.read_for(0.2)
            if len(self.screen) == before:
                return

    def type(self, text):
        os.write(self.fd, text.encode())
        self.settle()

    def finish(self, seconds=10):
        end = time.time() + seconds
        while time.time() < end:
            pid, status = os.waitpid(self.pid, os.WNOHANG)
            if pid:
                self.read_for(0.1)
                os.close(self.fd)
                return os.waitstatus_to_exitcode(status)
            self.read_for(0.05)
        os.kill(self.pid, signal.SIGKILL)
        os.waitpid(self.pid, 0)
        os.close(self.fd)
        return "hung"


def shown(t):
    return t.screen.decode(errors="replace").replace("\r\n", "\n")


def session(env, lines, cwd, **files):
    t = Terminal(env, cwd, **files)
    t.wait_for("end it with Ctrl-D")
    for line in lines:
        t.type(line)
    return t


def main():
    scratch = tempfile.mkdtemp(prefix="rill-session-")
    state = os.path.join(scratch, "state")
    base = {k: v for k, v in os.environ.items() if k not in ("RILL_HISTORY", "RILL_DIAGNOSTICS")}
    base["XDG_STATE_HOME"] = state
    base["TERM"] = "dumb"
    try:
        for term in ("dumb", None):
            env = dict(base)
            if term is None:
                env.pop("TERM")
            name = "TERM=%s" % term

            # A typo between two statements; the second sees the first's variable.
            t = session(env, ["int a; a = 21;\n", "a = = 2;\n", "a =* 2; P(\"a is \" a \\n);\n"], scratch)
            t.type("\x04")
            status = t.finish()
            out = shown(t)
            check(name + ": value after a typo", "a is 42\n" in out, out)
            check(name + ": the error is reported", "parse error\n" in out, out)
            check(name + ": status 1 after an error", status == 1, "status %s" % status)
            check(name + ": statement prompt", "rill> " in out, out)

            # A typo in a loop being typed: the loop never runs.
            t = session(env, ["int n; n = 0;\n", "loop(3) {\n", "n++; P(\"ran\");\n", "n = n +;\n",
                              "P(\"n is \" n \\n);\n"], scratch)
            t.type("\x04")
            status = t.finish()
            out = shown(t)
            check(name + ": the loop never ran", "n is 0\n" in out and "ranran" not in out, out)
            check(name + ": continuation prompt", "  ... " in out, out)

        env = dict(base)

        # Typed ahead, before rill has the terminal: the terminal's own line
        # mode takes the lines and the Ctrl-D first, and they must still come
        # through, the end of the input included.
        t = Terminal(env, scratch)
        os.write(t.fd, b"int a; a = 21;\noops;\na =* 2; P(\"a is \" a \\n);\n\x04")
        status = t.finish()
        check("typed ahead: value after a typo", "a is 42\n" in shown(t), shown(t))
        check("typed ahead: the end of input, status 1", status == 1, "status %s" % status)

        # No error: status 0.
        t = session(env, ["P(\"fine\" \\n);\n"], scratch)
        t.type("\x04")
        check("status 0 without an error", t.finish() == 0, shown(t))

        # Standard output to a file: the file holds the program's output
        # alone, console input's prompt included; the rest stays on screen.
        out_file = os.path.join(scratch, "out.txt")
        t = session(env, ["int a; a = 6;\n", "oops;\n", "S(a); P(a \\n);\n", "7\n", "P(\"end\" \\n);\n"], scratch,
                    stdout_file=out_file)
        t.type("\x04")
        status = t.finish()
        with open(out_file) as f:
            text = f.read()
        check("stdout file holds the program's output alone", text == ">> 7\nend\n", repr(text))
        check("stdout file: status 1", status == 1, "status %s" % status)
        check("stdout file: the prompt on screen", "rill> " in shown(t), shown(t))

        # Standard error to a file: no prompt anywhere, the diagnostic kept.
        err_file = os.path.join(scratch, "err.txt")
        t = session(env, ["int a; a = 6;\n", "oops;\n", "P(a \\n);\n"], scratch, stderr_file=err_file)
        t.type("\x04")
        t.finish()
        with open(err_file) as f:
            text = f.read()
        check("stderr file: no prompt on screen", "rill> " not in shown(t), shown(t))
        check("stderr file: no prompt in it", "rill> " not in text and text.startswith("rill: ") and
              "reading a program from the terminal" in text and
              "parse error\n" in text, repr(text))

        # Ctrl-C drops the statement in progress wherever the session
        # waits or runs, says so on a line of its own, and the session
        # goes on with every variable; the status at the end is 1.
        busy = "loop(100000000) { i++; loop(100) { i--; }; };\n"
        for what, before, after_c, value in [
            ("at the prompt, part of a line typed", ["P(\"kept\");\n", "i = 9"], [], "5"),
            ("on a continuation line", ["loop(3) {\n", "i++;\n"], [], "5"),
            ("at console input", ["S(i);\n"], [], "5"),
            ("at console input in a loop", ["loop(3) { S(i); P(\"got\" i \\n); };\n", "7\n"], [], "7"),
            ("in a running loop", [busy], [], None),
        ]:
            t = session(env, ["int i; i = 5;\n"] + before, scratch)
            time.sleep(0.3)
            t.type("\x03")
            t.wait_for("interrupted")
            t.type("P(\"i=\" i \\n);\n")
            t.type("\x04")
            status = t.finish()
            out = shown(t)
            name = "Ctrl-C " + what
            check(name + ": interrupted on a line of its own", re.search(r"(^|\n)(\^C)?interrupted\n", out), out)
            check(name + ": the session goes on", re.search(r"\ni=-?\d+\n", out) and
                  (value is None or "\ni=%s\n" % value in out), out)
            check(name + ": status 1", status == 1, "status %s" % status)

        # SIGTERM, or Ctrl-C then SIGTERM, still ends a session, by the signal.
        for first in ([], [signal.SIGINT]):
            t = session(env, ["int i;\n", busy], scratch)
            for sig in first + [signal.SIGTERM]:
                os.kill(t.pid, sig)
            status = t.finish()
            check("SIGTERM after %s ends the session" % first, status == -signal.SIGTERM, "status %s" % status)

        # Ctrl-D typed at once, before the first prompt: a quiet end.
        t = Terminal(env, scratch)
        os.write(t.fd, b"\x04")
        status = t.finish()
        check("Ctrl-D typed ahead: status 0", status == 0, "status %s %s" % (status, shown(t)))
        check("Ctrl-D typed ahead: nothing reported", "read" not in shown(t).split("Ctrl-D", 1)[-1], shown(t))

        # A NUL typed is no end of input: at the prompt, and typed ahead.
        for ahead in (False, True):
            t = Terminal(env, scratch)
            lines = b"P(\"a\" \\n);\nx\x00y;\nP(\"b\" \\n);\n"
            if ahead:
                os.write(t.fd, lines)
            else:
                t.wait_for("end it with Ctrl-D")
                for line in lines.split(b"\n")[:-1]:
                    os.write(t.fd, line + b"\n")
                    t.settle()
            t.type("\x04")
            status = t.finish()
            out = shown(t)
            check("NUL typed (ahead %s): the session goes on" % ahead, re.search(r"(\n|> )b\n", out) and "read()" not in out, out)

        # Ctrl-D on an open statement: what follows starts a line of its own.
        t = session(env, ["P(\"a\" \n"], scratch)
        t.type("\x04")
        t.finish()
        check("after Ctrl-D, a line of its own", "\nparse error" in shown(t), shown(t))

        # A session outlasts the parser stack: 6000 statements, each run.
        t = session(env, ["int i;\n"] + ["i++; " * 100 + "\n"] * 60 + ["P(\"i=\" i \\n);\n"], scratch)
        t.type("\x04")
        status = t.finish()
        check("6000 statements in a session", "i=6000\n" in shown(t) and status == 0, shown(t)[-300:])

        # The output file is written out whenever the prompt comes back.
        made = os.path.join(scratch, "made.txt")
        t = session(env, ["#\"made.txt\"\n", "F(\"line\" \\n);\n"], scratch)
        with open(made) as f:
            text = f.read()
        os.kill(t.pid, signal.SIGKILL)
        t.finish()
        check("output file written at the prompt", text == "line\n", repr(text))

        # Every byte typed reaches the program, whatever the locale.
        typed = "[\u00e9\u2713\u65e5]".encode()
        for locale, extra in ((None, b""), ("C.UTF-8", b"[\xe9\xff]")):
            loc = {k: v for k, v in env.items() if not k.startswith("LC_") and k != "LANG"}
            if locale:
                loc["LC_ALL"] = locale
            out_file = os.path.join(scratch, "bytes.txt")
            t = Terminal(loc, scratch, stdout_file=out_file)
            t.wait_for("end it with Ctrl-D")
            for item in (typed, extra):
                if item:
                    os.write(t.fd, b"P(\"" + item + b"\" \\n);\n")
                    t.settle()
            t.type("\x04")
            t.finish()
            with open(out_file, "rb") as f:
                got = f.read()
            want = typed + b"\n" + (extra + b"\n" if extra else b"")
            check("bytes typed under %s" % locale, got == want, repr(got))

        if EDITOR:
            history = os.path.join(state, "rill", "history")
            shutil.rmtree(state, ignore_errors=True)
            # The up arrow brings the last line back; console input stays out of the history.
            t = session(env, ["int i; S(i);\n", "5\n", "i++; P(i \\n);\n", "\x1b[A\n"], scratch)
            t.type("\x04")
            t.finish()
            out = shown(t)
            check("history: the up arrow repeats a line", "6\n" in out and "7\n" in out, out)
            check("history: the file is made", os.path.exists(history), history)
            if os.path.exists(history):
                with open(history) as f:
                    kept = f.read()
                check("history: program lines kept, not console input",
                      "S(i);" in kept and "P(i" in kept and "\n5\n" not in kept, kept)
            # Kept across sessions.
            t = session(env, ["int i; i = 40;\n", "\x1b[A\x1b[A\n"], scratch)
            t.type("\x04")
            t.finish()
            check("history: lines from the last session", "41\n" in shown(t), shown(t))

            # Only a regular file is read as history or key bindings: any
            # other kind is passed over with one line, and the session runs.
            os.makedirs(os.path.dirname(history), exist_ok=True)
            os.unlink(history)
            home = os.path.join(scratch, "home")
            os.makedirs(home, exist_ok=True)
            editrc = os.path.join(home, ".editrc")
            for kind, make in [("a FIFO", os.mkfifo), ("/dev/zero", lambda p: os.symlink("/dev/zero", p)),
                               ("a directory", os.mkdir)]:
                for path, what in ((history, "history"), (editrc, "key bindings")):
                    make(path)
                    t = session(dict(env, HOME=home), ["P(\"ran\" \\n);\n"], scratch)
                    t.type("\x04")
                    status = t.finish(5)
                    out = shown(t)
                    check("%s as %s: one line, and the session runs" % (what, kind),
                          status == 0 and "\nran\n" in out and out.count("cannot read") == 1, out)
                    for made in (history, editrc):
                        if os.path.isdir(made) and not os.path.islink(made):
                            os.rmdir(made)
                        elif os.path.lexists(made):
                            os.unlink(made)

            # Two sessions at once each keep their own lines.
            shutil.rmtree(state, ignore_errors=True)
            a = session(env, [], scratch)
            b = session(env, [], scratch)
            for t, line in ((a, "P(1);\n"), (b, "P(2);\n"), (a, "P(3);\n")):
                t.type(line)
            a.type("\x04")
            a.finish()
            b.type("\x04")
            b.finish()
            with open(history) as f:
                kept = f.read()
            check("history: two sessions merge", all("P(%d);" % k in kept for k in (1, 2, 3)), kept)

            # A save that fails (a file-size limit) leaves the old history
            # whole and says so once.
            def small_files():
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
                resource.setrlimit(resource.RLIMIT_FSIZE, (len(kept) + 4, len(kept) + 4))
            t = Terminal(env, scratch, before=small_files)
            t.wait_for("end it with Ctrl-D")
            t.type("P(\"a longer line than fits\");\n")
            t.type("P(5);\n")
            t.type("\x04")
            t.finish()
            with open(history) as f:
                after = f.read()
            check("history: a failed save keeps the old file", after == kept, after)
            check("history: a failed save is said once", shown(t).count("cannot save the history") == 1, shown(t))

            # RILL_HISTORY=0: nothing read or written.
            shutil.rmtree(state, ignore_errors=True)
            off = dict(env, RILL_HISTORY="0")
            t = session(off, ["P(\"x\");\n"], scratch)
            t.type("\x04")
            t.finish()
            check("RILL_HISTORY=0 writes no file", not os.path.exists(state), state)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    if failures:
        print("%d failed" % len(failures))
        return 1
    print("all passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
