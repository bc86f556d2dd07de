// rill's own scanner (the rill_scan tool) as a list of tokens, for the
// checks that the editors' colouring splits and names the text as it does.
'use strict';
const { execFileSync } = require('child_process');

// {kind, text} for each token. rill_scan prints a token's name
// and value, or a character token in single quotes.
function scannerTokens(scan, file) {
  const unescape = (s) => s.replace(/\\(n|\\|x([0-9a-f]{2}))/g, (m, c, hex) =>
    c === 'n' ? '\n' : c === '\\' ? '\\' : String.fromCharCode(parseInt(hex, 16)));
  const out = [];
  for (const line of execFileSync(scan, [file], { encoding: 'latin1' }).split('\n')) {
    if (line === '') continue;
    const [, head, value = ''] = /^(\S+)(?: (.*))?$/s.exec(line);
    let kind, text = '';
    if (head === 'IDENT') { kind = 'name'; text = value; }
    else if (head === 'INT_CONST' || head === 'REAL_CONST') { kind = 'number'; text = value; }
    else if (head === 'STRING_CONST') { kind = 'string'; text = unescape(value.slice(1, -1)); }
    else if (head === 'QUOTE') kind = 'quote';
    else if (head === 'NEWLINE_MARK') kind = 'newline';
    else if (head === 'LPAREN' || head === 'RPAREN') { kind = 'paren'; text = head === 'LPAREN' ? '(' : ')'; }
    else if (head.startsWith('KW_')) kind = 'keyword';
    else if (head.startsWith("'")) { kind = 'char'; text = unescape(head.slice(1, -1)); }
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

module.exports = { scannerTokens, same };
