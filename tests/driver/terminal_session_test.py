#!/usr/bin/env python3
"""A session at a real terminal, as a person has it: echo on, standard
error on the terminal too (so prompts and help are shown), the line editor
where rill was built with it.

usage: terminal_session_test.py RILL EDITOR(0|1)
"""
import os
import pty
import re
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

    def __init__(self, env, cwd, stdout_file=None, stderr_file=None):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            try:
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

        # Ctrl-C on an empty line: interrupted, by the signal.
        t = session(env, ["P(\"kept\");\n"], scratch)
        t.type("\x03")
        status = t.finish()
        check("Ctrl-C ends the session by SIGINT", status == -signal.SIGINT, "status %s" % status)
        check("Ctrl-C keeps the output", "kept" in shown(t), shown(t))
        check("Ctrl-C: interrupted on a line of its own", re.search(r"rill> (\^C)?\ninterrupted\n", shown(t)),
              shown(t))

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
