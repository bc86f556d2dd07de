// Tokenizes programs with the grammar, through the engine the editor uses, and
// checks that it splits and names every token as rill's own scanner does.
// Usage: node agrees_with_scanner.js RILL_SCAN PROGRAM...
'use strict';
const fs = require('fs');
const path = require('path');
const { execFileSync } = require('child_process');

const root = path.join(__dirname, '..');
const oniguruma = require(path.join(root, 'node_modules/vscode-oniguruma'));
const tm = require(path.join(root, 'node_modules/vscode-textmate'));
const grammarPath = path.join(root, 'syntaxes/rill.tmLanguage.json');

async function loadGrammar() {
  await oniguruma.loadWASM(fs.readFileSync(path.join(root, 'node_modules/vscode-oniguruma/release/onig.wasm')).buffer);
  const registry = new tm.Registry({
    onigLib: Promise.resolve({
      createOnigScanner: (patterns) => new oniguruma.OnigScanner(patterns),
      createOnigString: (s) => new oniguruma.OnigString(s),
    }),
    loadGrammar: async () => tm.parseRawGrammar(fs.readFileSync(grammarPath, 'utf8'), grammarPath),
  });
  return registry.loadGrammar('source.rill');
}

// The grammar's tokens as {kind, text, line}; a string (or a remark's text)
// becomes one token holding what lies between its quotes, over lines too.
function grammarTokens(grammar, source) {
  const out = [];
  let stack = tm.INITIAL;
  let open = null;  // the string being collected
  source.split(/\r?\n/).forEach((line, n) => {
    if (open) open.text += '\n';
    const r = grammar.tokenizeLine(line, stack);
    stack = r.ruleStack;
    for (const t of r.tokens) {
      const text = line.slice(t.startIndex, t.endIndex);
      const scopes = t.scopes.join(' ');
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

// The scanner's tokens in the same form. rill_scan prints a token's code or
// its name, then its value.
function scannerTokens(scan, file) {
  const unescape = (s) => s.replace(/\\(n|\\|x([0-9a-f]{2}))/g, (m, c, hex) =>
    c === 'n' ? '\n' : c === '\\' ? '\\' : String.fromCharCode(parseInt(hex, 16)));
  const out = [];
  for (const line of execFileSync(scan, [file], { encoding: 'latin1' }).split('\n')) {
    if (line === '') continue;
    const m = /^(\S+)(?: (.*))?$/s.exec(line);
    const [, head, value = ''] = m;
    const code = /^\d+$/.test(head) ? Number(head) : null;
    const is = (name, number) => head === name || code === number;
    let kind, text = '';
    if (is('IDENT', 258)) { kind = 'name'; text = value; }
    else if (is('INT_CONST', 259) || is('REAL_CONST', 260)) { kind = 'number'; text = value; }
    else if (is('STRING_CONST', 261)) { kind = 'string'; text = unescape(value.slice(1, -1)); }
    else if (is('QUOTE', 280)) kind = 'quote';
    else if (is('NEWLINE_MARK', 277)) kind = 'newline';
    else if (is('LPAREN', 262)) { kind = 'paren'; text = '('; }
    else if (is('RPAREN', 263)) { kind = 'paren'; text = ')'; }
    else if (/^KW_/.test(head) || [278, 279].includes(code) || (code >= 281 && code <= 289)) kind = 'keyword';
    else if (code !== null && code >= 256) kind = 'operator';
    else if (code !== null) { kind = 'char'; text = String.fromCharCode(code); }
    else if (/^'.*'$/.test(head)) { kind = 'char'; text = unescape(head.slice(1, -1)); }
    else kind = 'operator';
    out.push({ kind, text });
  }
  return out;
}

function same(g, s) {
  if (g.kind !== s.kind) return false;
  // Integer literals wrap to 32 bits in the scanner.
  if (g.kind === 'number' && /^\d+$/.test(g.text)) return Number(BigInt.asIntN(32, BigInt(g.text))) === Number(s.text);
  if (g.kind === 'number') return Number(g.text) === Number(s.text);
  return g.text === s.text;
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
