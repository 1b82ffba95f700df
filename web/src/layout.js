// The full-window layout: the panes' sizes as plain data, splitters that drag (or take the
// arrow keys) to change them, and toggles that hide and show panes. Sizes go to CSS custom
// properties, which the page's style sheet turns into the grid.

import { byId } from './dom.js';

const KEY_STEP_PX = 16;

/** Defaults scaled to the window, so that 800×600 still shows every pane. */
export function defaultPanes(width, height) {
  return {
    left: Math.round(Math.min(280, Math.max(160, width * 0.18))),
    right: Math.round(Math.min(380, Math.max(220, width * 0.24))),
    bottom: Math.round(Math.max(140, height * 0.36)),
    perms: Math.round(Math.max(120, height * 0.35)),
    hidden: { left: false, bottom: false, right: false },
  };
}

/** Sizes that fit the window: every pane keeps a usable minimum and the editor keeps room. */
export function fitPanes(p, width, height) {
  const clamp = (v, lo, hi) => Math.round(Math.min(Math.max(Number(v) || lo, lo), Math.max(lo, hi)));
  const left = clamp(p.left, 120, width * 0.4);
  const right = clamp(p.right, 180, width * 0.45);
  return {
    left,
    right,
    bottom: clamp(p.bottom, 80, height * 0.75),
    perms: clamp(p.perms, 60, height * 0.7),
    hidden: { left: Boolean(p.hidden?.left), bottom: Boolean(p.hidden?.bottom), right: Boolean(p.hidden?.right) },
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
    this.#panes = fitPanes({ ...defaultPanes(innerWidth, innerHeight), ...(saved ?? {}) }, innerWidth, innerHeight);
    for (const [id, spec] of Object.entries(SPLITTERS)) this.#wireSplitter(byId(id), spec);
    for (const [id, pane] of Object.entries(TOGGLES)) {
      byId(id).addEventListener('click', () => this.toggle(pane));
    }
    window.addEventListener('resize', () => this.#apply());
    this.#apply();
  }

  get panes() {
    return this.#panes;
  }

  /** Sizes kept for a project (or none: the current ones stay). */
  use(saved) {
    if (!saved) return;
    this.#panes = fitPanes({ ...this.#panes, ...saved }, innerWidth, innerHeight);
    this.#apply();
  }

  toggle(pane, show) {
    const hidden = show === undefined ? !this.#panes.hidden[pane] : !show;
    this.#set({ hidden: { ...this.#panes.hidden, [pane]: hidden } });
  }

  #set(change) {
    this.#panes = fitPanes({ ...this.#panes, ...change }, innerWidth, innerHeight);
    this.#apply();
    this.#onChange(this.#panes);
  }

  #apply() {
    const p = fitPanes(this.#panes, innerWidth, innerHeight);
    const root = document.documentElement.style;
    root.setProperty('--left-w', `${p.left}px`);
    root.setProperty('--right-w', `${p.right}px`);
    root.setProperty('--bottom-h', `${p.bottom}px`);
    root.setProperty('--perms-h', `${p.perms}px`);
    const layout = byId('layout');
    for (const pane of ['left', 'bottom', 'right']) layout.classList.toggle(`hide-${pane}`, p.hidden[pane]);
    for (const [id, pane] of Object.entries(TOGGLES)) byId(id).setAttribute('aria-pressed', String(!p.hidden[pane]));
    for (const [id, spec] of Object.entries(SPLITTERS)) byId(id).setAttribute('aria-valuenow', String(p[spec.size]));
  }

  #wireSplitter(bar, { size, axis, sign }) {
    bar.addEventListener('pointerdown', (ev) => {
      ev.preventDefault();
      bar.setPointerCapture(ev.pointerId);
      const start = axis === 'x' ? ev.clientX : ev.clientY;
      const from = this.#panes[size];
      const move = (e) => this.#set({ [size]: from + sign * ((axis === 'x' ? e.clientX : e.clientY) - start) });
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
      this.#set({ [size]: this.#panes[size] + grow * sign * KEY_STEP_PX });
    });
  }
}
