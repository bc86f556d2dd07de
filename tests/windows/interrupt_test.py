#!/usr/bin/env python3
"""Interrupts and broken pipes for rill.exe under wine.

Usage: interrupt_test.py RILL_EXE [EMULATOR...]

wine turns SIGINT into the console's Ctrl-C event, so the signal sent here
reaches rill.exe's console handler as a key press would. Each case runs on
every way of running a loop: the run must end with "interrupted" alone on
standard error, the status Windows gives Ctrl-C (0xC000013A, whose low byte
is what wine reports), and every output line whole. A reader that goes away
ends the run quietly, as SIGPIPE does on Linux, with status 141.

Not here: Ctrl-C while a read waits on a pipe. wine cannot poll a pipe
(PeekNamedPipe) nor cancel a read under way (CancelSynchronousIo), which
Windows itself does.
"""
import os
import signal
import subprocess
import sys
import tempfile
import time

CTRL_C_STATUS = 0xC000013A & 0xFF
BROKEN_PIPE_STATUS = 141
LINE = "a line of the output file, long enough that a cut shows\n"
LOOPING = '#"out.txt"\nloop (2000000000) { F("%s" \\n); P("x" \\n); };\n' % LINE.rstrip("\n")

def whole_lines(out):
    return out[:out.rfind(b"\n") + 1]


def start(command, directory, path, stdin):
    env = dict(os.environ, RILL_REPLAY=path, WINEDEBUG="-all")
    return subprocess.Popen(command + ["p.rill"], cwd=directory, env=env, stdin=stdin,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)


def interrupted(command, directory, path, program, settle, expected_out):
    with open(os.path.join(directory, "p.rill"), "w") as f:
        f.write(program)
    # Standard input a pipe that stays open and empty until the run ends.
    stdin_read, stdin_write = os.pipe()
    proc = start(command, directory, path, stdin_read)
    os.close(stdin_read)
    # Under way once it prints (a loop), or after a while (a wait for input,
    # whose output stays buffered): wine takes a moment to start.
    first = proc.stdout.readline() if settle == 0 else b""
    time.sleep(settle)
    os.killpg(proc.pid, signal.SIGINT)
    try:
        out, err = proc.communicate(timeout=60)
        out = first + out
    except subprocess.TimeoutExpired:
        proc.kill()
        return ["still running 60 s after Ctrl-C"]
    finally:
        os.close(stdin_write)
    problems = []
    if proc.returncode != CTRL_C_STATUS:
        problems.append("status %d, not %d" % (proc.returncode, CTRL_C_STATUS))
    if err != b"interrupted\n":
        problems.append("standard error %r" % err[:200])
    if out != expected_out(out):
        problems.append("standard output %r" % out[-200:])
    path_out = os.path.join(directory, "out.txt")
    if os.path.exists(path_out):
        text = open(path_out).read()
        if len(text) % len(LINE) or text != LINE * (len(text) // len(LINE)):
            problems.append("out.txt cut inside a line")
    return problems


def broken_pipe(command, directory, path):
    with open(os.path.join(directory, "p.rill"), "w") as f:
        f.write('loop (2000000000) { P("x" \\n); };\n')
    proc = start(command, directory, path, subprocess.DEVNULL)
    proc.stdout.read(65536)
    proc.stdout.close()
    try:
        err = proc.stderr.read()
        proc.wait(timeout=60)
    except subprocess.TimeoutExpired:
        proc.kill()
        return ["still running 60 s after its reader went"]
    problems = []
    if proc.returncode != BROKEN_PIPE_STATUS:
        problems.append("status %d, not %d" % (proc.returncode, BROKEN_PIPE_STATUS))
    if err:
        problems.append("standard error %r" % err[:200])
    return problems


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    command = sys.argv[2:] + [os.path.abspath(sys.argv[1])]
    failed = 0
    for path in ("walk", "threaded", "native"):
        cases = [("a loop writing", lambda d: interrupted(command, d, path, LOOPING, 0, whole_lines)),
                 ("a reader gone", lambda d: broken_pipe(command, d, path))]
        for name, case in cases:
            with tempfile.TemporaryDirectory() as directory:
                problems = case(directory)
            print("%-8s %-17s %s" % (path, name, "; ".join(problems) or "ok"))
            failed += bool(problems)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
