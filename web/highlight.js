// Highlighting from the editors' TextMate grammar (bundled as grammar.js by
// make web): the subset that grammar uses, namely match rules, begin/end
// rules with inner patterns, includes from the repository and named
// captures of begin and end. Scans the whole text at once, so strings and
// remarks that run over lines are coloured as the scanner sees them.
(function () {
  'use strict';

  // Flattens a rule list, following includes, into {match} and {begin, end} rules.
  function compile(grammar, patterns) {
    const rules = [];
    for (const p of patterns || []) {
      if (p.include) {
        const target = grammar.repository[p.include.replace(/^#/, '')];
        rules.push(...compile(grammar, target.patterns && !target.begin && !target.match ? target.patterns : [target]));
      } else if (p.match) {
        rules.push({re: new RegExp(p.match, 'g'), name: p.name});
      } else if (p.begin) {
        rules.push({re: new RegExp(p.begin, 'g'), end: new RegExp(p.end, 'g'), name: p.name,
                    inner: null, source: p});
      } else if (p.patterns) {
        rules.push(...compile(grammar, p.patterns));
      }
    }
    for (const r of rules) if (r.source && !r.inner) r.inner = compile(grammar, r.source.patterns);
    return rules;
  }

  // The earliest match of any rule at or after pos; the first rule wins a tie.
  // A rule's last match is kept while it still lies ahead, since nothing
  // before it can match on a later search from a later position.
  function earliest(rules, cache, text, pos) {
    let best = null, bestRule = null;
    rules.forEach((rule, i) => {
      let m = cache[i];
      if (m === undefined || (m !== null && m.index < pos)) {
        rule.re.lastIndex = pos;
        m = rule.re.exec(text);
        cache[i] = m;
      }
      if (m && (!best || m.index < best.index)) { best = m; bestRule = rule; }
    });
    return best && {m: best, rule: bestRule};
  }

  function push(out, from, to, scope) {
    if (to > from) out.push([from, to, scope]);
  }

  // Adds [from, to, scope] pieces to out from pos on. Inside a begin/end
  // region (endRe given) it stops at the end match, which wins a tie with the
  // inner rules, and returns it; null when the text ends first.
  function scan(rules, text, pos, scope, out, endRe) {
    const cache = [];
    while (pos < text.length) {
      let end = null;
      if (endRe) {
        endRe.lastIndex = pos;
        end = endRe.exec(text);
      }
      const next = earliest(rules, cache, text, pos);
      if (end && (!next || end.index <= next.m.index)) {
        push(out, pos, end.index, scope);
        return end;
      }
      if (!next) break;
      const {m, rule} = next;
      const name = rule.name || scope;
      const after = m.index + Math.max(m[0].length, 1);
      push(out, pos, m.index, scope);
      push(out, m.index, after, name);
      pos = after;
      if (rule.end) {
        const closing = scan(rule.inner, text, after, name, out, rule.end);
        if (!closing) return null;
        pos = closing.index + closing[0].length;
        push(out, closing.index, pos, name);
      }
    }
    push(out, pos, text.length, scope);
    return null;
  }

  function makeHighlighter(grammar) {
    const rules = compile(grammar, grammar.patterns);
    return text => {
      const out = [];
      scan(rules, text, 0, null, out, null);
      return out;
    };
  }

  self.rillHighlighter = self.RILL_GRAMMAR ? makeHighlighter(self.RILL_GRAMMAR) : null;
})();
