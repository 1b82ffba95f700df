// The code editor: one view, one document state per open file (each keeps its own undo
// history and scroll position). It lives in a shadow root so that its styles go into a
// constructed style sheet, which a page without 'unsafe-inline' styles may still use.

import { basicSetup } from 'codemirror';
import { Compartment, EditorSelection, EditorState } from '@codemirror/state';
import { EditorView, keymap } from '@codemirror/view';
import { indentWithTab } from '@codemirror/commands';
import { cpp } from '@codemirror/lang-cpp';
import { css } from '@codemirror/lang-css';
import { html } from '@codemirror/lang-html';
import { javascript } from '@codemirror/lang-javascript';
import { json } from '@codemirror/lang-json';
import { markdown } from '@codemirror/lang-markdown';
import { python } from '@codemirror/lang-python';

const LANGUAGES = [
  { re: /\.(c|h)$/i, name: 'C', make: () => cpp() },
  { re: /\.(cc|cpp|cxx|hh|hpp|hxx|ino)$/i, name: 'C++', make: () => cpp() },
  { re: /\.(js|mjs|cjs|jsx)$/i, name: 'JavaScript', make: () => javascript({ jsx: true }) },
  { re: /\.(ts|mts|cts|tsx)$/i, name: 'TypeScript', make: () => javascript({ typescript: true, jsx: true }) },
  { re: /\.json$/i, name: 'JSON', make: () => json() },
  { re: /\.(css|scss)$/i, name: 'CSS', make: () => css() },
  { re: /\.(html|htm)$/i, name: 'HTML', make: () => html() },
  { re: /\.(md|markdown)$/i, name: 'Markdown', make: () => markdown() },
  { re: /\.(py|pyw)$/i, name: 'Python', make: () => python() },
];

const languageOf = (path) => LANGUAGES.find((l) => l.re.test(path));
export const languageName = (path) => languageOf(path)?.name ?? 'Plain text';

// The editor fills its pane and scrolls inside it, also sideways for long lines.
const theme = EditorView.theme({
  '&': { height: '100%', fontSize: '13px', backgroundColor: '#ffffff' },
  '.cm-scroller': { fontFamily: 'ui-monospace, "DejaVu Sans Mono", Menlo, monospace', overflow: 'auto' },
  '&.cm-focused': { outline: 'none' },
});

export class CodeEditor {
  #view;
  #docs = new Map(); // path -> {state, saved, scroll, ref, language}
  #current = null;
  #empty;
  #onChange;
  #onCursor;

  /** `onChange(path, dirty)` after every edit, `onCursor(line, col)` when the cursor moves. */
  constructor(host, { onChange, onCursor }) {
    this.#onChange = onChange;
    this.#onCursor = onCursor;
    const root = host.attachShadow({ mode: 'open' });
    const sheet = new CSSStyleSheet();
    sheet.replaceSync(':host { display: block; position: relative; } .editor-root { position: absolute; inset: 0; } .cm-editor { height: 100%; }');
    root.adoptedStyleSheets = [sheet];
    const parent = document.createElement('div');
    parent.className = 'editor-root';
    root.append(parent);
    this.#empty = EditorState.create({ doc: '', extensions: [basicSetup, theme, EditorState.readOnly.of(true), EditorView.editable.of(false)] });
    this.#view = new EditorView({ root, parent, state: this.#empty });
  }

  #extensions(ref, language) {
    return [
      basicSetup,
      keymap.of([indentWithTab]),
      theme,
      language.of(languageOf(ref.path)?.make() ?? []),
      EditorView.updateListener.of((u) => {
        if (u.docChanged) this.#onChange(ref.path, this.isDirty(ref.path));
        if (u.docChanged || u.selectionSet) this.#reportCursor();
      }),
    ];
  }

  /** Shown file, or null. */
  get current() {
    return this.#current;
  }

  has(path) {
    return this.#docs.has(path);
  }

  /** Adds a file's text as saved content; it is not shown until `show`. */
  open(path, text) {
    const ref = { path };
    const language = new Compartment();
    const state = EditorState.create({ doc: text, extensions: this.#extensions(ref, language) });
    this.#docs.set(path, { state, saved: state.doc, scroll: null, ref, language });
  }

  /** Replaces the text of an open file as an unsaved edit (undoable). */
  edit(path, text) {
    this.#update(path, (state) => state.update({ changes: { from: 0, to: state.doc.length, insert: text } }));
  }

  /** Puts a file back to its saved content. */
  revert(path) {
    const doc = this.#docs.get(path);
    if (doc) this.edit(path, doc.saved.toString());
  }

  #update(path, makeTransaction) {
    const doc = this.#docs.get(path);
    if (!doc) return;
    if (this.#current === path) this.#view.dispatch(makeTransaction(this.#view.state));
    else {
      doc.state = makeTransaction(doc.state).state;
      this.#onChange(path, this.isDirty(path));
    }
  }

  show(path) {
    if (this.#current === path) return;
    this.#stash();
    const doc = path === null ? null : this.#docs.get(path);
    this.#current = doc ? path : null;
    this.#view.setState(doc ? doc.state : this.#empty);
    if (doc?.scroll) this.#view.dispatch({ effects: doc.scroll });
    this.#reportCursor();
  }

  #stash() {
    const doc = this.#current === null ? null : this.#docs.get(this.#current);
    if (!doc) return;
    doc.state = this.#view.state;
    doc.scroll = this.#view.scrollSnapshot();
  }

  close(path) {
    if (this.#current === path) this.show(null);
    this.#docs.delete(path);
  }

  rename(from, to) {
    const doc = this.#docs.get(from);
    if (!doc || from === to) return;
    this.#docs.delete(from);
    this.#docs.set(to, doc);
    doc.ref.path = to;
    if (this.#current === from) this.#current = to;
    this.#update(to, (state) => state.update({ effects: doc.language.reconfigure(languageOf(to)?.make() ?? []) }));
  }

  #state(path) {
    if (path === this.#current) return this.#view.state;
    return this.#docs.get(path)?.state ?? null;
  }

  isDirty(path) {
    const doc = this.#docs.get(path);
    const state = this.#state(path);
    return Boolean(doc && state && !state.doc.eq(doc.saved));
  }

  /** The document as it is now, to be passed to markSaved once written. */
  snapshot(path) {
    const doc = this.#state(path).doc;
    return { doc, text: doc.toString() };
  }

  text(path) {
    return this.#state(path)?.doc.toString() ?? '';
  }

  markSaved(path, savedDoc) {
    const doc = this.#docs.get(path);
    if (!doc) return;
    doc.saved = savedDoc;
    this.#onChange(path, this.isDirty(path));
  }

  /** Moves the cursor of the shown file to a line (1-based) and scrolls it into the middle. */
  goToLine(line) {
    const state = this.#view.state;
    const at = state.doc.line(Math.min(Math.max(1, line), state.doc.lines)).from;
    this.#view.dispatch({
      selection: EditorSelection.cursor(at),
      effects: EditorView.scrollIntoView(at, { y: 'center' }),
    });
    this.#view.focus();
  }

  focus() {
    this.#view.focus();
  }

  #reportCursor() {
    if (this.#current === null) return this.#onCursor(0, 0);
    const state = this.#view.state;
    const head = state.selection.main.head;
    const line = state.doc.lineAt(head);
    this.#onCursor(line.number, head - line.from + 1);
  }
}
