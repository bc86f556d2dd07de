#!/usr/bin/env python3
"""Two interrupts sent back to back, over and over, to a running rill.

Usage: repeated_interrupts.py RILL [--runs N] [--signal INT|TERM|HUP]

Each run starts a program that prints to standard output (a pipe that is
read all along) and to its output file, waits until it is well under way,
then sends the signal twice with nothing in between. The second one comes
while the first is being handled: at the safe point, during the final
write-out of the file, or while "interrupted" is written. Every run must
still end by the signal, with standard error exactly "interrupted", and with
standard output and the file made of whole lines only. Prints how many runs
held and how long they took; the exit status is 1 when any did not. Last,
one run whose loop pass writes to a slow reader for more than a second
after the second signal: output that moves is never cut.
"""
import argparse
import os
import signal
import subprocess
import sys
import tempfile
import time

LINE = "a line of the output file, long enough that a cut shows\n"
CONSOLE = "a line of console output\n"
PROGRAM = ('#"out.txt"\n'
           'loop (2000000000) { F("%s" \\n); P("%s" \\n); };\n'
           % (LINE.rstrip("\n"), CONSOLE.rstrip("\n")))


def whole_lines(text, line):
    return len(text) % len(line) == 0 and text == line * (len(text) // len(line))


def one_run(rill, directory, sig):
    out_path = os.path.join(directory, "out.txt")
    if os.path.exists(out_path):
        os.remove(out_path)
    proc = subprocess.Popen([rill, "p.rill"], cwd=directory, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            restore_signals=True)
    # Well under way: the file has been written to, through its buffer.
    # Read from the descriptor, as communicate does, so nothing is held back.
    first = b""
    while len(first) < len(CONSOLE) * 2000:
        first += os.read(proc.stdout.fileno(), 65536)
    proc.send_signal(sig)
    proc.send_signal(sig)
    rest, err = proc.communicate(timeout=30)
    problems = []
    if proc.returncode != -sig:
        problems.append("status %r" % proc.returncode)
    if err != b"interrupted\n":
        problems.append("stderr %r" % err[-80:])
    if not whole_lines((first + rest).decode(), CONSOLE):
        problems.append("standard output cut mid-line")
    with open(out_path) as f:
        written = f.read()
    if not written or not whole_lines(written, LINE):
        problems.append("output file cut mid-line (%d bytes)" % len(written))
    return problems


def moving_run(rill, directory):
    """A loop pass writes about 1 MB to a pipe drained slowly and steadily;
    two signals 20 ms apart come early in it. The pass meets no safe point
    for more than a second, but its output moves, so the second signal must
    not cut it: the run ends at the next pass with everything written."""
    line = "m" * 15999 + "\n"
    body = " ".join('P("%s" \\n);' % line[:-1] for _ in range(64))
    with open(os.path.join(directory, "moving.rill"), "w") as f:
        f.write('#"moving.txt"\nF("%s" \\n);\nloop (1000) { %s };\n' % (LINE.rstrip("\n"), body))
    proc = subprocess.Popen([rill, "moving.rill"], cwd=directory, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, restore_signals=True)
    got = b""
    while len(got) < 200000:
        got += os.read(proc.stdout.fileno(), 65536)
    proc.send_signal(signal.SIGINT)
    time.sleep(0.02)
    proc.send_signal(signal.SIGINT)
    while True:
        time.sleep(0.1)  # about 640 KB a second
        more = os.read(proc.stdout.fileno(), 65536)
        if not more:
            break
        got += more
    err = proc.stderr.read()
    proc.wait()
    problems = []
    if proc.returncode != -signal.SIGINT:
        problems.append("status %r" % proc.returncode)
    if err != b"interrupted\n":
        problems.append("stderr %r" % err[-80:])
    if not whole_lines(got.decode(), line):
        problems.append("standard output cut mid-line")
    with open(os.path.join(directory, "moving.txt")) as f:
        if f.read() != LINE:
            problems.append("output file lost")
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("rill")
    parser.add_argument("--runs", type=int, default=50)
    parser.add_argument("--signal", default="INT", choices=["INT", "TERM", "HUP"])
    args = parser.parse_args()
    sig = getattr(signal, "SIG" + args.signal)
    rill = os.path.abspath(args.rill)
    failed = 0
    start = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="rill-interrupts-") as directory:
        with open(os.path.join(directory, "p.rill"), "w") as f:
            f.write(PROGRAM)
        for run in range(args.runs):
            problems = one_run(rill, directory, sig)
            if problems:
                failed += 1
                print("run %d: %s" % (run, "; ".join(problems)))
        problems = moving_run(rill, directory)
        if problems:
            failed += 1
            print("moving write-out: %s" % "; ".join(problems))
    seconds = time.monotonic() - start
    print("%d runs, two SIG%s back to back: %d complete, %d not (%.1f s, %.0f ms a run)"
          % (args.runs, args.signal, args.runs - failed, failed, seconds, 1000 * seconds / max(args.runs, 1)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
