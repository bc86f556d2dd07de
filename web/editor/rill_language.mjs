// rill for the editor: a line-by-line tokenizer that splits and names the
// text as rill's scanner does (tests/web/language_test.mjs checks it against
// the scanner on every example), and the colour of each kind of token.
import { StreamLanguage } from "@codemirror/language";
import { tags } from "@lezer/highlight";

// Whole words only: loopy, P_ and P1 are names.
const WORDS = {
  loop: "control",
  if: "control",
  out: "control",
  int: "type",
  dbl: "type",
  P: "builtin",
  F: "builtin",
  S: "builtin",
  rand: "builtin",
  D: "reserved",
};

// Longest first, as the scanner matches: x=-1 is x =- 1, and =< is less or equal.
const OPERATORS = [
  [/^(?:==|=!|=<|=>|<|>)/, "compare"],
  [/^=[-+*/]/, "assign"],
  [/^(?:\+\+|--)/, "assign"],
  [/^=/, "assign"],
  [/^[-+*/]/, "arith"],
  [/^\\n/, "newlineMark"],
  [/^[()]/, "paren"],
  [/^[{}]/, "brace"],
  [/^[;,]/, "separator"],
];

// State: inside a string (which may run over lines, and has no escapes),
// and inside a remark (a quote, a string, a quote).
export const rillTokenizer = {
  name: "rill",
  startState: () => ({ string: false, remark: false }),
  copyState: (s) => ({ string: s.string, remark: s.remark }),
  token(stream, state) {
    if (state.string) {
      if (stream.skipTo('"')) {
        stream.next();
        state.string = false;
      } else stream.skipToEnd();
      return state.remark ? "remarkString" : "string";
    }
    if (stream.eatSpace()) return null;
    if (state.remark) {
      const c = stream.next();
      if (c === "'") state.remark = false;
      else if (c === '"') {
        state.string = true;
        return rillTokenizer.token(stream, state);
      }
      return c === "'" ? "remarkQuote" : "remark";
    }
    if (stream.eat("'")) {
      state.remark = true;
      return "remarkQuote";
    }
    if (stream.eat('"')) {
      state.string = true;
      return rillTokenizer.token(stream, state);
    }
    if (stream.match(/^#(?=\s*")/)) return "header";
    const word = stream.match(/^[A-Za-z][A-Za-z0-9]*(?:_+[A-Za-z0-9]*)?/);
    if (word) return Object.hasOwn(WORDS, word[0]) ? WORDS[word[0]] : "name";
    if (stream.match(/^[0-9]+(?:\.[0-9]+)?/)) return "number";
    for (const [re, kind] of OPERATORS) if (stream.match(re)) return kind;
    stream.next();
    return "stray"; // a character no statement takes
  },
  tokenTable: {
    string: tags.string,
    remarkString: tags.comment,
    remark: tags.comment,
    remarkQuote: tags.comment,
    header: tags.processingInstruction,
    control: tags.controlKeyword,
    type: tags.typeName,
    builtin: tags.standard(tags.function(tags.variableName)),
    reserved: tags.invalid,
    name: tags.variableName,
    number: tags.number,
    compare: tags.compareOperator,
    assign: tags.updateOperator,
    arith: tags.arithmeticOperator,
    newlineMark: tags.escape,
    paren: tags.paren,
    brace: tags.brace,
    separator: tags.separator,
    stray: tags.invalid,
  },
  languageData: { commentTokens: {} },
};

export const rillLanguage = StreamLanguage.define(rillTokenizer);
