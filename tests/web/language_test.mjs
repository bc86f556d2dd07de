// The editor's rill tokenizer against rill's own scanner: on every program
// given, it must split the text into the same tokens and name each alike,
// as the editors' TextMate grammar must (editors/vscode/test).
//   node tests/web/language_test.mjs RILL_SCAN PROGRAM...
import fs from "node:fs";
import { createRequire } from "node:module";
import { StringStream } from "../../web/node_modules/@codemirror/language/dist/index.js";
import { rillTokenizer } from "../../web/editor/rill_language.mjs";

const require = createRequire(import.meta.url);
const { scannerTokens, same } = require("../../editors/vscode/test/scanner_tokens.js");

// What each of the tokenizer's names is to the scanner; a string (or a
// remark's text) is one token holding what lies between its quotes.
const KINDS = {
  remarkQuote: "quote",
  name: "name",
  number: "number",
  control: "keyword",
  type: "keyword",
  builtin: "keyword",
  reserved: "keyword",
  header: "char",
  newlineMark: "newline",
  paren: "paren",
  compare: "operator",
  assign: "operator",
  arith: "operator",
  brace: "char",
  separator: "char",
  stray: "char",
};

function editorTokens(source) {
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
      if (kind === "string" || kind === "remarkString") {
        if (!wasString) open = { kind: "string", text: "", line: n + 1 };
        open.text += text.slice(wasString ? 0 : 1, state.string ? undefined : -1);
        if (!state.string) {
          out.push(open);
          open = null;
        }
        continue;
      }
      if (kind === null || kind === "remark") continue;
      const k = KINDS[kind];
      out.push({
        kind: k,
        text: ["keyword", "operator", "quote", "newline"].includes(k) ? "" : text,
        line: n + 1,
      });
    }
  });
  if (open) out.push(open);
  return out;
}

const [scan, ...files] = process.argv.slice(2);
let failed = 0;
for (const file of files) {
  const e = editorTokens(fs.readFileSync(file, "latin1"));
  const s = scannerTokens(scan, file);
  const n = e.findIndex((t, i) => i >= s.length || !same(t, s[i]));
  const at = n >= 0 ? n : e.length < s.length ? e.length : -1;
  if (at < 0) continue;
  ++failed;
  console.log(
    `${file}:${e[at] ? e[at].line : "end"}: token ${at + 1}: editor ${JSON.stringify(e[at])}, scanner ${JSON.stringify(s[at])}`,
  );
}
console.log(`editor language: ${files.length - failed} passed, ${failed} failed`);
process.exitCode = failed ? 1 : 0;
