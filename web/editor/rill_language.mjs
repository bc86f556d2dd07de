// rill for the editor: a line-by-line tokenizer that splits and names the
// text as rill's scanner does (tests/web/language_test.mjs checks it against
// the scanner on every example and on random token soups), and the colour of
// each kind of token. The names all start with "rill": the editor library
// keeps a table of older names ("builtin", "header", ...) that would win over
// ours and draw those tokens in its own way.
import { StreamLanguage } from "@codemirror/language";
import { tags } from "@lezer/highlight";

// Whole words only: loopy, P_ and P1 are names.
const WORDS = {
  loop: "rillControl",
  if: "rillControl",
  out: "rillControl",
  int: "rillType",
  dbl: "rillType",
  P: "rillBuiltin",
  F: "rillBuiltin",
  S: "rillBuiltin",
  rand: "rillBuiltin",
  D: "rillReserved",
};

// Longest first, as the scanner matches: x=-1 is x =- 1, and =< is less or equal.
const OPERATORS = [
  [/^(?:==|=!|=<|=>|<|>)/, "rillCompare"],
  [/^=[-+*/]/, "rillAssign"],
  [/^(?:\+\+|--)/, "rillAssign"],
  [/^=/, "rillAssign"],
  [/^[-+*/]/, "rillArith"],
  [/^\\n/, "rillNewlineMark"],
  [/^[()]/, "rillParen"],
  [/^[{}]/, "rillBrace"],
  [/^[;,]/, "rillSeparator"],
];

// The scanner skips only blanks and tabs (and line ends): a carriage return
// is a token of its own, except before a line feed, where rill reads the
// pair as a line end.
const BLANKS = /[ \t]/;

// Double quotes pair off in order; with an odd number in the whole text the
// last has no partner, and the scanner takes it for a lone character, not the
// start of a string. A line-by-line tokenizer cannot see that far: whoever
// uses it sets quotes.total to the text's count first (editor.mjs keeps it
// up to date, and parses again when the lone quote may have changed).
export const quotes = { total: 0 };

// A remark is a quote, a string and a quote, which may lie on different
// lines; only then is it one. remark: 0 outside one, 1 after its first
// quote, 2 inside its string, 3 after its string. first: no token yet (a
// header's "#" must be the very first). seen: double quotes so far.
export const rillTokenizer = {
  name: "rill",
  startState: () => ({ string: false, remark: 0, first: true, seen: 0 }),
  copyState: (s) => ({ string: s.string, remark: s.remark, first: s.first, seen: s.seen }),
  token(stream, state) {
    if (state.string) {
      const remark = state.remark === 2;
      if (stream.skipTo('"')) {
        stream.next();
        state.seen++;
        state.string = false;
        if (remark) state.remark = 3;
      } else stream.skipToEnd();
      return remark ? "rillRemarkString" : "rillString";
    }
    if (stream.eatWhile(BLANKS) || stream.match(/^\r$/)) return null;
    const remark = state.remark,
      first = state.first;
    state.remark = 0;
    state.first = false;
    if (stream.eat("'")) {
      state.remark = remark === 3 ? 0 : 1;
      return "rillRemarkQuote";
    }
    if (stream.eat('"')) {
      if (state.seen++ === quotes.total - 1 && quotes.total % 2 === 1) return "rillStray";
      state.string = true;
      if (remark === 1) state.remark = 2;
      return rillTokenizer.token(stream, state);
    }
    if (stream.eat("#")) return first ? "rillHeader" : "rillStray";
    const word = stream.match(/^[A-Za-z][A-Za-z0-9]*(?:_+[A-Za-z0-9]*)?/);
    if (word) return Object.hasOwn(WORDS, word[0]) ? WORDS[word[0]] : "rillName";
    if (stream.match(/^[0-9]+(?:\.[0-9]+)?/)) return "rillNumber";
    for (const [re, kind] of OPERATORS) if (stream.match(re)) return kind;
    stream.next();
    return "rillStray"; // a character no statement takes
  },
  tokenTable: {
    rillString: tags.string,
    rillRemarkString: tags.comment,
    rillRemarkQuote: tags.comment,
    rillHeader: tags.processingInstruction,
    rillControl: tags.controlKeyword,
    rillType: tags.typeName,
    rillBuiltin: tags.standard(tags.function(tags.variableName)),
    rillReserved: tags.invalid,
    rillName: tags.variableName,
    rillNumber: tags.number,
    rillCompare: tags.compareOperator,
    rillAssign: tags.updateOperator,
    rillArith: tags.arithmeticOperator,
    rillNewlineMark: tags.escape,
    rillParen: tags.paren,
    rillBrace: tags.brace,
    rillSeparator: tags.separator,
    rillStray: tags.invalid,
  },
  languageData: { commentTokens: {} },
};

export const rillLanguage = StreamLanguage.define(rillTokenizer);
