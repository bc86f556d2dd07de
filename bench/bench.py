#!/usr/bin/env python3
"""Times rill against Lua 5.4, LuaJIT (compiler on and off), Python 3 and native C++.

Usage: bench.py [scanner] [straight] [loops] [short] [compile] [memory] [parse] [footprint]
                [startup] [scancost]   (all when none is named)
Meant to be started by bench/run, which installs what is missing and builds
rill first. Every program's output is checked; a wrong one is reported and
makes the exit status 1. Generated sources and outputs go to bench/out/.
"""
import hashlib
import os
import platform
import random
import re
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
OUT = HERE / "out"
LOOPS = HERE / "loops"
# BENCH_RILL names another build of rill to measure, as one from before a change.
RILL = Path(os.environ.get("BENCH_RILL", ROOT / "build-bench" / "rill"))
RILL_SCAN = ROOT / "build-bench" / "tests" / "rill_scan"
PYTHON = sys.executable  # the real binary, not a wrapper script that would add start-up time
LOOP_RUNS = int(os.environ.get("BENCH_RUNS", "3"))
# Measure Python with its default buffering and rill with its default loop
# path, whatever the calling shell asks for.
ENV = {k: v for k, v in os.environ.items() if k not in ("PYTHONUNBUFFERED", "RILL_REPLAY")}

failures = []


def fail(message):
    failures.append(message)
    print("  FAILED: " + message)


# ---------------------------------------------------------------- timing

def digest(path):
    """The output itself when it is one short line, else its size and hash."""
    data = path.read_bytes()
    if len(data) <= 400 and data.count(b"\n") <= 1:
        return data.decode(errors="replace").strip()
    lines = data.count(b"\n")
    return f"{lines} lines, sha256 {hashlib.sha256(data).hexdigest()[:16]}"


def measure(name, impls, runs, expected=None):
    """Runs each (label, command) `runs` times and returns {label: median seconds}.
    A command may be a pair (argument list, extra environment variables).

    The implementations take turns, so that load from other users of the
    machine falls on all of them alike. Each run's output must equal
    `expected`, or when that is None the output of the last implementation.
    A label whose run failed or printed something else maps to None.
    """
    times = {label: [] for label, _ in impls}
    outputs = {label: set() for label, _ in impls}
    broken = set()
    for _ in range(runs):
        for label, cmd in impls:
            cmd, extra = cmd if isinstance(cmd, tuple) else (cmd, {})
            out = OUT / f"{name}.{re.sub(r'[^a-z0-9]+', '_', label)}.out"
            with open(out, "wb") as sink:
                start = time.perf_counter()
                proc = subprocess.run(cmd, stdout=sink, stderr=subprocess.PIPE, env={**ENV, **extra})
                times[label].append(time.perf_counter() - start)
            if proc.returncode != 0 or proc.stderr:
                if label not in broken:
                    err = proc.stderr.decode(errors="replace").strip()[:200]
                    fail(f"{name}: {label} exited with {proc.returncode}: {err}")
                broken.add(label)
            outputs[label].add(digest(out))
    if expected is None:
        expected = next(iter(outputs[impls[-1][0]]))
    for label, _ in impls:
        seen = outputs[label]
        if label not in broken and seen != {expected}:
            fail(f"{name}: {label} printed {' / '.join(sorted(seen))}, expected {expected}")
            broken.add(label)
    return {label: None if label in broken else statistics.median(times[label])
            for label, _ in impls}


def cell(seconds, base):
    if seconds is None:
        return "WRONG"
    if base is None:
        return f"{seconds:.3f}"
    return f"{seconds:.3f} ({seconds / base:.2f})"


# ---------------------------------------------------------------- scanner

WORDS = ("the quick brown fox jumps over a lazy dog while seven busy clerks file "
         "their reports; numbers like 12 and 3.5 appear, and so do (brackets), "
         "=+ signs, if, loop, out and P, which mean nothing inside a string").split()


def prose(rng, length, line_width):
    """Words of about `length` characters with a line end every `line_width`."""
    parts, size, col = [], 0, 0
    while size < length:
        word = rng.choice(WORDS)
        if line_width and col + len(word) > line_width:
            parts.append("\n")
            col = 0
        elif parts:
            parts.append(" ")
            col += 1
        parts.append(word)
        size += len(word) + 1
        col += len(word)
    return "".join(parts)


def gen_scanner(path, target_bytes=8_000_000):
    """Writes a valid program of about `target_bytes`; returns its token count.

    It holds long remarks over many lines, string prints and assignments.
    Statements are grouped in if-blocks of a few hundred, because one list
    holds fewer than 5000 statements. Each statement is built as its list of
    tokens, so the count is known without scanning.
    """
    rng = random.Random(7)
    names = ["total", "count_2", "width9", "ab_cd", "x1", "rate", "sum_all", "k7", "r2d2"]
    chunks, tokens, size = [], 0, 0

    def emit(toks, indent="", end=";"):
        nonlocal tokens, size
        text = indent + " ".join(toks + [end]) + "\n"
        chunks.append(text)
        tokens += len(toks) + bool(end)
        size += len(text)

    def atom():
        r = rng.random()
        if r < 0.5:
            return [rng.choice(names)]
        if r < 0.8:
            return [str(rng.randint(0, 99999))]
        return [f"{rng.randint(0, 999)}.{rng.randint(0, 99)}"]

    def expression():
        toks = atom()
        for _ in range(rng.randint(1, 6)):
            op = rng.choice("+-*/")
            if op == "/":  # a constant divisor that stays nonzero in integer mode
                toks += ["/", str(rng.randint(1, 50))]
            elif rng.random() < 0.2:
                toks += [op, "("] + atom() + [rng.choice("+-")] + atom() + [")"]
            else:
                toks += [op] + atom()
        return toks

    while size < target_bytes:
        emit(["'", '"' + prose(rng, rng.randint(2000, 12000), 70) + '"', "'"])
        emit(["dbl", "rate", ",", "x1"])
        # Some blocks are skipped: the scanner reads them all the same.
        emit(["if", "(", "1", rng.choice(["==", "=<", "=!"]), "1", ")"], end="{")
        for _ in range(rng.randint(100, 400)):
            r = rng.random()
            if r < 0.05:
                emit(["'", '"' + prose(rng, rng.randint(100, 1000), 60) + '"', "'"], "  ")
            elif r < 0.4:
                items = ['"' + prose(rng, rng.randint(5, 60), 0) + '"']
                if rng.random() < 0.5:
                    items += [rng.choice(names), '" and "', rng.choice(names)]
                emit(["P", "("] + items + ["\\n", ")"], "  ")
            elif r < 0.5:
                emit([rng.choice(names), rng.choice(["++", "--"])], "  ")
            else:
                op = rng.choice(["=", "=", "=+", "=-", "=*"])
                emit([rng.choice(names), op] + expression(), "\t")
        emit(["}"])
    path.write_text("".join(chunks))
    return tokens


def bench_scanner():
    src = OUT / "scan.rill"
    tokens = gen_scanner(src)
    size = src.stat().st_size
    mb = size / 1e6
    print(f"\nscanner: generated {src.relative_to(ROOT)}, {mb:.1f} MB, {tokens} tokens")
    scan = measure("scan", [("rill_scan --count", [str(RILL_SCAN), str(src), "--count"])],
                   5, expected=str(tokens))["rill_scan --count"]
    run = measure("scanrun", [("rill", [str(RILL), str(src)])], 5,
                  expected=None)["rill"]
    print(f"  {'tokenise (rill_scan FILE --count)':36} median of 5: "
          + ("WRONG" if scan is None else f"{scan:.3f} s   {mb / scan:6.1f} MB/s"))
    print(f"  {'run the program (rill FILE)':36} median of 5: "
          + ("FAILED" if run is None else f"{run:.3f} s   {mb / run:6.1f} MB/s"))


# ---------------------------------------------------------------- straight-line

LIMIT = 2**31          # every intermediate value stays below this
VALUE_LIMIT = 2**20    # and every variable below this, so that products fit


def gen_straight(n_statements=4900, n_vars=20, terms=(5, 12), seed=11):
    """Returns (rill, lua, python, expected output, statements) of one
    straight-line program.

    The generator computes as it writes and keeps every value, intermediate
    ones included, between 0 and 2^31: the three languages then agree with
    no wrapping to mirror, and truncating and flooring division agree too.
    """
    rng = random.Random(seed)
    vals = [0] * n_vars

    def fits(x):
        return 0 <= x < LIMIT

    def factor(nested):
        r = rng.random()
        if r < 0.15 and not nested:
            return total(rng.randint(2, 3), True, "(", ")")
        if r < 0.65:
            k = rng.randrange(n_vars)
            return f"v{k}", vals[k]
        c = rng.randint(1, 999)
        return str(c), c

    def term(nested):
        text, val = factor(nested)
        for _ in range(rng.choice([0, 0, 1, 1, 2])):
            for _ in range(20):  # look for an operand that keeps the value in range
                op = rng.choice("*/")
                t2, v2 = factor(nested)
                new = val * v2 if op == "*" else (val // v2 if v2 > 0 else -1)
                if fits(new):
                    text, val = f"{text} {op} {t2}", new
                    break
        return text, val

    def total(n, nested=False, left="", right=""):
        text, val = term(nested)
        for _ in range(n - 1):
            for _ in range(20):
                op = rng.choice("+-")
                t2, v2 = term(nested)
                new = val + v2 if op == "+" else val - v2
                if fits(new):
                    text, val = f"{text} {op} {t2}", new
                    break
        return f"{left}{text}{right}", val

    def expression(at_most):
        """A long expression whose value is at most `at_most` (at least 1)."""
        text, val = total(rng.randint(*terms))
        if val > at_most:
            c = val // at_most + 1
            text, val = f"({text}) / {c}", val // c
        return text, val

    def statement(k):
        v, old = f"v{k}", vals[k]
        r = rng.random()
        if r < 0.05 and old + 1 < VALUE_LIMIT:
            return f"{v} ++;", f"{v} = {v} + 1", f"{v} += 1", old + 1
        if r < 0.1 and old > 0:
            return f"{v} --;", f"{v} = {v} - 1", f"{v} -= 1", old - 1
        op = rng.choice("==++-*/") if r >= 0.1 else "="
        room = {"=": VALUE_LIMIT - 1, "+": VALUE_LIMIT - 1 - old, "-": old,
                "*": (VALUE_LIMIT - 1) // max(old, 1), "/": LIMIT - 1}[op]
        if room < 1:
            return None
        text, val = expression(room)
        if op == "/" and val == 0:
            return None
        new = {"=": val, "+": old + val, "-": old - val, "*": old * val,
               "/": old // max(val, 1)}[op]
        floor = text.replace("/", "//")
        if op == "=":
            return f"{v} = {text};", f"{v} = {floor}", f"{v} = {floor}", new
        lop = "//" if op == "/" else op
        return f"{v} ={op} {text};", f"{v} = {v} {lop} ({floor})", f"{v} {lop}= {floor}", new

    names = [f"v{k}" for k in range(n_vars)]
    rill = [f"int v{k}, v{k + 1};" for k in range(0, n_vars, 2)]
    lua = [f"local {', '.join(names)} = {', '.join('0' * n_vars)}"]
    py = ["def main():", f"    {' = '.join(names)} = 0"]
    while len(rill) < n_statements - 1:
        k = rng.randrange(n_vars)
        made = statement(k)
        if made:
            rill.append(made[0])
            lua.append(made[1])
            py.append("    " + made[2])
            vals[k] = made[3]
    rill.append("P(" + ' " " '.join(names) + " \\n);")
    lua.append(f'print(string.format("{" ".join(["%d"] * n_vars)}", {", ".join(names)}))')
    py += [f"    print({', '.join(names)})", "", "", "main()"]
    expected = " ".join(str(v) for v in vals)
    return "\n".join(rill) + "\n", "\n".join(lua) + "\n", "\n".join(py) + "\n", expected, len(rill)


def bench_straight():
    rill, lua, py, expected, count = gen_straight()
    paths = {ext: OUT / f"straight.{ext}" for ext in ("rill", "lua", "py")}
    for ext, text in zip(("rill", "lua", "py"), (rill, lua, py)):
        paths[ext].write_text(text)
    runs = 11
    kb = paths["rill"].stat().st_size / 1e3
    print(f"\nstraight-line: {count} statements, {kb:.0f} kB of rill source, "
          f"median of {runs} runs from start to exit, seconds (time / lua5.4 time)")
    res = measure("straight", [
        ("rill", [str(RILL), str(paths["rill"])]),
        ("lua5.4", ["lua5.4", str(paths["lua"])]),
        ("python3", [PYTHON, str(paths["py"])]),
    ], runs, expected=expected)
    for label, t in res.items():
        print(f"  {label:10} {cell(t, res['lua5.4'])}")


# ---------------------------------------------------------------- loops

WORKLOADS = ["intarith", "realarith", "branchy", "nested", "printing",
             "collatz", "mandel", "primes", "digits", "ladder", "breaks", "mixed", "varcount",
             "triangle", "wide", "blocks", "jumpy", "states", "randoms"]


def luajit_source(name):
    """LuaJIT has no "//": the Lua files write it only between two plain
    operands, which this rewrites as a call of math.floor."""
    text = (LOOPS / f"{name}.lua").read_text()
    text = re.sub(r"([\w.]+) // ([\w.]+)", r"floor(\1 / \2)", text)
    path = OUT / f"{name}.jit.lua"
    path.write_text("local floor = math.floor\n" + text)
    return path


def native_binary(name):
    src, binary = LOOPS / f"{name}.cpp", OUT / f"{name}.bin"
    if not binary.exists() or binary.stat().st_mtime < src.stat().st_mtime:
        # No fused multiply-add, so that the doubles agree on every machine.
        subprocess.run(["g++", "-O2", "-ffp-contract=off", "-o", str(binary), str(src)], check=True)
    return binary


# rill's ways of running a loop body, each a column of its own: its default
# (native code for loops that run long enough), always native, always threaded.
RILL_PATHS = [("rill", None), ("rill native", "native"), ("rill threaded", "threaded")]


def rill_command(path, replay):
    return [str(RILL), str(path)], {"RILL_REPLAY": replay} if replay else {}


def ratio_table(title, names, results, labels, base):
    print(f"\n{title}")
    print(f"  {'workload':10}" + "".join(f"{label:>15}" for label in labels))
    for name in names:
        res = results[name]
        cells = ["WRONG" if res[label] is None or res[base] is None else f"{res[label] / res[base]:.2f}"
                 for label in labels]
        print(f"  {name:10}" + "".join(f"{c:>15}" for c in cells))


def bench_loops():
    labels = [label for label, _ in RILL_PATHS] + ["luajit", "luajit -joff", "lua5.4", "python3",
                                                   "c++ -O2"]
    print(f"\nloops: median of {LOOP_RUNS} runs, seconds")
    print(f"  {'workload':10}" + "".join(f"{label:>15}" for label in labels))
    results = {}
    for name in WORKLOADS:
        jit_source = str(luajit_source(name))
        results[name] = res = measure(name, [
            *[(label, rill_command(LOOPS / f"{name}.rill", replay)) for label, replay in RILL_PATHS],
            ("luajit", ["luajit", jit_source]),
            ("luajit -joff", ["luajit", "-joff", jit_source]),
            ("lua5.4", ["lua5.4", str(LOOPS / f"{name}.lua")]),
            ("python3", [PYTHON, str(LOOPS / f"{name}.py")]),
            ("c++ -O2", [str(native_binary(name))]),
        ], LOOP_RUNS)
        print(f"  {name:10}" + "".join(f"{cell(res[label], None):>15}" for label in labels), flush=True)
    ratio_table("loops: time / c++ -O2 time (below 1 is faster than native code)",
                WORKLOADS, results, labels, "c++ -O2")
    ratio_table("loops: time / luajit time (below 1 is faster than LuaJIT with its compiler)",
                WORKLOADS, results, labels, "luajit")


def gen_short_loops(n_loops):
    """Many top-level loops of few passes each, with the declarations and the
    print near the most one statement list holds: what compiling a body costs
    when it is run only a little."""
    rng = random.Random(49)
    lines = ["int a, b;", "int i;", "dbl x;"]
    for _ in range(n_loops):
        lines.append(f"loop ({rng.randint(1, 4)}) {{ a =+ {rng.randint(1, 9)}; b = a * 3 - b / 2; "
                     f"x = x / 2 + b; i ++; }};")
    lines.append('P(a " " b " " i " " x \\n);')
    return "\n".join(lines) + "\n"


def bench_short_loops():
    path = OUT / "shortloops.rill"
    loops = 4896
    path.write_text(gen_short_loops(loops))
    runs = 11
    print(f"\nshort loops: {loops} top-level loops of 1 to 4 passes, median of {runs} runs "
          f"from start to exit, seconds (time / rill threaded time)")
    res = measure("shortloops", [(label, rill_command(path, replay)) for label, replay in RILL_PATHS],
                  runs)
    for label, t in res.items():
        print(f"  {label:14} {cell(t, res['rill threaded'])}")


def gen_compile_loops(n_loops, statements):
    """n_loops top-level loops of two passes, each body `statements`
    statements of four operations (a multiply, an add, a division by a
    constant, a subtract), integer and real in turn."""
    rng = random.Random(statements)
    lines = [f"dbl x{k}, x{k + 1};" for k in range(0, 10, 2)]
    lines += [f"i{k} = {k + 3}; x{k} = {k}.25;" for k in range(10)]
    for _ in range(n_loops):
        body = []
        for k in range(statements):
            v, a, b, c, d = (rng.randrange(10) for _ in range(5))
            if k % 2:
                body.append(f"x{v} = x{a} * x{b} + x{c} - x{d} / 7.5;")
            else:
                body.append(f"i{v} = i{a} * i{b} + i{c} - i{d} / 7;")
        lines.append("loop (2) { " + " ".join(body) + " };")
    lines.append("P(" + " \" \" ".join([f"i{k}" for k in range(10)] + [f"x{k}" for k in range(10)]) + " \\n);")
    return "\n".join(lines) + "\n"


def bench_compile():
    runs = 5
    print(f"\ncompile time: top-level loops of two passes, median of {runs} runs from start to exit; "
          f"per loop: (native - threaded) / loops")
    print(f"  {'body ops':>9} {'loops':>6} {'rill native':>12} {'rill threaded':>14} {'per loop, ms':>13}")
    for statements, loops in ((2, 2000), (25, 400), (75, 200), (250, 100)):
        path = OUT / f"compile{statements}.rill"
        path.write_text(gen_compile_loops(loops, statements))
        res = measure(f"compile{statements}", [(label, rill_command(path, replay))
                                                for label, replay in RILL_PATHS[1:]], runs)
        native, threaded = res["rill native"], res["rill threaded"]
        per_loop = "WRONG" if native is None or threaded is None else f"{(native - threaded) / loops * 1000:.3f}"
        print(f"  {4 * statements + 1:>9} {loops:>6} {cell(native, None):>12} {cell(threaded, None):>14} "
              f"{per_loop:>13}", flush=True)


# ---------------------------------------------------------------- memory

def peak_kb(cmd, extra):
    """Peak resident memory of one run, in kB, as /usr/bin/time -v reports it."""
    proc = subprocess.run(["/usr/bin/time", "-v"] + cmd, capture_output=True, text=True,
                          env={**ENV, **extra})
    match = re.search(r"Maximum resident set size \(kbytes\): (\d+)", proc.stderr)
    if proc.returncode != 0 or not match:
        fail(f"memory: {' '.join(cmd)} failed")
        return 0
    return int(match.group(1))


def gen_long_statements(n_statements=4980, terms=8):
    """Statements near the most one list holds, each with a long expression."""
    rng = random.Random(4998)
    lines = ["int a, b;", "dbl x;", "a = 3; b = 5;"]
    for i in range(n_statements - 4):
        expr = " + ".join(f"(a * {rng.randint(1, 9)} - b / {rng.randint(1, 9)})" for _ in range(terms))
        lines.append(f"x =+ {expr};" if i % 2 else f"a = {expr} / 1000;")
    lines.append('P(a " " x \\n);')
    return "\n".join(lines) + "\n"


def bench_memory():
    long_path = OUT / "long.rill"
    long_path.write_text(gen_long_statements())
    print("\nmemory: peak resident set size of one run (/usr/bin/time -v), MiB")
    rows = [("4980 statements of 8 terms each", long_path)]
    rows += [(f"loops: {name}", LOOPS / f"{name}.rill") for name in WORKLOADS]
    for count in (10**6, 10**8):
        path = OUT / f"passes{count}.rill"
        path.write_text(f"int i, s;\nloop ({count}) {{ i ++; s =+ i / 3; }};\nP(i \\n);\n")
        rows.append((f"a loop of {count:.0e} passes", path))
    print(f"  {'':36}" + "".join(f"{label:>15}" for label, _ in RILL_PATHS))
    for label, path in rows:
        cells = []
        for _, replay in RILL_PATHS:
            cmd, extra = rill_command(path, replay)
            cells.append(f"{peak_kb(cmd, extra) / 1024:15.1f}")
        print(f"  {label:36}" + "".join(cells), flush=True)


# ---------------------------------------------------------------- long programs

# Statements a block holds: the blocks and the statements of one block must
# together stay under what one statement list takes (about 5000).
PARSE_BLOCK = 4000


def gen_parse_heavy(scale):
    """The straight-line program at `scale` times 4900 statements, about 68
    bytes each, as rill (in blocks, since one statement list holds about
    5000 statements), Lua, Python and C++. Returns (paths, expected, count)."""
    count = 4900 * scale
    rill, lua, py, expected, _ = gen_straight(count, terms=(2, 6), seed=17)
    lines = rill.splitlines()
    decls, body, last = lines[:10], lines[10:-1], lines[-1]
    blocked = list(decls)
    for i in range(0, len(body), PARSE_BLOCK):
        blocked += ["if (1 == 1) {", *body[i:i + PARSE_BLOCK], "};"]
    blocked.append(last)
    names = [f"v{k}" for k in range(20)]
    cpp = ["#include <cstdio>", "int main() {", f"    int {' = 0, '.join(names)} = 0;"]
    for line in py.splitlines()[2:-4]:
        cpp.append(line.replace("//", "/") + ";")
    cpp += [f'    std::printf("{" ".join(["%d"] * 20)}\\n", {", ".join(names)});', "}"]
    paths = {}
    for ext, text in (("rill", "\n".join(blocked) + "\n"), ("lua", lua), ("jit.lua", floor_divisions(lua)), ("py", py),
                      ("cpp", "\n".join(cpp) + "\n")):
        paths[ext] = OUT / f"parse{scale}x.{ext}"
        paths[ext].write_text(text)
    return paths, expected, count


def floor_divisions(lua):
    """The straight-line Lua program for LuaJIT, which has no "//": each
    statement "v = EXPR" is read and written again with floor(a / b)."""
    def expression(tokens):
        def factor():
            t = tokens.pop(0)
            if t != "(":
                return t
            inner = expression(tokens)
            tokens.pop(0)  # ")"
            return f"({inner})"

        def term():
            text = factor()
            while tokens and tokens[0] in ("*", "//"):
                op = tokens.pop(0)
                text = f"{text} * {factor()}" if op == "*" else f"floor({text} / {factor()})"
            return text

        text = term()
        while tokens and tokens[0] in ("+", "-"):
            text = f"{text} {tokens.pop(0)} {term()}"
        return text

    out = ["local floor = math.floor"]
    for line in lua.splitlines():
        match = re.fullmatch(r"(v\d+) = (.*)", line)
        if match and "//" in line:
            tokens = re.findall(r"//|\w+|[-+*()]", match.group(2))
            line = f"{match.group(1)} = {expression(tokens)}"
        out.append(line)
    return "\n".join(out) + "\n"


def bench_parse():
    runs = 5
    print(f"\nparse: straight-line programs of 4900 statements (1x) to 98000 (20x), "
          f"median of {runs} runs from start to exit, seconds (time / luajit time)")
    labels = ["rill", "luajit", "luajit -joff", "lua5.4", "python3", "g++ -fsyntax-only"]
    print(f"  {'':22}" + "".join(f"{label:>20}" for label in labels))
    for scale in (1, 10, 20):
        paths, expected, count = gen_parse_heavy(scale)
        res = measure(f"parse{scale}x", [
            ("rill", [str(RILL), str(paths["rill"])]),
            ("luajit", ["luajit", str(paths["jit.lua"])]),
            ("luajit -joff", ["luajit", "-joff", str(paths["jit.lua"])]),
            ("lua5.4", ["lua5.4", str(paths["lua"])]),
            ("python3", [PYTHON, str(paths["py"])]),
        ], runs, expected=expected)
        # The C++ compiler only reads and checks the program: it prints nothing.
        res.update(measure(f"parse{scale}x_cpp", [("g++ -fsyntax-only", ["g++", "-fsyntax-only", str(paths["cpp"])])],
                           runs if scale == 1 else 1, expected=""))
        mb = paths["rill"].stat().st_size / 1e6
        row = f"{scale}x, {count} ({mb:.1f} MB)"
        print(f"  {row:22}" + "".join(f"{cell(res[label], res['luajit']):>20}" for label in labels), flush=True)


def usage_of(cmd):
    """(peak resident kB, minor page faults) of one run, as /usr/bin/time -v reports them."""
    proc = subprocess.run(["/usr/bin/time", "-v"] + cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                          text=True, env=ENV)
    peak = re.search(r"Maximum resident set size \(kbytes\): (\d+)", proc.stderr)
    faults = re.search(r"Minor \(reclaiming a frame\) page faults: (\d+)", proc.stderr)
    if proc.returncode != 0 or not peak or not faults:
        fail(f"footprint: {' '.join(cmd)} failed")
        return 0, 0
    return int(peak.group(1)), int(faults.group(1))


def bench_footprint():
    runs = 3
    print(f"\nfootprint: the straight-line programs, peak resident MiB / minor page faults, "
          f"median of {runs} runs (/usr/bin/time -v)")
    labels = ["rill", "luajit", "lua5.4"]
    print(f"  {'':30}" + "".join(f"{label:>20}" for label in labels))
    for scale in (1, 10, 20, 200):
        paths, _, count = gen_parse_heavy(scale)
        cmds = {"rill": [str(RILL), str(paths["rill"])], "luajit": ["luajit", str(paths["jit.lua"])],
                "lua5.4": ["lua5.4", str(paths["lua"])]}
        # LuaJIT takes at most 65536 constants in one function.
        run_labels = [label for label in labels if scale < 200 or label != "luajit"]
        samples = {label: [] for label in labels}
        for _ in range(runs):
            for label in run_labels:
                samples[label].append(usage_of(cmds[label]))
        cells = []
        for label in labels:
            if not samples[label]:
                cells.append("too many constants")
                continue
            peak = statistics.median(p for p, _ in samples[label])
            faults = statistics.median(f for _, f in samples[label])
            cells.append(f"{peak / 1024:9.1f} / {faults:<8.0f}")
        row = f"{scale}x, {count} statements"
        print(f"  {row:30}" + "".join(f"{c:>20}" for c in cells), flush=True)
        for path in paths.values():
            if scale == 200:
                path.unlink()


def bench_startup():
    """Start-up: hyperfine -N, one batch per command in turn, round after round,
    so that load from other users falls on all alike; the median of every run."""
    import json
    hello_c = OUT / "hello.c"
    hello_c.write_text('#include <stdio.h>\nint main(void) { puts("hi"); return 0; }\n')
    hello = OUT / "hello_c"
    subprocess.run(["gcc", "-O2", "-o", str(hello), str(hello_c)], check=True)
    one_line = OUT / "hello.rill"
    one_line.write_text('P("hi" \\n);\n')
    hello_lua = OUT / "hello.lua"
    hello_lua.write_text('print("hi")\n')
    cmds = [("true", "true"), ("C hello world", str(hello)), ("rill one line", f"{RILL} {one_line}"),
            ("luajit", f"luajit {hello_lua}"), ("lua5.4", f"lua5.4 {hello_lua}")]
    rounds, per_batch = 20, 50
    times = {label: [] for label, _ in cmds}
    result = OUT / "startup.json"
    for _ in range(rounds):
        for label, cmd in cmds:
            subprocess.run(["hyperfine", "-N", "-w", "5", "-r", str(per_batch), "--export-json", str(result), cmd],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
            times[label] += json.loads(result.read_text())["results"][0]["times"]
    base = statistics.median(times["C hello world"])
    print(f"\nstartup: hyperfine -N, {rounds} interleaved rounds of {per_batch} runs each, "
          f"median ms (time / C hello world time)")
    for label, _ in cmds:
        t = statistics.median(times[label])
        print(f"  {label:16} {t * 1000:7.3f} ({t / base:.2f})")
    ldd = subprocess.run(["ldd", str(RILL)], capture_output=True, text=True).stdout
    libs = [line.split()[0] for line in ldd.splitlines() if "=>" in line]
    print("  rill loads " + (", ".join(libs) if libs else f"no shared library (ldd: {ldd.strip()})"))


def bench_scan_cost():
    """Instructions per byte of the scanner (valgrind's count of instructions
    run, cachegrind without cache simulation), on the scanner workload and on
    the 10x straight-line program, less those of an empty file."""
    def instructions(path):
        proc = subprocess.run(["valgrind", "--tool=cachegrind", "--cache-sim=no", "--cachegrind-out-file=/dev/null",
                               str(RILL_SCAN), str(path), "--count"], capture_output=True, text=True)
        match = re.search(r"I\s+refs:\s+([\d,]+)", proc.stderr)
        if proc.returncode != 0 or not match:
            fail(f"scan cost: rill_scan {path} failed")
            return 0
        return int(match.group(1).replace(",", ""))
    empty = OUT / "empty.rill"
    empty.write_text("")
    scanner_file = OUT / "scanner.rill"
    gen_scanner(scanner_file)
    paths, _, _ = gen_parse_heavy(10)
    base = instructions(empty)
    print("\nscan cost: instructions per byte of rill_scan --count (valgrind)")
    for label, path in (("scanner workload", scanner_file), ("10x straight-line program", paths["rill"])):
        size = path.stat().st_size
        print(f"  {label:28} {(instructions(path) - base) / size:6.1f}  ({size / 1e6:.1f} MB)", flush=True)


# ---------------------------------------------------------------- main

def version(cmd):
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True)
        first = (proc.stdout + proc.stderr).strip().splitlines()[0]
        return re.split(r"\s{2,}| -- ", first)[0]  # without the copyright
    except OSError:
        return "missing"


def machine():
    model = "unknown"
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            model = line.split(":", 1)[1].strip()
            break
    git = ["git", "-C", str(ROOT)]
    commit = subprocess.run(git + ["rev-parse", "--short", "HEAD"],
                            capture_output=True, text=True).stdout.strip() or "unknown"
    if subprocess.run(git + ["status", "--porcelain", "--", "src", "CMakeLists.txt"],
                      capture_output=True, text=True).stdout.strip():
        commit += " with uncommitted changes"
    print(f"date     {time.strftime('%Y-%m-%d %H:%M %Z')}")
    print(f"machine  nproc {len(os.sched_getaffinity(0))}, {model}, {platform.machine()}")
    if "BENCH_RILL" in os.environ:
        print(f"rill     {RILL} (BENCH_RILL)")
    else:
        print(f"rill     {RILL.relative_to(ROOT)} (Release) at commit {commit}")
    print(f"others   {version(['lua5.4', '-v'])}, {version(['luajit', '-v'])}, "
          f"Python {platform.python_version()}, {version(['g++', '--version'])}")


def main(argv):
    benches = {"scanner": bench_scanner, "straight": bench_straight, "loops": bench_loops,
               "short": bench_short_loops, "compile": bench_compile, "memory": bench_memory,
               "parse": bench_parse, "footprint": bench_footprint, "startup": bench_startup,
               "scancost": bench_scan_cost}
    chosen = argv or list(benches)
    unknown = [name for name in chosen if name not in benches]
    if unknown:
        raise SystemExit(f"unknown benchmark {', '.join(unknown)}; choose from {', '.join(benches)}")
    OUT.mkdir(exist_ok=True)
    machine()
    for name in chosen:
        benches[name]()
    if failures:
        print(f"\n{len(failures)} check(s) failed:")
        for message in failures:
            print("  " + message)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
