// The editor's rill tokenizer against rill's own scanner: on every program
// given, and on random token soups, it must split the text into the same
// tokens and name each alike, as the editors' TextMate grammar must
// (editors/vscode/test). It must also colour a string as a remark only where
// a quote comes before it, and a "#" as a header only as the first token.
//   node tests/web/language_test.mjs RILL_SCAN PROGRAM...
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { createRequire } from "node:module";
import { StringStream } from "../../web/node_modules/@codemirror/language/dist/index.js";
import { quotes, rillTokenizer } from "../../web/editor/rill_language.mjs";

const require = createRequire(import.meta.url);
const { scannerTokens, same } = require("../../editors/vscode/test/scanner_tokens.js");

// What each of the tokenizer's names is to the scanner; a string (or a
// remark's text) is one token holding what lies between its quotes.
const KINDS = {
  rillRemarkQuote: "quote",
  rillName: "name",
  rillNumber: "number",
  rillControl: "keyword",
  rillType: "keyword",
  rillBuiltin: "keyword",
  rillReserved: "keyword",
  rillHeader: "char",
  rillNewlineMark: "newline",
  rillParen: "paren",
  rillCompare: "operator",
  rillAssign: "operator",
  rillArith: "operator",
  rillBrace: "char",
  rillSeparator: "char",
  rillStray: "char",
};

function editorTokens(source) {
  quotes.total = source.split('"').length - 1;
  const state = rillTokenizer.startState();
  const out = [];
  let open = null; // the string being collected
  source.split("\n").forEach((line, n) => {
    if (open) open.text += "\n";
    const stream = new StringStream(line, 4, 2);
    while (!stream.eol()) {
      const wasString = state.string;
      const kind = rillTokenizer.token(stream, state);
      const text = stream.current();
      stream.start = stream.pos;
      if (kind === "rillString" || kind === "rillRemarkString") {
        if (!wasString)
          open = { kind: "string", text: "", line: n + 1, remark: kind === "rillRemarkString" };
        open.text += text.slice(wasString ? 0 : 1, state.string ? undefined : -1);
        if (!state.string) {
          open.text = open.text.replace(/\r\n/g, "\n"); // as rill reads a line end
          out.push(open);
          open = null;
        }
        continue;
      }
      if (kind === null) continue;
      const k = KINDS[kind];
      if (!k) throw new Error(`no kind for the tokenizer's name ${kind}`);
      out.push({
        kind: k,
        text: ["keyword", "operator", "quote", "newline"].includes(k) ? "" : text,
        line: n + 1,
        header: kind === "rillHeader",
      });
    }
  });
  if (open) out.push({ ...open, text: open.text.replace(/\r\n/g, "\n") });
  return out;
}

// Where the editor and the scanner first differ, or null.
function compare(source, file, scan) {
  const e = editorTokens(source);
  const s = scannerTokens(scan, file);
  for (let i = 0; i < Math.max(e.length, s.length); i++) {
    const problem =
      i >= e.length || i >= s.length || !same(e[i], s[i])
        ? "differs"
        : e[i].kind === "string" && e[i].remark !== (i > 0 && s[i - 1].kind === "quote")
          ? "is a remark to one only"
          : e[i].kind === "char" && s[i].text === "#" && e[i].header !== (i === 0)
            ? "is a header to one only"
            : null;
    if (problem)
      return `${e[i] ? e[i].line : "end"}: token ${i + 1} ${problem}: editor ${JSON.stringify(e[i])}, scanner ${JSON.stringify(s[i])}`;
  }
  return null;
}

// Random token soups: pieces of every kind, glued with nothing, blanks or
// line ends between them, so that neighbours run together as they may in a
// program typed in a hurry; a quote may be left without a partner. A soup
// never ends in a carriage return: that is a lone character to the scanner,
// and a line-by-line tokenizer cannot know it is the end of the text (it
// takes a carriage return at the end of a line for half of a line end).
const PIECES = [
  ..."loop if out int dbl P F S rand D".split(" "),
  ..."a x1 loopy P_ P1 r_2 a__b a_ Dx iff outx intx _ __x".split(" "),
  ..."0 7 123 1.5 12345678901 3.0 1. .5".split(" "),
  ..."== =! =< => < > = =+ =- =* =/ ++ -- + - * / ! = \\n \\ \\x".split(" "),
  ..."( ) { } ; , # ' ' ' @ ? . : ~ \r \xe9 \x80 \x7f".split(" "),
  '"a string"',
  '""',
  '"over\ntwo lines"',
  '"with \' # \\n and \r inside"',
  '" leading and trailing "',
  '"',
  '"unclosed',
];
const GLUE = ["", "", " ", " ", "\t", "\n", " \n ", "\n\n"];

function soup(random, length) {
  let text = "";
  for (let i = 0; i < length; i++) {
    text += PIECES[Math.floor(random() * PIECES.length)];
    text += GLUE[Math.floor(random() * GLUE.length)];
  }
  return text;
}

// A small seeded generator, so that a failing soup comes back on every run.
function mulberry32(seed) {
  return () => {
    seed = (seed + 0x6d2b79f5) | 0;
    let t = Math.imul(seed ^ (seed >>> 15), 1 | seed);
    t = (t + Math.imul(t ^ (t >>> 7), 61 | t)) ^ t;
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

const [scan, ...files] = process.argv.slice(2);
let failed = 0;
for (const file of files) {
  const problem = compare(fs.readFileSync(file, "latin1"), file, scan);
  if (!problem) continue;
  ++failed;
  console.log(`${file}:${problem}`);
}

const SOUPS = 400;
const folder = fs.mkdtempSync(path.join(os.tmpdir(), "rill-soup-"));
let soupsFailed = 0;
try {
  const random = mulberry32(20261210);
  for (let n = 0; n < SOUPS; n++) {
    const text = soup(random, 1 + Math.floor(random() * 40)).replace(/\r$/, "");
    const file = path.join(folder, `soup${n}.rill`);
    fs.writeFileSync(file, text, "latin1");
    const problem = compare(text, file, scan);
    if (!problem) continue;
    if (++soupsFailed <= 5) console.log(`soup ${n} ${JSON.stringify(text)}:${problem}`);
  }
} finally {
  fs.rmSync(folder, { recursive: true, force: true });
}
console.log(
  `editor language: ${files.length - failed} passed, ${failed} failed; ` +
    `${SOUPS - soupsFailed} of ${SOUPS} token soups agree`,
);
process.exitCode = failed || soupsFailed ? 1 : 0;
