#!/usr/bin/env python3
"""The keyword and operator lists that the editors' grammars, the page's
highlighter and the fuzzing dictionary keep by hand, held to the one source:
the named tokens in src/lexer/tokens.h, as the scanner itself reads them.

usage: word_lists_test.py SOURCE_DIR RILL_SCAN
"""
import json
import os
import re
import subprocess
import sys
import tempfile


def named_tokens(root):
    """{lexeme: code name} of every named token with a fixed lexeme."""
    text = open(os.path.join(root, "src/lexer/tokens.h")).read()
    tokens = {}
    for name, words in re.findall(r'X\((\w+),\s*\d+,\s*"((?:[^"\\]|\\.)*)"\)', text):
        lexeme = re.fullmatch(r"'(.+)'", words.encode().decode("unicode_escape"))
        if lexeme:
            tokens[lexeme.group(1)] = name
    return tokens


def scanned(rill_scan, lexemes):
    """The token name rill_scan gives each lexeme, scanned on its own."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "words.rill")
        with open(path, "w") as f:
            f.write("\n".join(lexemes) + "\n")
        out = subprocess.run([rill_scan, path], capture_output=True, text=True, check=True).stdout
    return [line.split()[0] for line in out.splitlines()]


def vim_words(root):
    text = open(os.path.join(root, "editors/vim/syntax/rill.vim")).read()
    words = set()
    for group in ("rillKeyword", "rillType", "rillFunction", "rillReserved"):
        for pattern in re.findall(rf'^syn match {group} "(.*)"$', text, re.M):
            head = re.match(r"(?:\\%\()?([A-Za-z\\|]+?)(?:\\\))?\\%\(", pattern).group(1)
            words |= set(head.split("\\|"))
    return words


def vscode_words(root):
    grammar = json.load(open(os.path.join(root, "editors/vscode/syntaxes/rill.tmLanguage.json")))
    words = set()
    for p in grammar["repository"]["keywords"]["patterns"]:
        head = re.match(r"(?:\(\?:)?([A-Za-z|]+)\)?\(\?!", p["match"]).group(1)
        words |= set(head.split("|"))
    return words


def page_words(root):
    text = open(os.path.join(root, "web/editor/rill_language.mjs")).read()
    body = re.search(r"const WORDS = \{(.*?)\};", text, re.S).group(1)
    return set(re.findall(r"^\s*(\w+):", body, re.M))


def dictionary(root):
    """The fuzzing dictionary's keywords and operators, by their entry names."""
    entries = {}
    for line in open(os.path.join(root, "fuzz/rill.dict")):
        m = re.fullmatch(r'(\w+)="(.*)"\n?', line)
        if m:
            entries[m.group(1)] = m.group(2).replace("\\\\", "\\")
    words = {v for k, v in entries.items() if k.startswith("kw_")}
    operators = {v for k, v in entries.items() if k.startswith("op_") or k == "mark_newline"}
    return words, operators


def main():
    root, rill_scan = sys.argv[1], sys.argv[2]
    tokens = named_tokens(root)
    keywords = {t for t in tokens if t.isalnum()}
    # Two characters or more: what a fuzzer would hardly find byte by byte.
    long_operators = {t for t in tokens if not t.isalnum() and len(t) > 1}
    failures = []
    if not keywords or not long_operators:
        failures.append("no keywords or operators read from tokens.h")
    order = sorted(keywords | long_operators)
    got = scanned(rill_scan, order)
    if got != [tokens[t] for t in order]:
        failures.append(f"the scanner reads {order} as {got}")
    fuzz_words, fuzz_operators = dictionary(root)
    for where, words in (("editors/vim", vim_words(root)), ("editors/vscode", vscode_words(root)),
                         ("web/editor", page_words(root)), ("fuzz/rill.dict", fuzz_words)):
        if words != keywords:
            failures.append(f"{where}: keywords {sorted(words - keywords)} too many, {sorted(keywords - words)} missing")
    if fuzz_operators != long_operators:
        failures.append(f"fuzz/rill.dict: operators {sorted(fuzz_operators - long_operators)} too many, "
                        f"{sorted(long_operators - fuzz_operators)} missing")
    for message in failures:
        print("FAILED: " + message)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
