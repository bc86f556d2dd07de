// The playground's editor, bundled with the editor library into the site's
// editor.js by make web (nothing is fetched when the page loads).
//   rillEditor.create({parent, doc, label, onChange, onRun}) returns
//   {getText(), setText(text), doc(), markError(line or 0), focus(), view}.
// doc() is the text as it stands, an immutable value: the same value means
// no edit since.
import { Compartment, EditorState, RangeSet, StateEffect, StateField } from "@codemirror/state";
import {
  Decoration,
  EditorView,
  drawSelection,
  gutterLineClass,
  GutterMarker,
  highlightActiveLine,
  highlightActiveLineGutter,
  highlightSpecialChars,
  keymap,
  lineNumbers,
} from "@codemirror/view";
import {
  defaultKeymap,
  history,
  historyKeymap,
  indentWithTab,
  simplifySelection,
} from "@codemirror/commands";
import {
  HighlightStyle,
  StreamLanguage,
  bracketMatching,
  syntaxHighlighting,
} from "@codemirror/language";
import { search, searchKeymap } from "@codemirror/search";
import { tags } from "@lezer/highlight";
import { quotes, rillLanguage, rillTokenizer } from "./rill_language.mjs";

// Colours that keep 4.5:1 contrast on the editor's white.
const colours = HighlightStyle.define([
  { tag: tags.comment, color: "#646a70", fontStyle: "italic" },
  { tag: tags.string, color: "#2b6e2e" },
  { tag: tags.controlKeyword, color: "#8334a8" },
  { tag: tags.typeName, color: "#0a6480", fontWeight: "600" },
  { tag: tags.standard(tags.function(tags.variableName)), color: "#9a4f00", fontWeight: "600" },
  { tag: tags.processingInstruction, color: "#8334a8" },
  { tag: tags.number, color: "#96400a" },
  { tag: tags.escape, color: "#96400a" },
  { tag: [tags.paren, tags.brace, tags.separator], color: "#5c6570" },
  { tag: tags.invalid, color: "#b3261e", textDecoration: "underline wavy #b3261e" },
]);

// The line a diagnostic names: marked in the text and in the gutter until
// the next edit.
const setError = StateEffect.define();
const errorLine = StateField.define({
  create: () => 0,
  update(line, tr) {
    for (const e of tr.effects) if (e.is(setError)) return e.value;
    return tr.docChanged ? 0 : line;
  },
});
const lineMark = Decoration.line({ class: "cm-error-line" });
const errorDecorations = EditorView.decorations.compute([errorLine], (state) => {
  const line = state.field(errorLine);
  if (line < 1 || line > state.doc.lines) return Decoration.none;
  return Decoration.set([lineMark.range(state.doc.line(line).from)]);
});
const gutterMark = new (class extends GutterMarker {
  elementClass = "cm-error-gutter";
})();
const errorGutter = gutterLineClass.compute([errorLine], (state) => {
  const line = state.field(errorLine);
  if (line < 1 || line > state.doc.lines) return RangeSet.empty;
  return RangeSet.of([gutterMark.range(state.doc.line(line).from)]);
});

// The text's count of double quotes, for the tokenizer (see quotes in
// rill_language.mjs), kept from the changes rather than counted anew. It is
// set before the language parses the new text (this field comes first).
const countQuotes = (text) => text.split('"').length - 1;
const quoteCount = StateField.define({
  create: (state) => (quotes.total = countQuotes(state.doc.toString())),
  update(total, tr) {
    if (!tr.docChanged) return total;
    tr.changes.iterChanges((fromA, toA, fromB, toB, inserted) => {
      total +=
        countQuotes(inserted.toString()) - countQuotes(tr.startState.doc.sliceString(fromA, toA));
    });
    return (quotes.total = total);
  },
});
// The lone last quote may lie before the edit, where the parse is kept: when
// it may have changed, the text is parsed again from the start.
const language = new Compartment();
const reparse = EditorView.updateListener.of((u) => {
  const before = u.startState.field(quoteCount),
    after = u.state.field(quoteCount);
  if (before !== after && (before % 2 === 1 || after % 2 === 1))
    queueMicrotask(() =>
      u.view.dispatch({ effects: language.reconfigure(StreamLanguage.define(rillTokenizer)) }),
    );
});

export function create({ parent, doc, label, onChange, onRun }) {
  const view = new EditorView({
    parent,
    state: EditorState.create({
      doc,
      extensions: [
        // Only a line feed ends a line: a lone carriage return is a character
        // of the program (natively too) and is kept, and shown, as one.
        EditorState.lineSeparator.of("\n"),
        lineNumbers(),
        highlightActiveLineGutter(),
        highlightSpecialChars(),
        history(),
        drawSelection(),
        bracketMatching(),
        highlightActiveLine(),
        quoteCount,
        language.of(rillLanguage),
        reparse,
        syntaxHighlighting(colours),
        errorLine,
        errorDecorations,
        errorGutter,
        // Find and replace over the whole text (the page shows only the lines
        // in view, so the browser's own find cannot see the rest).
        search({ top: true }),
        keymap.of([
          { key: "Mod-Enter", run: () => (onRun(), true) },
          // Escape closes the search panel when it is open.
          ...searchKeymap,
          // Escape, then Tab, leaves the editor: Tab indents otherwise.
          {
            key: "Escape",
            run: (v) => (simplifySelection(v), v.setTabFocusMode(2000), true),
          },
          indentWithTab,
          ...defaultKeymap,
          ...historyKeymap,
        ]),
        // A tab stop of its own, said outright, so that checkers see the
        // scrolling area around it reachable by keyboard.
        EditorView.contentAttributes.of({
          "aria-label": label,
          "aria-describedby": "editor-help",
          tabindex: "0",
        }),
        EditorView.updateListener.of((u) => {
          if (u.docChanged && onChange) onChange();
        }),
      ],
    }),
  });
  return {
    view,
    getText: () => view.state.doc.toString(),
    setText(text) {
      view.dispatch({
        changes: { from: 0, to: view.state.doc.length, insert: text },
        effects: setError.of(0),
      });
    },
    markError(line) {
      const effects = [setError.of(line)];
      if (line >= 1 && line <= view.state.doc.lines)
        effects.push(EditorView.scrollIntoView(view.state.doc.line(line).from, { y: "center" }));
      view.dispatch({ effects });
    },
    doc: () => view.state.doc,
    errorLine: () => view.state.field(errorLine),
    focus: () => view.focus(),
  };
}
