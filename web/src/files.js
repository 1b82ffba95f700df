// The file side of the page: the tree, open files as tabs, saving with the changed-on-disk
// check, new file, new folder, rename and delete, and what survives a reload: open tabs,
// the shown one, expanded folders and every unsaved buffer (kept in the browser's storage
// until it is saved, and offered back when the page loads again).

import { byId, el } from './dom.js';
import { CodeEditor, languageName } from './editor.js';
import { FileTree } from './tree.js';
import { splitWalk } from './protocol.js';
import { ancestorsOf, cleanRelative, isWithin, joinRel, movedPath } from './paths.js';
import { baseName, movedTabs, noTabs, tabHints, withTab, withoutTab } from './tabs.js';

const strictUtf8 = new TextDecoder('utf-8', { fatal: true });
const utf8 = new TextEncoder();
// Unsaved text goes to storage this long after the last keystroke.
const KEEP_DELAY_MS = 700;

export class Files {
  #conn;
  #say;
  #store;
  #onState;
  #root = null; // set by the first session
  #paths = [];
  #madeDirs = new Set();
  #tree;
  #editor;
  #tabs = noTabs();
  #meta = new Map(); // path -> {mtime, saving, keepFailed}
  #keepTimers = new Map();
  #cursor = { line: 0, col: 0 };

  /**
   * `say(text, isError)` reports to the message line; `store` keeps things in the browser;
   * `onState()` runs whenever the shown file, its unsaved state or the cursor changes.
   */
  constructor(conn, say, store, onState) {
    this.#conn = conn;
    this.#say = say;
    this.#store = store;
    this.#onState = onState;
    this.#tree = new FileTree(byId('tree-box'), {
      onOpen: (path) => this.open(path),
      onExpand: (folders) => this.#saveWorkspace({ expanded: folders }),
    });
    this.#editor = new CodeEditor(byId('editor-host'), {
      onChange: (path, dirty) => this.#changed(path, dirty),
      onCursor: (line, col) => {
        this.#cursor = { line, col };
        this.#onState();
      },
    });
    byId('save').addEventListener('click', () => this.save());
    byId('new-file').addEventListener('click', () => this.newFile());
    byId('new-folder').addEventListener('click', () => this.newFolder());
    byId('rename').addEventListener('click', () => this.rename());
    byId('delete').addEventListener('click', () => this.remove());
    byId('refresh').addEventListener('click', () => this.refresh());
    byId('tabs').addEventListener('keydown', (ev) => this.#tabKey(ev));
    window.addEventListener('beforeunload', (ev) => {
      this.#keepAllNow();
      if (this.#tabs.paths.some((p) => this.#editor.isDirty(p) && this.#meta.get(p)?.keepFailed)) ev.preventDefault();
    });
  }

  /** The project's file list from the last walk. */
  get paths() {
    return this.#paths;
  }

  /** What the status line and the window title show. */
  get shown() {
    const path = this.#tabs.active;
    if (!path) return null;
    const meta = this.#meta.get(path) ?? {};
    const dirty = this.#editor.isDirty(path);
    const state = meta.saving ? 'saving…' : dirty ? (meta.keepFailed ? 'unsaved (not kept in this browser)' : 'unsaved') : 'saved';
    return { path, dirty, state, language: languageName(path), ...this.#cursor };
  }

  #abs(rel) {
    return `${this.#root}/${rel}`;
  }

  async #fs(request, data) {
    const { reply, data: out } = await this.#conn.fs(request, data);
    return { ...reply, data: out };
  }

  /** A new session. Another root than before closes this one's tabs (their unsaved text stays kept). */
  async attach(root) {
    root = root.replace(/\/+$/, '');
    const first = root !== this.#root;
    if (first) {
      this.#keepAllNow();
      for (const path of this.#tabs.paths) this.#editor.close(path);
      this.#tabs = noTabs();
      this.#meta.clear();
      this.#madeDirs.clear();
      this.#root = root;
      this.#tree.expanded = this.#store.workspace(root).expanded ?? [];
      this.#drawTabs();
    }
    await this.refresh();
    if (first) await this.#restore();
  }

  async #restore() {
    const ws = this.#store.workspace(this.#root);
    const kept = this.#store.unsaved(this.#root);
    const wanted = [...new Set([...(Array.isArray(ws.tabs) ? ws.tabs : []), ...kept.keys()])];
    const restored = [];
    for (const path of wanted) {
      if (typeof path !== 'string' || !(await this.#load(path, kept.get(path)))) continue;
      this.#tabs = withTab(this.#tabs, path);
      if (this.#editor.isDirty(path)) restored.push(path);
    }
    const active = this.#tabs.paths.includes(ws.active) ? ws.active : this.#tabs.paths.at(-1) ?? null;
    this.#show(active);
    if (restored.length) this.#offerBack(restored, kept);
  }

  /** Loads a file into the editor; a kept unsaved buffer goes over it as an edit. */
  async #load(path, kept) {
    let r;
    try {
      r = await this.#fs({ op: 'read', path: this.#abs(path) });
    } catch (e) {
      this.#say(`Cannot open ${path}: ${e.message}`, true);
      return false;
    }
    let text = '';
    if (r.ok) {
      try {
        text = strictUtf8.decode(r.data);
      } catch {
        this.#say(`${path} is not UTF-8 text; it was not opened.`, true);
        return false;
      }
    } else if (!kept) {
      this.#say(`Cannot open ${path}: ${r.err || 'error'}`, true);
      return false;
    }
    this.#editor.open(path, text);
    this.#meta.set(path, { mtime: r.ok ? r.mtime : 0 });
    if (kept && kept.text !== text) {
      // Saving compares with the file the edits were made on, so a change on disk since then is noticed.
      this.#meta.get(path).mtime = kept.mtime;
      this.#editor.edit(path, kept.text);
    } else if (kept) this.#store.dropUnsaved(this.#root, path);
    return true;
  }

  #offerBack(paths, kept) {
    const newest = Math.max(...paths.map((p) => kept.get(p)?.at ?? 0));
    const names = paths.map(baseName).join(', ');
    const banner = el('div', { class: 'notice', role: 'alert' }, [
      el('span', { class: 'notice-text', text: `Unsaved changes to ${names} (kept since ${new Date(newest).toLocaleString()}) are back in the editor.` }),
    ]);
    const keep = el('button', { type: 'button', text: 'Keep them', on: { click: () => banner.remove() } });
    const discard = el('button', {
      type: 'button',
      class: 'danger',
      text: 'Discard them',
      on: {
        click: () => {
          for (const p of paths) if (this.#editor.has(p)) this.#editor.revert(p);
          banner.remove();
        },
      },
    });
    banner.append(keep, discard);
    byId('notices').append(banner);
  }

  async refresh() {
    try {
      const r = await this.#fs({ op: 'walk', path: this.#root || '/' });
      if (!r.ok) return this.#say(`Listing failed: ${r.err || 'error'}`, true);
      this.#paths = splitWalk(r.data);
      const known = new Set(this.#paths.flatMap((p) => ancestorsOf(p)));
      for (const d of this.#madeDirs) if (known.has(d)) this.#madeDirs.delete(d);
      this.#tree.render(this.#paths, [...this.#madeDirs]);
    } catch (e) {
      this.#say(`Listing failed: ${e.message}`, true);
    }
  }

  /** Opens a file in a tab (or shows its tab), at `line` when given. */
  async open(path, line = 0) {
    if (!this.#editor.has(path) && !(await this.#load(path))) return false;
    this.#tabs = withTab(this.#tabs, path);
    this.#show(path);
    if (line > 0) this.#editor.goToLine(line);
    return true;
  }

  /** Closes a tab; unsaved changes are lost only after the user agrees. */
  close(path) {
    if (this.#editor.isDirty(path) && !window.confirm(`${path} has unsaved changes. Close it and lose them?`)) return false;
    this.#forget(path);
    return true;
  }

  #forget(path) {
    clearTimeout(this.#keepTimers.get(path));
    this.#keepTimers.delete(path);
    this.#store.dropUnsaved(this.#root, path);
    this.#tabs = withoutTab(this.#tabs, path);
    this.#editor.close(path);
    this.#meta.delete(path);
    this.#show(this.#tabs.active);
  }

  #show(path) {
    this.#tabs = { ...this.#tabs, active: path };
    this.#editor.show(path);
    byId('save').disabled = path === null;
    byId('editor-empty').hidden = path !== null;
    this.#drawTabs();
    this.#saveWorkspace({ tabs: this.#tabs.paths, active: path });
    this.#onState();
  }

  #drawTabs() {
    const hints = tabHints(this.#tabs.paths);
    const items = this.#tabs.paths.map((path) => {
      const active = path === this.#tabs.active;
      const dirty = this.#editor.isDirty(path);
      const tab = el('button', {
        role: 'tab',
        type: 'button',
        class: `tab${active ? ' active' : ''}${dirty ? ' dirty' : ''}`,
        'data-path': path,
        'aria-selected': String(active),
        'aria-controls': 'editor-host',
        tabindex: active ? '0' : '-1',
        title: dirty ? `${path} (unsaved)` : path,
        on: { click: () => this.#show(path) },
      }, [
        el('span', { class: 'tab-name', text: baseName(path) }),
        hints.get(path) ? el('span', { class: 'tab-hint', 'aria-hidden': 'true', text: hints.get(path) }) : null,
        el('span', { class: 'tab-mark', 'aria-hidden': 'true', text: dirty ? '●' : '' }),
      ]);
      const close = el('button', {
        type: 'button',
        class: 'tab-close',
        'aria-label': `Close ${baseName(path)}`,
        title: `close ${path}`,
        tabindex: '-1',
        text: '×',
        on: { click: () => this.close(path) },
      });
      return el('div', { class: 'tab-item', role: 'presentation' }, [tab, close]);
    });
    byId('tabs').replaceChildren(...items);
  }

  #tabKey(ev) {
    const paths = this.#tabs.paths;
    const at = paths.indexOf(this.#tabs.active);
    const to = { ArrowRight: at + 1, ArrowLeft: at - 1, Home: 0, End: paths.length - 1 }[ev.key];
    if (ev.key === 'Delete' && this.#tabs.active) {
      ev.preventDefault();
      this.close(this.#tabs.active);
    }
    if (to === undefined || !paths.length) return;
    ev.preventDefault();
    this.#show(paths[(to + paths.length) % paths.length]);
    byId('tabs').querySelector('[role="tab"][aria-selected="true"]')?.focus();
  }

  #changed(path, dirty) {
    if (!this.#tabs.paths.includes(path)) return;
    const tab = byId('tabs').querySelector(`[role="tab"][data-path="${CSS.escape(path)}"]`);
    if (tab) {
      tab.classList.toggle('dirty', dirty);
      tab.querySelector('.tab-mark').textContent = dirty ? '●' : '';
      tab.title = dirty ? `${path} (unsaved)` : path;
    }
    clearTimeout(this.#keepTimers.get(path));
    this.#keepTimers.set(path, setTimeout(() => this.#keep(path), KEEP_DELAY_MS));
    this.#onState();
  }

  #keep(path) {
    this.#keepTimers.delete(path);
    const meta = this.#meta.get(path);
    if (!meta) return;
    if (!this.#editor.isDirty(path)) {
      this.#store.dropUnsaved(this.#root, path);
      meta.keepFailed = false;
      return;
    }
    const kept = this.#store.keepUnsaved(this.#root, path, this.#editor.text(path), meta.mtime);
    if (kept === !meta.keepFailed) return;
    meta.keepFailed = !kept;
    if (!kept) this.#say(`The unsaved changes to ${path} are too large to keep in this browser; save them before you leave.`, true);
    this.#onState();
  }

  #keepAllNow() {
    for (const path of [...this.#keepTimers.keys()]) {
      clearTimeout(this.#keepTimers.get(path));
      this.#keep(path);
    }
  }

  #saveWorkspace(patch) {
    if (this.#root !== null) this.#store.updateWorkspace(this.#root, patch);
  }

  async save(path = this.#tabs.active) {
    const meta = path && this.#meta.get(path);
    if (!meta || meta.saving) return;
    meta.saving = true;
    this.#onState();
    try {
      const st = await this.#fs({ op: 'stat', path: this.#abs(path) });
      const gone = st.ok && st.kind === '';
      const changed = st.ok && st.kind === 'file' && st.mtime !== meta.mtime;
      if (gone && !window.confirm(`${path} was deleted on disk since you opened it. Save it again?`)) return;
      if (changed && !window.confirm(`${path} changed on disk since you opened it. Overwrite those changes?`)) return;
      const snap = this.#editor.snapshot(path);
      const r = await this.#fs({ op: 'write', path: this.#abs(path) }, utf8.encode(snap.text));
      if (!r.ok) return this.#say(`Saving ${path} failed: ${r.err || 'error'}`, true);
      meta.mtime = r.mtime;
      this.#editor.markSaved(path, snap.doc);
      if (!this.#editor.isDirty(path)) this.#store.dropUnsaved(this.#root, path);
      this.#say(`Saved ${path}`);
      if (gone) await this.refresh();
    } catch (e) {
      this.#say(`Saving ${path} failed: ${e.message}`, true);
    } finally {
      meta.saving = false;
      this.#onState();
    }
  }

  async newFile() {
    const name = this.#ask('New file (relative to the project):', joinRel(this.#tree.targetDir, ''));
    if (!name) return;
    const r = await this.#fs({ op: 'create_new', path: this.#abs(name) });
    if (!r.ok) return this.#say(`Cannot create ${name}: ${r.err === 'exists' ? 'it exists already' : r.err || 'error'}`, true);
    this.#tree.select(name, false);
    await this.refresh();
    await this.open(name);
  }

  async newFolder() {
    const name = this.#ask('New folder (relative to the project):', joinRel(this.#tree.targetDir, ''));
    if (!name) return;
    const r = await this.#fs({ op: 'mkdir', path: this.#abs(name) });
    if (!r.ok) return this.#say(`Cannot create the folder ${name}`, true);
    this.#madeDirs.add(name);
    this.#tree.select(name, true);
    await this.refresh();
  }

  async rename() {
    const sel = this.#tree.selected;
    if (!sel) return this.#say('Select a file or folder to rename first.', true);
    const to = this.#ask(`Rename ${sel.path} to:`, sel.path);
    if (!to || to === sel.path) return;
    const r = await this.#fs({ op: 'rename', path: this.#abs(sel.path), to: this.#abs(to) });
    if (!r.ok) return this.#say(`Cannot rename ${sel.path} to ${to}`, true);
    const move = (p) => movedPath(p, sel.path, to);
    for (const path of this.#tabs.paths) {
      if (move(path) === path) continue;
      this.#keepAllNow();
      this.#editor.rename(path, move(path));
      this.#meta.set(move(path), this.#meta.get(path));
      this.#meta.delete(path);
      this.#store.dropUnsaved(this.#root, path);
      if (this.#editor.isDirty(move(path))) this.#keep(move(path));
    }
    this.#tabs = movedTabs(this.#tabs, move);
    if (sel.dir) this.#madeDirs = new Set([...this.#madeDirs].map(move));
    this.#tree.select(to, sel.dir);
    this.#show(this.#tabs.active);
    this.#say(`Renamed ${sel.path} to ${to}`);
    await this.refresh();
  }

  async remove() {
    const sel = this.#tree.selected;
    if (!sel) return this.#say('Select a file or folder to delete first.', true);
    const what = sel.dir ? `the folder ${sel.path} and everything in it` : sel.path;
    if (!window.confirm(`Delete ${what}?`)) return;
    const r = await this.#fs({ op: sel.dir ? 'remove_all' : 'remove', path: this.#abs(sel.path) });
    if (!r.ok) return this.#say(`Cannot delete ${sel.path}`, true);
    for (const path of this.#tabs.paths.filter((p) => isWithin(p, sel.path))) this.#forget(path);
    for (const d of [...this.#madeDirs]) if (isWithin(d, sel.path)) this.#madeDirs.delete(d);
    this.#tree.select(null);
    this.#say(`Deleted ${sel.path}`);
    await this.refresh();
  }

  /** Shows a file in the tree (for quick open and search results). */
  reveal(path) {
    this.#tree.reveal(path);
  }

  #ask(question, initial) {
    const answer = window.prompt(question, initial);
    if (answer === null) return null;
    const name = cleanRelative(answer);
    if (!name) this.#say(`"${answer}" is not a usable name.`, true);
    return name;
  }
}
