#!/usr/bin/env python3
"""Counts the instructions of each compiled loop's innermost loops, from the
listing rill_native_count writes (its third argument): the instructions
from a loop's first to its back edge, every block's included, which is what
one pass runs when every block runs. Prints one line per compiled loop.

    tools/loop_instructions.py LISTING
"""
import re
import sys


def innermost_loops(lines):
    """(first, last) line indices of every loop holding no other loop."""
    label_at = {}
    loops = []
    for i, line in enumerate(lines):
        m = re.fullmatch(r"(L\d+):", line)
        if m:
            label_at[m.group(1)] = i
            continue
        target = re.search(r"\b(L\d+)$", line)
        # A back edge is conditional: a stub's jump back to the way out is not.
        conditional = not re.match(r"(short )?(jmp|b|adr|ldr) ", line)
        if target and target.group(1) in label_at and conditional:
            loops.append((label_at[target.group(1)], i))
    return [(a, b) for a, b in loops if not any(a < c and d < b for c, d in loops if (c, d) != (a, b))]


def instructions(lines):
    return sum(1 for line in lines if not re.fullmatch(r"L\d+:", line) and not line.startswith("align"))


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    text = open(sys.argv[1]).read()
    for n, listing in enumerate(text.split("; loop\n")[1:], 1):
        lines = [line.strip() for line in listing.splitlines() if line.strip()]
        counts = [instructions(lines[a : b + 1]) for a, b in innermost_loops(lines)]
        print(f"loop {n}: innermost passes of {', '.join(map(str, counts)) or 'none'} instructions")


if __name__ == "__main__":
    main()
