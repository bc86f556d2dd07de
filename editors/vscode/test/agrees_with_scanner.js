// Tokenizes programs with the grammar, through the engine the editor uses, and
// checks that it splits and names every token as rill's own scanner does.
// Usage: node agrees_with_scanner.js RILL_SCAN PROGRAM...
'use strict';
const fs = require('fs');
const { loadGrammar, tokenizeLines } = require('./grammar');
const { scannerTokens, same } = require('./scanner_tokens');

// The grammar's tokens as {kind, text, line}; a string (or a remark's text)
// becomes one token holding what lies between its quotes, over lines too.
function grammarTokens(grammar, source) {
  const out = [];
  let open = null;  // the string being collected
  tokenizeLines(grammar, source).forEach((tokens, n) => {
    if (open) open.text += '\n';
    for (const { text, scopes } of tokens) {
      const has = (s) => scopes.includes(s);
      if (has('punctuation.definition.string.begin')) {
        open = { kind: 'string', text: '', line: n + 1 };
        continue;
      }
      if (has('punctuation.definition.string.end')) {
        out.push(open);
        open = null;
        continue;
      }
      if (open) {
        open.text += text;
        continue;
      }
      if (/^[ \t]*$/.test(text)) continue;  // the blanks the scanner skips
      let kind;
      if (has('punctuation.definition.comment')) kind = 'quote';
      else if (has('variable.other')) kind = 'name';
      else if (has('constant.numeric')) kind = 'number';
      else if (has('keyword.control') || has('storage.type') || has('support.function') || has('reserved')) kind = 'keyword';
      else if (has('constant.language.newline')) kind = 'newline';
      else if (has('punctuation.parenthesis')) kind = 'paren';
      else if (has('keyword.operator')) kind = 'operator';
      else kind = 'char';
      out.push({ kind, text: ['keyword', 'operator', 'quote', 'newline'].includes(kind) ? '' : text, line: n + 1 });
    }
  });
  if (open) out.push(open);
  return out;
}

(async () => {
  const [scan, ...files] = process.argv.slice(2);
  const grammar = await loadGrammar();
  let failed = 0;
  for (const file of files) {
    const g = grammarTokens(grammar, fs.readFileSync(file, 'latin1'));
    const s = scannerTokens(scan, file);
    const n = g.findIndex((t, i) => i >= s.length || !same(t, s[i]));
    const at = n >= 0 ? n : g.length < s.length ? g.length : -1;
    if (at < 0) continue;
    ++failed;
    console.log(`${file}:${g[at] ? g[at].line : 'end'}: token ${at + 1}: grammar ${JSON.stringify(g[at])}, scanner ${JSON.stringify(s[at])}`);
  }
  console.log(`${files.length - failed} passed, ${failed} failed`);
  process.exit(failed ? 1 : 0);
})();
