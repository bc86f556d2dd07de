// Highlights programs with the Vim syntax file (in a real Vim) and with the
// TextMate grammar, and checks that every character falls in the same class.
// Usage: node agrees_with_vim.js PROGRAM...; a .rill file under test/ is a
// syntax test file, whose assertion lines are left out.
'use strict';
const fs = require('fs');
const os = require('os');
const path = require('path');
const { execFileSync } = require('child_process');
const { loadGrammar, tokenizeLines, testSource } = require('./grammar');

const dumpScript = path.join(__dirname, '../../vim/test/dump.vim');

// The class a TextMate scope list stands for, named as the Vim groups are.
const scopeClasses = [
  ['comment.block.remark', 'Remark'], ['string.quoted.double', 'String'], ['keyword.other.header', 'Header'],
  ['variable.other', 'Name'], ['keyword.control', 'Keyword'], ['storage.type', 'Type'],
  ['support.function', 'Function'], ['invalid.illegal.reserved', 'Reserved'],
  ['constant.numeric.float', 'Float'], ['constant.numeric.integer', 'Number'], ['keyword.operator', 'Operator'],
  ['constant.language.newline', 'Newline'], ['punctuation', 'Delimiter'], ['invalid.illegal.character', 'Error'],
];

function grammarClasses(grammar, source) {
  return tokenizeLines(grammar, source).map((tokens) => {
    const classes = [];
    for (const { text, scopes } of tokens) {
      const found = scopeClasses.find(([scope]) => scopes.includes(scope));
      for (let i = 0; i < text.length; ++i) classes.push(found && !/[ \t]/.test(text[i]) ? found[1] : '-');
    }
    return classes;
  });
}

// Vim's groups, with the remark's text counted as the remark and blanks as nothing.
function vimClasses(source, dir) {
  const file = path.join(dir, 'program.rill');
  const out = path.join(dir, 'groups');
  fs.writeFileSync(file, source, 'latin1');
  execFileSync('vim', ['-Nu', 'NONE', '-i', 'NONE', '-es', '--cmd', `let g:rill_file = '${file}' | let g:rill_out = '${out}'`,
    '-S', dumpScript], { stdio: 'ignore' });
  const lines = source.split(/\r?\n/);
  return fs.readFileSync(out, 'latin1').split('\n').slice(0, lines.length).map((groups, n) =>
    (groups === '' ? [] : groups.split(' ')).map((g, i) =>
      /[ \t]/.test(lines[n][i]) ? '-' : g.replace(/^rill/, '').replace(/^RemarkText$/, 'Remark')));
}

(async () => {
  const grammar = await loadGrammar();
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'rill-vim-'));
  let failed = 0;
  for (const file of process.argv.slice(2)) {
    const source = file.startsWith(__dirname) || path.resolve(file).startsWith(__dirname)
      ? testSource(file) : fs.readFileSync(file, 'latin1');
    const want = grammarClasses(grammar, source);
    const got = vimClasses(source, dir);
    const n = want.findIndex((w, i) => w.join(' ') !== (got[i] || []).join(' '));
    if (n < 0) continue;
    ++failed;
    const col = want[n].findIndex((w, i) => w !== (got[n] || [])[i]);
    console.log(`${file}:${n + 1}:${col + 1}: grammar ${want[n][col]}, vim ${(got[n] || [])[col]}`);
  }
  fs.rmSync(dir, { recursive: true });
  console.log(`${process.argv.length - 2 - failed} passed, ${failed} failed`);
  process.exit(failed ? 1 : 0);
})();
