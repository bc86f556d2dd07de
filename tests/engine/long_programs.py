#!/usr/bin/env python3
"""Long programs under an address-space limit (ulimit -v).

Memory stays flat in a program's length: the lowest limit, in MiB, under
which a program of 4,000 statements runs also runs one forty times longer
(prints, remarks, blocks and all). A loop body that outgrows the limit still
stops cleanly: "out of memory", status 1, and what was printed before, on
the console and in the output file, kept.

usage: long_programs.py RILL
Exits 77 (skipped) where no limit lets even the short program run, as under
the sanitizers, which reserve far more address space than any limit here.
"""
import os
import subprocess
import sys
import tempfile

MIB = 1024 * 1024
MARGIN_MIB = 2  # what chance placement of the heap may add


def statements(count, seed):
    """count statements, each issuing several instructions, in blocks of 4,000."""
    out = []
    for i in range(count):
        if i % 4000 == 0:
            out.append("if (1 == 1) {")
        k = (i + seed) % 4
        if k == 0:
            out.append(f"a = a + {i % 7} * (a / 3 - 2) - b * 2;")
        elif k == 1:
            out.append(f"' \"remark {i} that runs on\" ';")
        elif k == 2:
            out.append(f"x =+ {i}.5 / (2 + b);")
        else:
            out.append('F("line " a \\n);' if i % 1000 == 3 else 'P("");')
        if i % 4000 == 3999 or i == count - 1:
            out.append("};")
    return out


def program(count):
    return "\n".join(['# "out.txt"', "int a, b; dbl x; b = 1;", *statements(count, 0), 'P(a " " x \\n);']) + "\n"


def run(rill, path, limit_mib):
    return subprocess.run(["sh", "-c", f'ulimit -v {limit_mib * 1024} && exec "$0" "$1"', rill, path],
                          cwd=os.path.dirname(path), capture_output=True, text=True, timeout=120)


def lowest_limit(rill, path, expected):
    """The lowest limit in MiB under which the program prints expected, or None."""
    lo, hi = 1, 256
    if run(rill, path, hi).stdout != expected:
        return None
    while lo < hi:
        mid = (lo + hi) // 2
        if run(rill, path, mid).stdout == expected:
            hi = mid
        else:
            lo = mid + 1
    return lo


def expected_output(count):
    """What rill prints for program(count): the empty prints print nothing."""
    a, b, x = 0, 1, 0.0
    for i in range(count):
        k = i % 4
        if k == 0:
            a = (a + (i % 7) * (int(a / 3) - 2) - b * 2)
            a = (a + 2**31) % 2**32 - 2**31
        elif k == 2:
            x += (i + 0.5) / (2 + b)
    return f"{a} {x:.6f}\n"


def main():
    rill = os.path.abspath(sys.argv[1])
    failures = []
    with tempfile.TemporaryDirectory() as tmp:
        short, long = os.path.join(tmp, "short.rill"), os.path.join(tmp, "long.rill")
        with open(short, "w") as f:
            f.write(program(4000))
        with open(long, "w") as f:
            f.write(program(160000))
        limit = lowest_limit(rill, short, expected_output(4000))
        if limit is None:
            print("no limit lets the short program run: skipped")
            return 77
        r = run(rill, long, limit + MARGIN_MIB)
        if (r.returncode, r.stdout, r.stderr) != (0, expected_output(160000), ""):
            failures.append(f"160,000 statements under {limit + MARGIN_MIB} MiB, where 4,000 run under {limit}: "
                            f"status {r.returncode}, stderr {r.stderr[:200]!r}")

        # A loop body of 200,000 statements cannot be kept under the limit.
        body = os.path.join(tmp, "body.rill")
        with open(body, "w") as f:
            f.write("\n".join(['# "out.txt"', 'int a, b; dbl x; F("before" \\n); P("start" \\n); loop (2) {',
                               *statements(200000, 0), "};", 'P("never" \\n);']) + "\n")
        r = run(rill, body, limit + MARGIN_MIB)
        with open(os.path.join(tmp, "out.txt")) as f:
            kept = f.read()
        if (r.returncode, r.stdout, r.stderr, kept) != (1, "start\n", "out of memory\n", "before\n"):
            failures.append(f"a loop body past the limit: status {r.returncode}, stdout {r.stdout[:100]!r}, "
                            f"stderr {r.stderr[:200]!r}, file {kept[:100]!r}")
    for message in failures:
        print("FAILED: " + message)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
