#!/usr/bin/env python3
"""Random loop programs, each run through every replay path of rill.

Usage: random_programs.py RILL [--first N] [--count N] [--paths walk,threaded,native,default]
                          [--keep DIR] [--show N] [--corners] [--frozen-clock]

Program number N is always the same text (it is made by random.Random(N)),
so a difference found here is reproduced with `--show N`. Each program runs
once per path (RILL_REPLAY=path; "default" leaves it unset, so that rill
chooses loop by loop) in an empty working directory of its own;
standard output, standard error, exit status and every file left behind must
agree between the paths. The exit status is 1 when any program differed.

The programs mix integer and real variables, nest loops and blocks, break at
every depth, count loops by constants and by variables holding negative,
real, NaN and out-of-range values, divide by zero in both numeric modes,
reach INT_MIN, make NaNs and infinities, draw random numbers, read the
console and print to the console and to a file. With --corners (a different
program N), a third of the statements aim at the native code's corners:
integer relations against INT_MIN, INT_MAX and NaN-producing reals, short
blocks that run without a branch, with divisions and with writes to what
their tests read, runs of blocks testing one value against constants
(one test's outcome may decide the next), breaks inside blocks, inner
loops started many times with counts the outer body sets, and wide
bodies of reals that repeat subexpressions across statements, with NaNs
and infinities. With --tiers
(a different program N again), the loops run long enough to move to native
code in mid-run: nests whose inner counts are the outer loops' variables,
blocks whose tests follow a pattern or none, breaks before and after the
move, draws everywhere (in counts, tests, divisors and blocks), and
divisions that reach zero late.
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

INTS = ["a", "b", "c"]
REALS = ["x", "y", "z"]
COUNTS = ["n", "k"]          # integer loop counts, only ever set to small values
REAL_COUNT = "m"             # a real loop count
UNDECLARED = "u"             # an integer because it is never declared
RELATIONS = ["==", "=!", "=<", "=>", "<", ">"]
# 2147483648, 4294967293 and 4294967295 wrap to INT_MIN, -3 and -1 in integer mode.
INT_CONSTANTS = ["0", "1", "2", "3", "7", "10", "255", "65536", "1000003",
                 "2147483647", "2147483648", "4294967293", "4294967295"]
REAL_CONSTANTS = ["0.0", "0.5", "1.0", "2.9", "3.75", "0.1", "123456.789",
                  "99999999999.0", "2147483648.0", "4294967298.0", "1.5"]
# Values a count variable takes before a loop: none makes a loop run long,
# several make it run not at all.
COUNT_VALUES = ["0", "1", "2", "3", "5", "2147483648", "4294967295"]
REAL_COUNT_VALUES = ["2.7", "0.5", "1.0", "3.0", "0 - 2.7", "0.0 / 0", "1.0 / 0",
                     "0 - 1.0 / 0", "3000000000.0", "4294967298.0", "99999999999999999999.0"]
WORDS = ["pass", "at", "x=", "%d", "%s", "", "end", "a\nb", "\\t"]
MAX_PASSES = 20000           # an estimate bound on how often any statement runs
PRINT_PASSES = 400           # and on how often a print runs


# Integer values at the edges of the integer relations, as expressions: in a
# comparison they are exact reals, in integer mode INT_MIN wraps.
EDGE_INTS = ["2147483647", "0 - 2147483647 - 1", "2147483648", "0 - 1", "0", "1"]
EDGE_REALS = ["0.0 / 0", "0 - 0.0 / 0", "1.0 / 0", "0 - 1.0 / 0", "2147483647.5", "0 - 2147483648.0"]


class Generator:
    def __init__(self, number, corners=False):
        self.rng = random.Random(number)
        self.lines = []
        self.corners = corners

    def chance(self, p):
        return self.rng.random() < p

    def pick(self, items):
        return self.rng.choice(items)

    # ------------------------------------------------------------ expressions

    def atom(self):
        r = self.rng.random()
        if r < 0.25:
            return self.pick(INTS + [UNDECLARED])
        if r < 0.45:
            return self.pick(REALS)
        if r < 0.5:
            return self.pick(COUNTS + [REAL_COUNT])
        if r < 0.75:
            return self.pick(INT_CONSTANTS)
        if r < 0.93:
            return self.pick(REAL_CONSTANTS)
        return f"rand({self.pick(['10', '1', '0', '65536', '65537', '2.5', '0.1', self.pick(INTS + REALS)])})"

    def divisor(self):
        r = self.rng.random()
        if r < 0.02:
            return self.pick(["0", "0.0", "(1 - 1)"])
        if r < 0.1:
            return "(0 - 1)"
        if r < 0.16:
            v = self.pick(INTS + REALS + COUNTS)
            return v if self.chance(0.4) else f"({v} + 7)"
        return self.pick(["2", "3", "7", "10", "1.5", "2.5", "1000", "65536", "0.5"])

    def expression(self, size=None):
        if size is None:
            size = self.rng.randint(1, 5)
        if size <= 1:
            return self.atom()
        if self.chance(0.04):
            # Right-nested: needs more value-stack positions than usual.
            depth = self.rng.randint(8, 14)
            text = self.atom()
            for _ in range(depth):
                text = f"{self.atom()} {self.pick('+-*')} ({text})"
            return text
        left = self.expression(self.rng.randint(1, size - 1))
        op = self.pick("++--**/")
        right = self.divisor() if op == "/" else self.expression(self.rng.randint(1, size - 1))
        text = f"{left} {op} {right}"
        return f"({text})" if self.chance(0.3) else text

    # ------------------------------------------------------------ statements

    def emit(self, indent, text):
        self.lines.append("    " * indent + text)

    def assignment(self, indent):
        target = self.pick(INTS + REALS + [UNDECLARED])
        r = self.rng.random()
        if r < 0.08:
            self.emit(indent, f"{target} {self.pick(['++', '--'])};")
        elif r < 0.12:
            special = self.pick(["0.0 / 0", "0 - 0.0 / 0", "1.0 / 0", "0 - 1.0 / 0", "2147483648",
                                 "2147483647 + 1", "99999999999.0 * 99999999999.0 * 99999999999.0"])
            self.emit(indent, f"{target} = {special};")
        else:
            op = self.pick(["=", "=", "=", "=+", "=-", "=*", "=/"])
            rhs = self.divisor() if op == "=/" and self.chance(0.85) else self.expression()
            self.emit(indent, f"{target} {op} {rhs};")

    def count_setting(self, indent, passes):
        if self.chance(0.3):
            self.emit(indent, f"{REAL_COUNT} = {self.pick(REAL_COUNT_VALUES)};")
        elif passes <= 8 and self.chance(0.3):
            self.emit(indent, f"{self.pick(COUNTS)} {self.pick(['++', '--'])};")
        else:
            self.emit(indent, f"{self.pick(COUNTS)} = {self.pick(COUNT_VALUES)};")

    def print_items(self):
        items = []
        for _ in range(self.rng.randint(1, 5)):
            r = self.rng.random()
            if r < 0.5:
                items.append(self.pick(INTS + REALS + COUNTS + [REAL_COUNT, UNDECLARED]))
            elif r < 0.75:
                items.append('"' + self.pick(WORDS) + '"')
            else:
                items.append("\\n")
        if self.chance(0.7):
            items.append("\\n")
        return " ".join(items)

    def condition(self):
        left = self.expression(self.rng.randint(1, 3))
        right = self.expression(self.rng.randint(1, 2))
        return f"{left} {self.pick(RELATIONS)} {right}"

    def loop_count(self, passes, quiet):
        """Returns (count text, passes it may run at most)."""
        r = self.rng.random()
        if r < 0.3:
            return self.pick(COUNTS), 5
        if r < 0.42:
            return REAL_COUNT, 4
        if passes == 1 and quiet and self.chance(0.3):
            n = self.pick([300, 1000, 3000, 10000])
            return str(n), n
        n = self.pick([0, 1, 1, 2, 2, 3, 4, 6])
        return str(n), max(n, 1)

    def statements(self, indent, loops, blocks, passes, quiet, budget):
        for _ in range(budget):
            self.statement(indent, loops, blocks, passes, quiet)

    def corner(self, indent, loops, blocks, passes, quiet):
        """A statement aimed at the native code's corners."""
        i, j = self.pick(INTS), self.pick(INTS + [UNDECLARED])
        rel = self.pick(RELATIONS)
        r = self.rng.random()
        if r < 0.15:
            self.emit(indent, f"{i} = {self.pick(EDGE_INTS)};")
        elif r < 0.25:
            self.emit(indent, f"{self.pick(REALS)} = {self.pick(EDGE_REALS)};")
        elif r < 0.34 and blocks < 5:
            self.test_chain(indent, loops, not quiet and passes <= PRINT_PASSES)
        elif r < 0.45 and blocks < 6:
            # A short integer block, perhaps nested, perhaps writing what its test reads.
            other = self.pick([self.pick(INTS), self.pick(EDGE_INTS), self.pick(REALS), self.pick(EDGE_REALS)])
            body = self.pick([f"{j} = {j} + {self.pick(['1', i, '2147483647'])};", f"{i} ++;",
                              f"{j} = {i} / {self.pick(['7', '1000', '2', '0 - 3', '1', '0 - 1'])};",
                              f"{i} = {i} * 3 + 1;", f"{j} --;"])
            if self.chance(0.3):
                body += f" if ({j} {self.pick(RELATIONS)} {self.pick(EDGE_INTS)}) {{ {i} = {j} - 1; }};"
            self.emit(indent, f"if ({i} {rel} {other}) {{ {body} }};")
        elif r < 0.6 and loops > 0 and blocks < 6:
            # A break inside a block, alone or after a step.
            step = self.pick(["", f"{i} ++; ", f"{j} = {j} / 7; "])
            self.emit(indent, f"if ({i} {rel} {self.pick(INTS + EDGE_INTS + REALS)}) {{ {step}out; }};")
        elif r < 0.8 and loops < 4 and passes <= 40:
            # An inner loop started many times, its count set by the body around it.
            outer = self.pick(["30", "200", "500"])
            self.emit(indent, f"loop ({outer}) {{")
            count = self.pick(COUNTS)
            v = self.pick(INTS)
            self.emit(indent + 1, f"{count} = {v} - {v} / 4 * 4;")  # -3 to 3
            self.emit(indent + 1, f"{i} ++;")
            self.emit(indent + 1, f"loop ({count}) {{")
            self.statements(indent + 2, loops + 2, blocks, passes * int(outer) * 4, True, self.rng.randint(1, 3))
            self.emit(indent + 1, "};")
            self.emit(indent, "};")
        elif r < 0.86 and loops < 4 and passes <= 40:
            self.wide_body(indent, passes)
        elif r < 0.93:
            self.drawn_test(indent, loops)
        else:
            self.emit(indent, f"{j} = {i} {self.pick('+-*/')} {self.pick(['7', '1000', '3', '2147483647'])};")

    def drawn_test(self, indent, loops):
        """A draw tested against constants at and around the ends of its
        range: straight after it, after a write, in either operand order,
        or the draw itself in the test; its block a step or a break."""
        if self.chance(0.5):
            v = self.pick(INTS)
            top = self.pick(["100", "1", "0", "65536", "65537", "0 - 100", "0 - 65536", "2147483647", v])
            c = self.pick(["0", "1", "99", "100", "0 - 1", "65535", "65536", "0 - 99", "0 - 100", "2147483648"])
        else:
            v = self.pick(REALS)
            top = self.pick(["1.0", "2.5", "0.0", "99999999999.0", self.pick(EDGE_REALS), v])
            c = self.pick(["0.0", "1.0", "0.999969482421875", "2.5", "2.4999237060546875", "0.5",
                           "99999999999.0", "0 - 0.5", self.pick(EDGE_REALS)])
        rel = self.pick(RELATIONS)
        test = self.pick([f"{v} {rel} {c}", f"{c} {rel} {v}"])
        draw = f"{v} = rand({top});"
        if self.chance(0.2):
            test = self.pick([f"rand({top}) {rel} {c}", f"{c} {rel} rand({top})"])
        elif self.chance(0.2):
            draw += f" {v} {self.pick(['++', '--'])};"
        body = self.pick([f"{self.pick(INTS)} ++;", f"{self.pick(INTS + REALS)} = {v};"] + (["out;"] if loops else []))
        self.emit(indent, f"{draw} if ({test}) {{ {body} }};")

    def test_chain(self, indent, loops, reads):
        """Blocks in a row testing one value against constants, each relation
        either way round, so that one test's outcome may decide the next:
        the value an integer or a real variable (NaN and the infinities
        among its values) or a repeated expression, stepping through a few
        values or at the edges; now and then a block writes the variable, a
        block nests one more test of it, or a statement stands between two."""
        real = self.chance(0.3)
        names = REALS if real else INTS + [UNDECLARED]
        v = self.pick(names)
        other = self.pick([x for x in INTS + [UNDECLARED] if x != v])
        value = self.pick([v, v, v, f"{v} - {v} / 2 * 2", f"{v} / 3"])
        r = self.rng.random()
        if real and r < 0.4:
            self.emit(indent, f"{v} = {self.pick([f'{v} + 0.5', f'{other} / 2', 'rand(4.0) - 1.5'])};")
        elif r < 0.4:
            self.emit(indent, f"{v} = {self.pick([f'{v} + 1', f'{other} - {other} / 5 * 5', 'rand(6) - 2'])};")
        elif r < 0.5:
            self.emit(indent, f"{v} = {self.pick(EDGE_REALS if real else EDGE_INTS)};")
        constants = ["0", "1", "2", "3", "2147483647", "0 - 1", "2147483648"]
        if real:
            constants = ["0.0", "0.5", "1.0", "1", "2.5", "99999999999.0", "0 - 1.5"]

        def test():
            k = self.pick(constants)
            rel = self.pick(RELATIONS)
            return f"{value} {rel} {k}" if self.chance(0.8) else f"{k} {rel} {value}"

        bodies = [f"{other} ++;", f"{other} = {other} * 3 + 1;", f"{other} = rand(10);",
                  f"{other} = {other} + {v};", f"{v} ++;", f"{v} = {v} - 2;"]
        if reads and self.chance(0.2):
            bodies.append(f"S({v});")
        if loops > 0:
            bodies.append(f"{other} ++; out;")
        for n in range(self.rng.randint(2, 4)):
            if n > 0 and self.chance(0.1):
                self.emit(indent, f"{other} = {other} + 1;")
            body = self.pick(bodies)
            if self.chance(0.2):
                body += f" if ({test()}) {{ {self.pick(bodies[:4])} }};"
            self.emit(indent, f"if ({test()}) {{ {body} }};")

    def wide_body(self, indent, passes):
        """A loop whose pass computes many values that die within it, from a
        few subexpressions repeated across statements, NaNs and infinities
        among them; now and then a statement writes an operand between two
        repeats, or a repeat sits in a block."""
        operands = REALS + INTS + [self.pick(EDGE_REALS), self.pick(REAL_CONSTANTS), self.pick(INT_CONSTANTS)]
        subexpressions = []
        for _ in range(self.rng.randint(2, 5)):
            x, y = self.pick(operands), self.pick(operands)
            op = self.pick("+-*/")
            if op == "/" and self.chance(0.5):
                y = self.pick(["3", "2.5", "0.0", "7"])
            subexpressions.append(f"({x} {op} {y})")
        self.emit(indent, f"loop ({self.pick(['3', '50', '200'])}) {{")
        for _ in range(self.rng.randint(6, 14)):
            terms = [self.pick(subexpressions + operands) for _ in range(self.rng.randint(2, 4))]
            text = terms[0]
            for term in terms[1:]:
                text = f"{text} {self.pick('+-*')} {term}" if self.chance(0.7) else f"({text}) {self.pick('+-*')} {term}"
            target = self.pick(REALS + INTS + REALS)
            r = self.rng.random()
            if r < 0.1 and passes <= 40:
                self.emit(indent + 1, f"if ({self.pick(subexpressions)} {self.pick(RELATIONS)} {self.pick(operands)}) {{ {target} = {text}; }};")
            elif r < 0.15:
                self.emit(indent + 1, f"{target} {self.pick(['++', '--'])};")
            else:
                self.emit(indent + 1, f"{target} = {text};")
        self.emit(indent, "};")

    def statement(self, indent, loops, blocks, passes, quiet):
        if self.corners and self.chance(0.33):
            self.corner(indent, loops, blocks, passes, quiet)
            return
        r = self.rng.random()
        printable = not quiet and passes <= PRINT_PASSES
        if r < 0.33:
            self.assignment(indent)
        elif r < 0.43:
            if printable:
                self.emit(indent, f"{self.pick(['P', 'P', 'F'])}({self.print_items()});")
            else:
                self.assignment(indent)
        elif r < 0.55 and blocks < 6:
            self.emit(indent, f"if ({self.condition()}) {{")
            self.statements(indent + 1, loops, blocks + 1, passes, quiet, self.rng.randint(0, 4))
            self.emit(indent, "};")
        elif r < 0.68 and loops < 5:
            self.loop(indent, loops, blocks, passes, quiet)
        elif r < 0.76:
            # A break straight in the body, or behind a test: at every depth,
            # and now and then outside every loop.
            if loops == 0 and not self.chance(0.2):
                self.assignment(indent)
            elif self.chance(0.3):
                self.emit(indent, "out;")
            else:
                self.emit(indent, f"if ({self.condition()}) {{ out; }};")
        elif r < 0.82:
            self.count_setting(indent, passes)
        elif r < 0.84 and printable:
            self.emit(indent, f"S({self.pick(INTS + REALS + COUNTS + [REAL_COUNT])});")
        elif r < 0.86:
            # A declaration in a body: converts the value in place on every pass.
            kind = self.pick(["int", "dbl"])
            self.emit(indent, f"{kind} {self.pick(INTS + REALS)};")
        elif r < 0.87:
            self.emit(indent, "' \"a remark\" ';")
        elif r < 0.88:
            self.emit(indent, ";")
        elif r < 0.89 and loops == 0 and passes == 1:
            self.deep_nest(indent)
        else:
            self.assignment(indent)

    def loop(self, indent, loops, blocks, passes, quiet):
        count, most = self.loop_count(passes, quiet)
        inner = passes * most
        if inner > MAX_PASSES:
            count, most = "1", 1
            inner = passes
        if count in COUNTS and self.chance(0.6):
            self.emit(indent, f"{count} = {self.pick(COUNT_VALUES[1:5] + COUNT_VALUES)};")
        elif count == REAL_COUNT and self.chance(0.6):
            self.emit(indent, f"{count} = {self.pick(REAL_COUNT_VALUES)};")
        quiet_body = quiet or inner > PRINT_PASSES
        self.emit(indent, f"loop ({count}) {{")
        self.statements(indent + 1, loops + 1, blocks, inner, quiet_body, self.rng.randint(0, 6))
        self.emit(indent, "};")

    def deep_nest(self, indent):
        """Loops nested past the usual depth, with a break somewhere inside."""
        depth = self.rng.randint(9, 12)
        at = self.rng.randint(1, depth)
        for d in range(depth):
            self.emit(indent + d, f"loop ({self.pick(['1', '2', '1'])}) {{ a ++;")
            if d + 1 == at:
                self.emit(indent + d + 1, f"if (a > {self.rng.randint(1, 40)}) {{ out; }};")
        for d in reversed(range(depth)):
            self.emit(indent + d, "};")

    # ------------------------------------------------------------ tiering

    def tier_test(self):
        """A test that follows a short pattern, or none, or depends on a draw."""
        return self.pick([f"w < {self.rng.randint(1, 4)}", f"w == {self.rng.randint(0, 4)}",
                          f"h < {self.pick(['16384', '30000', '60000'])}", f"rand(2) == 0",
                          f"q > {self.rng.randint(1, 30)}", f"s > {self.pick(['100', '5000', '2147483000'])}",
                          f"x < {self.pick(['0.5', '100.0', '0.0 / 0'])}", f"rand({self.pick(['3', 'q', 'x'])}) > 1"])

    def tier_statement(self, indent, passes):
        r = self.rng.random()
        if r < 0.15:
            self.emit(indent, "w ++; if (w > 4) { w = 0; };")
        elif r < 0.25:
            self.emit(indent, "h = h * 75 + 74; h = h - h / 65537 * 65537;")
        elif r < 0.5:
            body = self.pick([f"{self.pick(INTS)} =+ {self.pick(['w', 'q', '1', 'rand(5)'])};", "s =- 1000;",
                              f"{self.pick(INTS)} ++;", f"{self.pick(REALS)} = {self.pick(REALS)} + rand(1.0);",
                              f"{self.pick(INTS)} = {self.pick(INTS)} / {self.pick(['3', '(rand(4) + 1)', '(q + 1)'])};"])
            if self.chance(0.3):
                body += f" if ({self.tier_test()}) {{ {self.pick(INTS)} --; }};"
            self.emit(indent, f"if ({self.tier_test()}) {{ {body} }};")
        elif r < 0.6:
            self.emit(indent, f"if ({self.tier_test()}) {{ out; }};")
        elif r < 0.7:
            self.emit(indent, f"s =+ {self.pick(['q', 'p', 'rand(100)', 'h'])};")
        elif r < 0.73:
            # Zero late in the run, or never: maybe on the pass of the move.
            self.emit(indent, f"{self.pick(INTS)} = s / (q - {self.rng.randint(15, 60)});")
        elif r < 0.8:
            # Tests of w in a row, which the pattern of w makes branch: one
            # test's outcome may decide the next.
            for _ in range(self.rng.randint(2, 3)):
                test = self.pick([f"w {self.pick(RELATIONS)} {self.rng.randint(0, 4)}",
                                  f"{self.rng.randint(0, 4)} {self.pick(RELATIONS)} w"])
                self.emit(indent, f"if ({test}) {{ {self.pick(INTS)} =+ {self.pick(['w', 'q', '3'])}; }};")
        else:
            self.statements(indent, 5, 5, passes, True, 1)

    def tier_nest(self, indent):
        """A nest that runs long enough for tiering: a triangle of passes
        whose inner counts are the outer loops' variables, or a long loop."""
        if self.chance(0.25):
            if self.chance(0.3):
                self.emit(indent, "t = rand(40000) + 30000;")
                self.emit(indent, "loop (t) {")
            else:
                self.emit(indent, f"loop ({self.pick(['25000', '60000'])}) {{")
            for _ in range(self.rng.randint(1, 4)):
                self.tier_statement(indent + 1, 30000)
            self.emit(indent, "};")
            return
        self.emit(indent, f"p = 0; t = {self.pick(['20', '30', '40', '50', 'rand(40)'])};")
        self.emit(indent, "loop (t) {")
        self.emit(indent + 1, "p ++; q = 0;")
        if self.chance(0.3):
            self.tier_statement(indent + 1, 50)
        self.emit(indent + 1, f"v = {self.pick(['p', 'p', 'p - 3', 'p / 2 + rand(3)'])};")
        self.emit(indent + 1, "loop (v) {")
        self.emit(indent + 2, "q ++;")
        if self.chance(0.2):
            self.tier_statement(indent + 2, 1000)
        count = self.pick(['q', 'q', 'v'])
        if count == "v":
            self.emit(indent + 2, f"v = {self.pick(['p - q', 'q + rand(2)'])};")
        self.emit(indent + 2, f"loop ({count}) {{")
        for _ in range(self.rng.randint(1, 5)):
            self.tier_statement(indent + 3, 25000)
        self.emit(indent + 2, "};")
        self.emit(indent + 1, "};")
        self.emit(indent, "};")

    def declarations(self, more=""):
        self.emit(0, f"int {INTS[0]}, {INTS[1]}; int {INTS[2]};{more}")
        self.emit(0, f"dbl {REALS[0]}, {REALS[1]}; dbl {REALS[2]};")
        self.emit(0, f"int {COUNTS[0]}, {COUNTS[1]}; dbl {REAL_COUNT};")

    def tier_program(self):
        self.declarations(" int p, q; int h, w; int s, t; int v;")
        self.emit(0, f"h = {self.rng.randint(1, 60000)}; w = {self.rng.randint(0, 4)};")
        for _ in range(self.rng.randint(0, 3)):
            self.assignment(0)
        for _ in range(self.rng.randint(1, 3)):
            self.tier_nest(0)
            if self.chance(0.3):
                self.statement(0, 0, 0, 1, False)
        every = INTS + REALS + COUNTS + [REAL_COUNT, UNDECLARED, "p", "q", "h", "w", "s", "t", "v"]
        self.emit(0, "P(" + ' " " '.join(every) + " \\n);")
        return "\n".join(self.lines) + "\n", ""

    def program(self):
        header = self.chance(0.5)
        if header:
            self.emit(0, '# "out.txt"')
        self.declarations()
        for _ in range(self.rng.randint(0, 3)):
            self.assignment(0)
        for _ in range(self.rng.randint(2, 6)):
            if self.chance(0.7):
                self.loop(0, 0, 0, 1, False)
            else:
                self.statement(0, 0, 0, 1, False)
        every = INTS + REALS + COUNTS + [REAL_COUNT, UNDECLARED]
        self.emit(0, "P(" + ' " " '.join(every) + " \\n);")
        if header:
            self.emit(0, "F(" + ' " " '.join(every) + " \\n);")
        console = " ".join(self.pick(["3", "0", "2.5", "0 - 4", "7", "1e3", "x", "2147483648"])
                           for _ in range(self.rng.randint(0, 6)))
        return "\n".join(self.lines) + "\n", console + "\n" if console else ""


CORNERS = False   # set by --corners
TIERS = False     # set by --tiers


def generate(number):
    if TIERS:
        return Generator(number).tier_program()
    return Generator(number, CORNERS).program()


# ---------------------------------------------------------------- running

FROZEN_CLOCK = {}  # with --frozen-clock, what every run's environment adds


def freeze_clock():
    """The environment that stops the clock for rill with Debian's libfaketime,
    so that every run of a program draws the same random numbers however long
    the runs take (as under an emulator, where they never fit in a second).
    Under qemu-user the library goes into the emulator, which reads the clock
    for its guest, and is kept out of the guest's own environment."""
    found = [os.path.join(d, "faketime", "libfaketime.so.1")
             for d in ("/usr/lib/x86_64-linux-gnu", "/usr/lib/aarch64-linux-gnu", "/usr/lib")]
    found = [f for f in found if os.path.exists(f)]
    if not found:
        sys.exit("--frozen-clock needs libfaketime (apt-get install libfaketime)")
    return {"LD_PRELOAD": found[0], "FAKETIME": "2026-01-01 00:00:00",
            "QEMU_UNSET_ENV": "LD_PRELOAD,FAKETIME"}


def run_path(rill, program, console, path, scratch, timeout):
    work = tempfile.mkdtemp(prefix=f"{path}.", dir=scratch)
    env = dict(os.environ, RILL_REPLAY=path, **FROZEN_CLOCK)
    if path == "default":
        del env["RILL_REPLAY"]
    env.pop("RILL_DIAGNOSTICS", None)
    try:
        proc = subprocess.run([rill, program], cwd=work, input=console.encode(), env=env,
                              capture_output=True, timeout=timeout)
        result = (proc.stdout, proc.stderr, proc.returncode)
    except subprocess.TimeoutExpired:
        result = (b"", b"", "timed out")
    files = {}
    for name in sorted(os.listdir(work)):
        with open(os.path.join(work, name), "rb") as f:
            files[name] = f.read()
    shutil.rmtree(work)
    return result + (files,)


def run_program(rill, number, paths, scratch, timeout, native_count=None):
    """Returns {path: (stdout, stderr, status, files)} for program `number`,
    and whether every run drew the same random numbers."""
    text, console = generate(number)
    program = os.path.join(scratch, f"{number}.rill")
    with open(program, "w") as f:
        f.write(text)
    # rill starts its random numbers from the clock's second: when one program's
    # runs straddle a second, they may draw differently, so run them again.
    # The clock rill reads may lag a few milliseconds behind this one.
    for _ in range(10):
        start = int(time.time() - 0.05)
        results = {p: run_path(rill, program, console, p, scratch, timeout) for p in paths}
        settled = int(time.time()) == start or "rand" not in text or bool(FROZEN_CLOCK)
        if settled:
            break
    if native_count:
        results["declined"] = declined_loops(native_count, program, console, scratch, timeout)
    os.remove(program)
    return results, settled


def declined_loops(tool, program, console, scratch, timeout):
    """How many loops of the program fell back from native code to the
    threaded replay, as rill_native_count reports it."""
    work = tempfile.mkdtemp(prefix="count.", dir=scratch)
    report = os.path.join(work, "counts")
    try:
        subprocess.run([tool, program, report], cwd=work, input=console.encode(),
                       capture_output=True, timeout=timeout)
        with open(report) as f:
            return int(f.read().split()[3])
    except (subprocess.TimeoutExpired, OSError, IndexError, ValueError):
        return -1
    finally:
        shutil.rmtree(work)


def describe(results):
    lines = []
    for path, (out, err, status, files) in results.items():
        lines.append(f"  {path}: status {status}, {len(out)} bytes out, stderr {err[:120]!r}, "
                     f"files {', '.join(f'{k} ({len(v)} bytes)' for k, v in files.items()) or 'none'}")
    return "\n".join(lines)


def keep(directory, number, results):
    text, console = generate(number)
    base = os.path.join(directory, str(number))
    os.makedirs(base, exist_ok=True)
    with open(os.path.join(base, "program.rill"), "w") as f:
        f.write(text)
    with open(os.path.join(base, "console.in"), "w") as f:
        f.write(console)
    for path, (out, err, status, files) in results.items():
        with open(os.path.join(base, f"{path}.out"), "wb") as f:
            f.write(out)
        with open(os.path.join(base, f"{path}.err"), "wb") as f:
            f.write(err)
        with open(os.path.join(base, f"{path}.status"), "w") as f:
            f.write(f"{status}\n")
        for name, data in files.items():
            with open(os.path.join(base, f"{path}.file.{name}"), "wb") as f:
                f.write(data)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("rill")
    parser.add_argument("--first", type=int, default=1, help="number of the first program")
    parser.add_argument("--count", type=int, default=100, help="how many programs")
    parser.add_argument("--paths", default="walk,threaded,native,default")
    parser.add_argument("--keep", default=None, help="where to write programs that differ")
    parser.add_argument("--timeout", type=float, default=30.0, help="seconds per run")
    parser.add_argument("--show", type=int, default=None, help="print program N and its input")
    parser.add_argument("--native-count", default=None,
                        help="the rill_native_count tool: also check that every loop given to "
                             "native code compiled")
    parser.add_argument("--corners", action="store_true",
                        help="aim a third of the statements at the native code's corners")
    parser.add_argument("--tiers", action="store_true",
                        help="loops that move to native code in mid-run, with blocks, breaks and draws")
    parser.add_argument("--frozen-clock", action="store_true",
                        help="stop rill's clock with libfaketime, so that slow runs still compare")
    args = parser.parse_args()
    global CORNERS, TIERS
    CORNERS = args.corners
    TIERS = args.tiers
    if args.frozen_clock:
        FROZEN_CLOCK.update(freeze_clock())

    if args.show is not None:
        text, console = generate(args.show)
        sys.stdout.write(text)
        if console:
            sys.stdout.write(f"' \"console input: {console.strip()}\" ';\n")
        return 0

    paths = args.paths.split(",")
    native_count = args.native_count and os.path.abspath(args.native_count)
    differing, declined, stopped, timed_out, unsettled = [], [], 0, 0, 0
    scratch = tempfile.mkdtemp(prefix="rill-random.")
    began = time.time()
    try:
        for number in range(args.first, args.first + args.count):
            done = number - args.first + 1
            if done % 1000 == 0:
                print(f"{done} programs, {len(differing)} differ", file=sys.stderr, flush=True)
            results, settled = run_program(os.path.abspath(args.rill), number, paths, scratch,
                                           args.timeout, native_count)
            if results.pop("declined", 0) != 0:
                declined.append(number)
                print(f"program {number}: a loop fell back from native code", flush=True)
            if not settled:
                unsettled += 1
                continue
            outcomes = list(results.values())
            stopped += outcomes[0][2] != 0
            timed_out += any(o[2] == "timed out" for o in outcomes)
            if any(o != outcomes[0] for o in outcomes) or outcomes[0][2] == "timed out":
                differing.append(number)
                print(f"program {number} differs between paths:\n{describe(results)}", flush=True)
                if args.keep:
                    keep(args.keep, number, results)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print(f"{args.count} programs ({args.first} to {args.first + args.count - 1}) through "
          f"{', '.join(paths)} in {time.time() - began:.0f} s: {len(differing)} differ, "
          f"{timed_out} timed out, {stopped} ended with a nonzero status, "
          f"{unsettled} not compared (their runs never fell within one second of the clock)")
    if differing:
        print("differing programs: " + " ".join(map(str, differing)))
    if declined:
        print("programs with a loop that did not compile: " + " ".join(map(str, declined)))
    return 1 if differing or declined else 0


if __name__ == "__main__":
    sys.exit(main())
