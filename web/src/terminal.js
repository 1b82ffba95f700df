// One run's output in a terminal component: ANSI colours, carriage returns, cursor movement
// and wide characters as a terminal shows them. Output goes in at most once per animation
// frame, in batches, and the next batch waits until the terminal has taken the last one, so
// a chatty program never holds up the page; scrollback is bounded, and plain lines that it
// could not keep are never handed to the terminal at all.

import { Terminal } from '@xterm/xterm';
import { FitAddon } from '@xterm/addon-fit';
import { OutputQueue, droppablePrefix } from './output_queue.js';
import './sheet_element.js';

export const SCROLLBACK_LINES = 10_000;
// What the terminal parses in one go; more at once would hold up the page.
const BATCH_BYTES = 256 * 1024;
// While a program floods, the terminal is drawn a few times a second rather than at every
// frame: drawing costs the page far more than parsing, and nobody reads 60 screens a second.
const FLOOD_BATCH_BYTES = 16 * 1024;
const FLOOD_PAUSE_MS = 80;
const utf8 = new TextEncoder();
// Keys that do not end an Escape-then-Tab.
const MODIFIER_KEYS = new Set(['Shift', 'Control', 'Alt', 'Meta']);

// Colours readable on the page's light background.
const THEME = {
  background: '#fbfbfc', foreground: '#1f2329', cursor: '#1f2329', cursorAccent: '#fbfbfc',
  selectionBackground: '#cfe0fb',
  black: '#000000', red: '#cd3131', green: '#107c10', yellow: '#949800',
  blue: '#0451a5', magenta: '#bc05bc', cyan: '#0598bc', white: '#555555',
  brightBlack: '#666666', brightRed: '#cd3131', brightGreen: '#14a314', brightYellow: '#b5ba00',
  brightBlue: '#0451a5', brightMagenta: '#bc05bc', brightCyan: '#0598bc', brightWhite: '#a5a5a5',
};

const megabytes = (n) => `${(n / (1024 * 1024)).toFixed(1)} MB`;

export class RunTerminal {
  #term;
  #fit;
  #queue = new OutputQueue();
  #scheduled = false;
  #writing = false;
  #disposed = false;
  #observer;

  /**
   * `convertEol`: bare line feeds start a new line (output from pipes). `onData(text)` gets
   * what the user types or pastes. `tabMovesFocus`: Tab leaves the terminal, as everywhere
   * else on the page, instead of going to the program; otherwise Tab goes to the program
   * and Escape, then Tab, leaves (as in the editor).
   */
  constructor(host, { convertEol, onData, label, tabMovesFocus }) {
    this.#term = new Terminal({
      scrollback: SCROLLBACK_LINES,
      convertEol,
      cursorBlink: false,
      fontFamily: 'ui-monospace, "DejaVu Sans Mono", Menlo, monospace',
      fontSize: 12,
      theme: THEME,
      screenReaderMode: true,
    });
    this.#fit = new FitAddon();
    this.#term.loadAddon(this.#fit);
    this.#term.open(host);
    this.#term.textarea?.setAttribute('aria-label', label);
    this.#term.onData(onData);
    this.#takeInsertedText(onData);
    let escaped = false;
    this.#term.attachCustomKeyEventHandler((ev) => {
      if (ev.key === 'Tab') {
        const leave = tabMovesFocus || escaped;
        if (ev.type === 'keydown') escaped = false;
        return !leave;
      }
      if (ev.type === 'keydown' && !MODIFIER_KEYS.has(ev.key)) escaped = ev.key === 'Escape';
      return true;
    });
    this.#observer = new ResizeObserver(() => this.fit());
    this.#observer.observe(host);
  }

  get cols() {
    return this.#term.cols;
  }

  get rows() {
    return this.#term.rows;
  }

  onResize(listener) {
    this.#term.onResize(listener);
  }

  /** Program output, or local echo: bytes or text, shown in the order given. */
  write(data) {
    this.#queue.push(typeof data === 'string' ? utf8.encode(data) : data);
    this.#schedule();
  }

  /** Sizes the terminal to its box; a hidden box keeps the old size. */
  fit() {
    const box = this.#term.element?.parentElement;
    if (box && box.clientWidth > 0 && box.clientHeight > 0) this.#fit.fit();
  }

  focus() {
    this.#term.focus();
  }

  set inputEnabled(on) {
    this.#term.options.disableStdin = !on;
  }

  dispose() {
    this.#disposed = true;
    this.#observer.disconnect();
    this.#term.dispose();
  }

  // In screen-reader mode the terminal leaves text that arrives without a key press (an emoji
  // picker, dictation, an on-screen keyboard) to the screen reader, and it would be lost:
  // such text is passed on here. Text typed on keys comes with keydown and keyup around its
  // input event, and the terminal sends it itself.
  #takeInsertedText(onData) {
    const area = this.#term.textarea;
    if (!area) return;
    let keyDown = false;
    area.addEventListener('keydown', () => (keyDown = true), true);
    area.addEventListener('keyup', () => (keyDown = false), true);
    area.addEventListener('input', (e) => {
      if (!keyDown && e.inputType === 'insertText' && e.data && !e.isComposing) onData(e.data);
    });
  }

  #schedule() {
    if (this.#scheduled || this.#writing) return;
    this.#scheduled = true;
    requestAnimationFrame(() => this.#flush());
  }

  #flush() {
    this.#scheduled = false;
    if (this.#disposed) return;
    const { skipped, data: pending } = this.#queue.take(Infinity);
    if (skipped) this.#term.write(`\x1b[0m\r\n\x1b[7m[${megabytes(skipped)} of output skipped to keep up]\x1b[0m\r\n`);
    if (!pending) return;
    let data = pending.subarray(droppablePrefix(pending, SCROLLBACK_LINES + this.#term.rows + 1));
    if (data.length > BATCH_BYTES) {
      this.#queue.unshift(data.subarray(BATCH_BYTES));
      data = data.subarray(0, BATCH_BYTES);
    }
    this.#writing = true;
    const pause = data.length >= FLOOD_BATCH_BYTES ? FLOOD_PAUSE_MS : 0;
    this.#term.write(data, () => {
      const next = () => {
        this.#writing = false;
        if (this.#queue.size) this.#schedule();
      };
      if (pause) setTimeout(next, pause);
      else next();
    });
  }
}
