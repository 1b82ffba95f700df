// The full-window layout: the panes' sizes as plain data (fractions of the window, so a
// smaller window keeps the proportions), splitters that drag (or take the arrow keys) to
// change them, and toggles that hide and show panes. Pixel sizes go to CSS custom
// properties, which the page's style sheet turns into the grid.

import { byId } from './dom.js';

const KEY_STEP_PX = 16;
const MIN_PX = { left: 120, right: 180, bottom: 80, perms: 60 };
// The editor keeps at least this much width whatever the side panes ask for.
const CENTER_MIN_PX = 360;
const SPLITTER_PX = 5;
const PANES = ['left', 'bottom', 'right'];

export const defaultPanes = () => ({
  left: 0.17,
  right: 0.24,
  bottom: 0.36,
  perms: 0.4,
  hidden: { left: false, bottom: false, right: false },
});

/** Stored sizes made safe: fractions between 0 and 1, anything else from the defaults. */
export function normalPanes(saved) {
  const d = defaultPanes();
  const frac = (v, fallback) => (typeof v === 'number' && v > 0 && v < 1 ? v : fallback);
  const s = saved && typeof saved === 'object' ? saved : {};
  return {
    left: frac(s.left, d.left),
    right: frac(s.right, d.right),
    bottom: frac(s.bottom, d.bottom),
    perms: frac(s.perms, d.perms),
    hidden: Object.fromEntries(PANES.map((p) => [p, Boolean(s.hidden?.[p])])),
  };
}

/** Pixel sizes for a window: each pane keeps its minimum, and the editor keeps its room. */
export function paneSizes(p, width, height) {
  let left = p.hidden.left ? 0 : Math.max(MIN_PX.left, p.left * width);
  let right = p.hidden.right ? 0 : Math.max(MIN_PX.right, p.right * width);
  const room = width - CENTER_MIN_PX - 2 * SPLITTER_PX;
  if (left + right > room && left + right > 0) {
    const scale = Math.max(0, room) / (left + right);
    left = left && Math.max(MIN_PX.left, left * scale);
    right = right && Math.max(MIN_PX.right, right * scale);
  }
  const tall = (v, min) => Math.max(min, Math.min(v * height, height * 0.75));
  return {
    left: Math.round(left),
    right: Math.round(right),
    bottom: Math.round(tall(p.bottom, MIN_PX.bottom)),
    perms: Math.round(tall(p.perms, MIN_PX.perms)),
  };
}

// Splitter id -> the size it changes and which way a drag grows it.
const SPLITTERS = {
  'split-left': { size: 'left', axis: 'x', sign: 1 },
  'split-right': { size: 'right', axis: 'x', sign: -1 },
  'split-bottom': { size: 'bottom', axis: 'y', sign: -1 },
  'split-side': { size: 'perms', axis: 'y', sign: 1 },
};
const TOGGLES = { 'toggle-left': 'left', 'toggle-bottom': 'bottom', 'toggle-right': 'right' };

export class Layout {
  #panes;
  #onChange;

  /** `onChange(panes)` is told the sizes after every change the user makes. */
  constructor(saved, onChange) {
    this.#onChange = onChange;
    this.#panes = normalPanes(saved);
    for (const [id, splitter] of Object.entries(SPLITTERS)) this.#wireSplitter(byId(id), splitter);
    for (const [id, pane] of Object.entries(TOGGLES)) byId(id).addEventListener('click', () => this.toggle(pane));
    window.addEventListener('resize', () => this.#apply());
    this.#apply();
  }

  /** Sizes kept for a project (or none: the current ones stay). */
  use(saved) {
    if (!saved) return;
    this.#panes = normalPanes(saved);
    this.#apply();
  }

  toggle(pane, show) {
    const hidden = show === undefined ? !this.#panes.hidden[pane] : !show;
    if (hidden === this.#panes.hidden[pane]) return;
    this.#set({ hidden: { ...this.#panes.hidden, [pane]: hidden } });
  }

  #set(change) {
    this.#panes = normalPanes({ ...this.#panes, ...change });
    this.#apply();
    this.#onChange(this.#panes);
  }

  #apply() {
    const px = paneSizes(this.#panes, innerWidth, innerHeight);
    const style = document.documentElement.style;
    style.setProperty('--left-w', `${px.left}px`);
    style.setProperty('--right-w', `${px.right}px`);
    style.setProperty('--bottom-h', `${px.bottom}px`);
    style.setProperty('--perms-h', `${px.perms}px`);
    const layout = byId('layout');
    for (const pane of PANES) layout.classList.toggle(`hide-${pane}`, this.#panes.hidden[pane]);
    for (const [id, pane] of Object.entries(TOGGLES)) byId(id).setAttribute('aria-pressed', String(!this.#panes.hidden[pane]));
    for (const [id, splitter] of Object.entries(SPLITTERS)) byId(id).setAttribute('aria-valuenow', String(px[splitter.size]));
  }

  /** Sets a pane to a pixel size, kept as its fraction of the window. */
  #resize(size, axis, pixels) {
    this.#set({ [size]: Math.min(0.9, Math.max(0.01, pixels / (axis === 'x' ? innerWidth : innerHeight))) });
  }

  #wireSplitter(bar, { size, axis, sign }) {
    bar.addEventListener('pointerdown', (ev) => {
      ev.preventDefault();
      bar.setPointerCapture(ev.pointerId);
      const start = axis === 'x' ? ev.clientX : ev.clientY;
      const from = paneSizes(this.#panes, innerWidth, innerHeight)[size];
      const move = (e) => this.#resize(size, axis, from + sign * ((axis === 'x' ? e.clientX : e.clientY) - start));
      const up = () => {
        bar.removeEventListener('pointermove', move);
        bar.removeEventListener('pointerup', up);
        bar.removeEventListener('pointercancel', up);
      };
      bar.addEventListener('pointermove', move);
      bar.addEventListener('pointerup', up);
      bar.addEventListener('pointercancel', up);
    });
    bar.addEventListener('keydown', (ev) => {
      const grow = { ArrowRight: 1, ArrowDown: 1, ArrowLeft: -1, ArrowUp: -1 }[ev.key];
      if (grow === undefined) return;
      ev.preventDefault();
      this.#resize(size, axis, paneSizes(this.#panes, innerWidth, innerHeight)[size] + grow * sign * KEY_STEP_PX);
    });
  }
}
