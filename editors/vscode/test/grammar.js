// The rill grammar, loaded into the engine the editor uses.
'use strict';
const fs = require('fs');
const path = require('path');

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

// The source's lines as an editor splits them, each with its tokens:
// {text, scopes (joined by blanks), start}.
function tokenizeLines(grammar, source) {
  let stack = tm.INITIAL;
  return source.split(/\r?\n/).map((line) => {
    const r = grammar.tokenizeLine(line, stack);
    stack = r.ruleStack;
    return r.tokens.map((t) => ({ text: line.slice(t.startIndex, t.endIndex), scopes: t.scopes.join(' '), start: t.startIndex }));
  });
}

// A syntax test file's source lines: without its header and its assertion lines.
function testSource(file) {
  return fs.readFileSync(file, 'latin1').split('\n').slice(1).filter((l) => !/^'\s*(\^|<~*-+)/.test(l)).join('\n');
}

module.exports = { loadGrammar, tokenizeLines, testSource };
