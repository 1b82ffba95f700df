// Quick open (Ctrl+P): the project listing filtered as the user types; Enter opens.

import { byId, el } from './dom.js';

const SHOWN_MAX = 50;

/**
 * The paths that hold the query's characters in order (case-insensitive), best first:
 * matches inside the file name before matches spread over folders, then shorter paths.
 */
export function rankPaths(query, paths, max = SHOWN_MAX) {
  const q = query.toLowerCase().replace(/\s+/g, '');
  if (!q) return paths.slice(0, max);
  const scored = [];
  for (const path of paths) {
    const lower = path.toLowerCase();
    let at = -1;
    let gaps = 0;
    let ok = true;
    for (const ch of q) {
      const next = lower.indexOf(ch, at + 1);
      if (next < 0) {
        ok = false;
        break;
      }
      if (next !== at + 1) gaps++;
      at = next;
    }
    if (!ok) continue;
    const name = lower.slice(lower.lastIndexOf('/') + 1);
    const score = (name.includes(q) ? 0 : name.startsWith(q[0]) ? 1000 : 2000) + gaps * 10 + path.length / 100;
    scored.push([score, path]);
  }
  scored.sort((a, b) => a[0] - b[0]);
  return scored.slice(0, max).map(([, p]) => p);
}

export class QuickOpen {
  #paths;
  #open;
  #shown = [];
  #at = 0;

  /** `paths()` gives the project listing, `open(path)` opens the choice. */
  constructor(paths, open) {
    this.#paths = paths;
    this.#open = open;
    const input = byId('quick-text');
    input.addEventListener('input', () => this.#filter());
    input.addEventListener('keydown', (ev) => this.#key(ev));
    byId('quick-list').addEventListener('click', (ev) => {
      const option = ev.target.closest('[role="option"]');
      if (option) this.#choose(option.dataset.path);
    });
  }

  show() {
    const dialog = byId('quick-open');
    if (!dialog.open) dialog.showModal();
    byId('quick-text').value = '';
    this.#filter();
    byId('quick-text').focus();
  }

  #filter() {
    this.#shown = rankPaths(byId('quick-text').value, this.#paths());
    this.#at = 0;
    this.#draw();
  }

  #draw() {
    const list = byId('quick-list');
    list.replaceChildren(...this.#shown.map((path, i) => el('li', {
      role: 'option',
      id: `quick-${i}`,
      class: 'quick-item',
      'data-path': path,
      'aria-selected': String(i === this.#at),
    }, [el('span', { class: 'quick-name', text: path.slice(path.lastIndexOf('/') + 1) }), el('span', { class: 'quick-dir', text: path })])));
    const input = byId('quick-text');
    if (this.#shown.length) input.setAttribute('aria-activedescendant', `quick-${this.#at}`);
    else input.removeAttribute('aria-activedescendant');
    list.querySelector('[aria-selected="true"]')?.scrollIntoView({ block: 'nearest' });
  }

  #key(ev) {
    const move = { ArrowDown: 1, ArrowUp: -1 }[ev.key];
    if (move && this.#shown.length) {
      ev.preventDefault();
      this.#at = (this.#at + move + this.#shown.length) % this.#shown.length;
      this.#draw();
    } else if (ev.key === 'Enter') {
      ev.preventDefault();
      if (this.#shown[this.#at]) this.#choose(this.#shown[this.#at]);
    }
  }

  #choose(path) {
    byId('quick-open').close();
    this.#open(path);
  }
}
