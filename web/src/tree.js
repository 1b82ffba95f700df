// The project tree: built from the flat file list of "walk", folders derived from the paths,
// shown as one flat list of tree items (level, position, expanded) that the keyboard walks.

import { el } from './dom.js';
import { ancestorsOf } from './paths.js';

const newDir = (name, path) => ({ name, path, dirs: new Map(), files: [] });

/** Nested folders from relative paths; `extraDirs` adds folders that hold no file yet. */
export function buildTree(paths, extraDirs = []) {
  const root = newDir('', '');
  const dirFor = (parts) => {
    let node = root;
    for (const part of parts) {
      if (!node.dirs.has(part)) node.dirs.set(part, newDir(part, node.path ? `${node.path}/${part}` : part));
      node = node.dirs.get(part);
    }
    return node;
  };
  for (const dir of extraDirs) dirFor(dir.split('/').filter(Boolean));
  for (const path of paths) {
    const parts = path.split('/').filter(Boolean);
    if (parts.length === 0) continue;
    const name = parts.pop();
    dirFor(parts).files.push({ name, path });
  }
  return root;
}

const byName = (a, b) => (a.name < b.name ? -1 : a.name > b.name ? 1 : 0);

/** The rows a tree shows: folders first, then files, below every expanded folder. */
export function visibleRows(root, expanded) {
  const rows = [];
  const walk = (dir, level) => {
    const dirs = [...dir.dirs.values()].sort(byName);
    const files = [...dir.files].sort(byName);
    const size = dirs.length + files.length;
    dirs.forEach((d, i) => {
      const open = expanded.has(d.path);
      rows.push({ path: d.path, name: d.name, dir: true, open, level, pos: i + 1, size, parent: dir.path });
      if (open) walk(d, level + 1);
    });
    files.forEach((f, i) => rows.push({ path: f.path, name: f.name, dir: false, level, pos: dirs.length + i + 1, size, parent: dir.path }));
  };
  walk(root, 1);
  return rows;
}

export class FileTree {
  #box;
  #onOpen;
  #onExpand;
  #expanded = new Set();
  #selected = null; // {path, dir}
  #focused = null; // path of the row that takes Tab
  #paths = [];
  #extraDirs = [];
  #rows = [];

  /** `onOpen(path)` opens a file; `onExpand(folders)` is told the expanded folders. */
  constructor(box, { onOpen, onExpand }) {
    this.#box = box;
    this.#onOpen = onOpen;
    this.#onExpand = onExpand;
    box.addEventListener('keydown', (ev) => this.#key(ev));
  }

  get selected() {
    return this.#selected;
  }

  get expanded() {
    return [...this.#expanded];
  }

  set expanded(folders) {
    this.#expanded = new Set(folders);
  }

  /** The folder new entries go into: the selected folder, or the selected file's folder. */
  get targetDir() {
    const s = this.#selected;
    if (!s) return '';
    if (s.dir) return s.path;
    const cut = s.path.lastIndexOf('/');
    return cut < 0 ? '' : s.path.slice(0, cut);
  }

  /** Selects an entry and opens the folders above it. */
  select(path, dir) {
    this.#selected = path === null ? null : { path, dir };
    if (path !== null) this.#focused = path;
    const closed = ancestorsOf(path ?? '').filter((p) => !this.#expanded.has(p));
    for (const parent of closed) this.#expanded.add(parent);
    if (closed.length) this.#onExpand(this.expanded);
  }

  /** Shows an entry: selected, its folders opened, scrolled into view. */
  reveal(path) {
    this.select(path, false);
    this.#redraw();
    this.#box.querySelector(`[data-path="${CSS.escape(path)}"]`)?.scrollIntoView({ block: 'nearest' });
  }

  render(paths, extraDirs) {
    this.#paths = paths;
    this.#extraDirs = extraDirs;
    this.#redraw();
  }

  #redraw() {
    const hadFocus = this.#box.contains(document.activeElement);
    this.#rows = visibleRows(buildTree(this.#paths, this.#extraDirs), this.#expanded);
    if (!this.#rows.some((r) => r.path === this.#focused)) this.#focused = this.#rows[0]?.path ?? null;
    const tree = el('div', { role: 'tree', 'aria-label': 'Project files', class: 'tree-list' }, this.#rows.map((r) => this.#row(r)));
    const count = this.#paths.length;
    this.#box.replaceChildren(tree, el('p', { class: 'tree-count', text: `${count} file${count === 1 ? '' : 's'}` }));
    if (hadFocus) this.#focusRow(this.#focused);
  }

  #row(r) {
    const selected = this.#selected?.path === r.path && this.#selected.dir === r.dir;
    const row = el('div', {
      role: 'treeitem',
      class: `tree-row ${r.dir ? 'tree-dir' : 'tree-file'}${selected ? ' selected' : ''}`,
      'data-path': r.path,
      'aria-level': r.level,
      'aria-setsize': r.size,
      'aria-posinset': r.pos,
      'aria-selected': String(selected),
      'aria-expanded': r.dir ? String(r.open) : null,
      tabindex: r.path === this.#focused ? '0' : '-1',
      title: r.path,
      on: { click: () => this.#activate(r) },
    }, [
      el('span', { class: 'twisty', 'aria-hidden': 'true', text: r.dir ? (r.open ? '▾' : '▸') : '' }),
      el('span', { class: 'tree-name', text: r.name }),
    ]);
    row.style.paddingLeft = `${4 + (r.level - 1) * 14}px`;
    return row;
  }

  #activate(r) {
    this.#selected = { path: r.path, dir: r.dir };
    this.#focused = r.path;
    if (r.dir) this.#toggle(r.path, !this.#expanded.has(r.path));
    else {
      this.#onOpen(r.path);
      this.#redraw();
    }
  }

  #toggle(path, open) {
    if (open) this.#expanded.add(path);
    else this.#expanded.delete(path);
    this.#redraw();
    this.#onExpand(this.expanded);
  }

  #focusRow(path) {
    this.#focused = path;
    for (const row of this.#box.querySelectorAll('[role="treeitem"]')) {
      const on = row.dataset.path === path;
      row.tabIndex = on ? 0 : -1;
      if (on) row.focus();
    }
  }

  #key(ev) {
    const at = this.#rows.findIndex((r) => r.path === this.#focused);
    const r = this.#rows[at];
    if (!r) return;
    const go = (i) => this.#rows[i] && this.#focusRow(this.#rows[i].path);
    const keys = {
      ArrowDown: () => go(at + 1),
      ArrowUp: () => go(at - 1),
      Home: () => go(0),
      End: () => go(this.#rows.length - 1),
      ArrowRight: () => (r.dir && !r.open ? this.#toggle(r.path, true) : r.dir ? go(at + 1) : null),
      ArrowLeft: () => (r.dir && r.open ? this.#toggle(r.path, false) : go(this.#rows.findIndex((x) => x.path === r.parent))),
      Enter: () => this.#activate(r),
      ' ': () => this.#activate(r),
    };
    if (!keys[ev.key]) return;
    ev.preventDefault();
    keys[ev.key]();
  }
}
