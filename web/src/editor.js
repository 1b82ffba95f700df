// The code editor component. It lives in a shadow root so that its styles go into a
// constructed style sheet, which a page without 'unsafe-inline' styles may still use.

import { basicSetup } from 'codemirror';
import { Compartment, EditorState } from '@codemirror/state';
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
  [/\.(c|cc|cpp|cxx|h|hh|hpp|hxx|ino)$/i, () => cpp()],
  [/\.(js|mjs|cjs|jsx)$/i, () => javascript({ jsx: true })],
  [/\.(ts|mts|cts|tsx)$/i, () => javascript({ typescript: true, jsx: true })],
  [/\.json$/i, () => json()],
  [/\.(css|scss)$/i, () => css()],
  [/\.(html|htm)$/i, () => html()],
  [/\.(md|markdown)$/i, () => markdown()],
  [/\.(py|pyw)$/i, () => python()],
];

const languageFor = (path) => {
  const hit = LANGUAGES.find(([re]) => re.test(path));
  return hit ? hit[1]() : [];
};

const theme = EditorView.theme({
  '&': { height: '100%', fontSize: '13px', backgroundColor: '#ffffff' },
  '.cm-scroller': { fontFamily: 'ui-monospace, "DejaVu Sans Mono", Menlo, monospace' },
  '&.cm-focused': { outline: 'none' },
});

export class CodeEditor {
  #view;
  #language = new Compartment();
  #readOnly = new Compartment();
  #savedDoc = null;
  #onChange;

  /** `host` gets a shadow root; `onSave` runs on Mod-S, `onChange(dirty)` on every edit. */
  constructor(host, { onSave, onChange }) {
    this.#onChange = onChange;
    const root = host.attachShadow({ mode: 'open' });
    const sheet = new CSSStyleSheet();
    sheet.replaceSync(':host { display: block; height: 100%; } .cm-editor { height: 100%; }');
    root.adoptedStyleSheets = [sheet];
    const parent = document.createElement('div');
    parent.className = 'editor-root';
    root.append(parent);
    this.#view = new EditorView({
      root,
      parent,
      state: this.#stateFor('', '', true, onSave),
    });
    this.onSave = onSave;
  }

  #stateFor(path, text, readOnly, onSave) {
    return EditorState.create({
      doc: text,
      extensions: [
        basicSetup,
        keymap.of([indentWithTab, { key: 'Mod-s', preventDefault: true, run: () => (onSave(), true) }]),
        theme,
        this.#language.of(languageFor(path)),
        this.#readOnly.of(EditorState.readOnly.of(readOnly)),
        EditorView.updateListener.of((u) => {
          if (u.docChanged) this.#onChange(this.dirty);
        }),
      ],
    });
  }

  /** Shows a file's text; its content counts as saved. */
  open(path, text) {
    this.#view.setState(this.#stateFor(path, text, false, this.onSave));
    this.#savedDoc = this.#view.state.doc;
    this.#onChange(false);
  }

  /** Empties the editor and makes it read-only (no file open). */
  clear() {
    this.#view.setState(this.#stateFor('', '', true, this.onSave));
    this.#savedDoc = null;
    this.#onChange(false);
  }

  /** The current document, to be passed to markSaved once it has been written. */
  snapshot() {
    const doc = this.#view.state.doc;
    return { doc, text: doc.toString() };
  }

  get dirty() {
    return this.#savedDoc !== null && !this.#view.state.doc.eq(this.#savedDoc);
  }

  /** Records a snapshot's document as what is on disk now. */
  markSaved(doc) {
    this.#savedDoc = doc;
    this.#onChange(this.dirty);
  }

  focus() {
    this.#view.focus();
  }
}
