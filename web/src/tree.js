// The project tree: built from the flat file list of "walk", folders derived from the paths.

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

export class FileTree {
  #box;
  #onOpen;
  #expanded = new Set();
  #selected = null; // {path, dir}
  #paths = [];
  #extraDirs = [];

  constructor(box, onOpen) {
    this.#box = box;
    this.#onOpen = onOpen;
  }

  /** The selected entry ({path, dir}) or null. */
  get selected() {
    return this.#selected;
  }

  /** The folder new entries go into: the selected folder, or the selected file's folder. */
  get targetDir() {
    const s = this.#selected;
    if (!s) return '';
    if (s.dir) return s.path;
    const cut = s.path.lastIndexOf('/');
    return cut < 0 ? '' : s.path.slice(0, cut);
  }

  select(path, dir) {
    this.#selected = path === null ? null : { path, dir };
    for (const parent of ancestorsOf(path ?? '')) this.#expanded.add(parent);
  }

  render(paths, extraDirs) {
    this.#paths = paths;
    this.#extraDirs = extraDirs;
    this.#redraw();
  }

  #redraw() {
    const list = this.#renderDir(buildTree(this.#paths, this.#extraDirs));
    list.setAttribute('role', 'tree');
    this.#box.replaceChildren(list);
    const count = this.#paths.length;
    this.#box.append(el('p', { class: 'tree-count', text: `${count} file${count === 1 ? '' : 's'}` }));
  }

  #renderDir(dir) {
    const items = [];
    for (const sub of [...dir.dirs.values()].sort(byName)) {
      const open = this.#expanded.has(sub.path);
      const row = this.#row(sub.path, true, `${open ? '▾' : '▸'} ${sub.name}`, () => {
        if (open) this.#expanded.delete(sub.path);
        else this.#expanded.add(sub.path);
        this.#selected = { path: sub.path, dir: true };
        this.#redraw();
      });
      items.push(el('li', { role: 'treeitem', 'aria-expanded': String(open) }, [row, open ? this.#renderDir(sub) : null]));
    }
    for (const file of [...dir.files].sort(byName)) {
      const row = this.#row(file.path, false, file.name, () => {
        this.#selected = { path: file.path, dir: false };
        this.#onOpen(file.path);
        this.#redraw();
      });
      items.push(el('li', { role: 'treeitem' }, [row]));
    }
    return el('ul', { class: 'tree-list' }, items);
  }

  #row(path, dir, label, onClick) {
    const selected = this.#selected && this.#selected.path === path && this.#selected.dir === dir;
    return el('button', {
      class: `tree-row ${dir ? 'tree-dir' : 'tree-file'}${selected ? ' selected' : ''}`,
      'data-path': path,
      title: path,
      text: label,
      on: { click: onClick },
    });
  }
}
