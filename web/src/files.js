// The file side of the page: tree, opening, saving with the changed-on-disk check, and
// new file, new folder, rename and delete.

import { byId } from './dom.js';
import { CodeEditor } from './editor.js';
import { FileTree } from './tree.js';
import { splitWalk } from './protocol.js';
import { ancestorsOf, cleanRelative, isWithin, joinRel, movedPath } from './paths.js';

const strictUtf8 = new TextDecoder('utf-8', { fatal: true });
const utf8 = new TextEncoder();

export class Files {
  #conn;
  #say;
  #root = '';
  #paths = [];
  #madeDirs = new Set();
  #tree;
  #editor;
  #open = null; // {path, mtime}
  #saving = false;

  /** `say(text, isError)` reports to the status line. */
  constructor(conn, say) {
    this.#conn = conn;
    this.#say = say;
    this.#tree = new FileTree(byId('tree'), (path) => this.open(path));
    this.#editor = new CodeEditor(byId('editor-host'), {
      onSave: () => this.save(),
      onChange: (dirty) => this.#showDirty(dirty),
    });
    byId('save').addEventListener('click', () => this.save());
    byId('new-file').addEventListener('click', () => this.newFile());
    byId('new-folder').addEventListener('click', () => this.newFolder());
    byId('rename').addEventListener('click', () => this.rename());
    byId('delete').addEventListener('click', () => this.remove());
    byId('refresh').addEventListener('click', () => this.refresh());
    window.addEventListener('beforeunload', (ev) => {
      if (this.#editor.dirty) ev.preventDefault();
    });
  }

  #abs(rel) {
    return `${this.#root}/${rel}`;
  }

  async #fs(request, data) {
    const { reply, data: out } = await this.#conn.fs(request, data);
    return { ...reply, data: out };
  }

  /** A new session: a root, possibly another one than before. */
  async attach(root) {
    if (root !== this.#root) {
      this.#madeDirs.clear();
      if (this.#open && !this.#editor.dirty) this.#close();
    }
    this.#root = root.replace(/\/+$/, '');
    await this.refresh();
  }

  async refresh() {
    try {
      const r = await this.#fs({ op: 'walk', path: this.#root });
      if (!r.ok) return this.#say(`Listing failed: ${r.err || 'error'}`, true);
      this.#paths = splitWalk(r.data);
      const known = new Set(this.#paths.flatMap((p) => ancestorsOf(p)));
      for (const d of this.#madeDirs) if (known.has(d)) this.#madeDirs.delete(d);
      this.#tree.render(this.#paths, [...this.#madeDirs]);
    } catch (e) {
      this.#say(`Listing failed: ${e.message}`, true);
    }
  }

  async open(path) {
    if (this.#open && this.#open.path === path) return;
    if (this.#editor.dirty && !window.confirm(`Discard the unsaved changes to ${this.#open.path}?`)) return;
    try {
      const r = await this.#fs({ op: 'read', path: this.#abs(path) });
      if (!r.ok) return this.#say(`Cannot open ${path}: ${r.err || 'error'}`, true);
      let text;
      try {
        text = strictUtf8.decode(r.data);
      } catch {
        return this.#say(`${path} is not UTF-8 text; it was not opened.`, true);
      }
      this.#open = { path, mtime: r.mtime };
      this.#editor.open(path, text);
      byId('file-path').textContent = path;
      byId('save').disabled = false;
      this.#say(`Opened ${path}`);
    } catch (e) {
      this.#say(`Cannot open ${path}: ${e.message}`, true);
    }
  }

  async save() {
    if (!this.#open || this.#saving) return;
    const { path, mtime } = this.#open;
    this.#saving = true;
    try {
      const st = await this.#fs({ op: 'stat', path: this.#abs(path) });
      const gone = st.ok && st.kind === '';
      const changed = st.ok && st.kind === 'file' && st.mtime !== mtime;
      if (gone && !window.confirm(`${path} was deleted on disk since you opened it. Save it again?`)) return;
      if (changed && !window.confirm(`${path} changed on disk since you opened it. Overwrite those changes?`)) return;
      const snap = this.#editor.snapshot();
      const r = await this.#fs({ op: 'write', path: this.#abs(path) }, utf8.encode(snap.text));
      if (!r.ok) return this.#say(`Saving ${path} failed: ${r.err || 'error'}`, true);
      if (this.#open && this.#open.path === path) {
        this.#open.mtime = r.mtime;
        this.#editor.markSaved(snap.doc);
      }
      this.#say(`Saved ${path}`);
      if (gone) await this.refresh();
    } catch (e) {
      this.#say(`Saving ${path} failed: ${e.message}`, true);
    } finally {
      this.#saving = false;
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
    if (this.#open) {
      const moved = movedPath(this.#open.path, sel.path, to);
      if (moved !== this.#open.path) {
        this.#open.path = moved;
        byId('file-path').textContent = moved;
      }
    }
    if (sel.dir) {
      this.#madeDirs = new Set([...this.#madeDirs].map((d) => movedPath(d, sel.path, to)));
    }
    this.#tree.select(to, sel.dir);
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
    if (this.#open && isWithin(this.#open.path, sel.path)) this.#close();
    for (const d of [...this.#madeDirs]) if (isWithin(d, sel.path)) this.#madeDirs.delete(d);
    this.#tree.select(null);
    this.#say(`Deleted ${sel.path}`);
    await this.refresh();
  }

  #ask(question, initial) {
    const answer = window.prompt(question, initial);
    if (answer === null) return null;
    const name = cleanRelative(answer);
    if (!name) this.#say(`"${answer}" is not a usable name.`, true);
    return name;
  }

  #close() {
    this.#open = null;
    this.#editor.clear();
    byId('file-path').textContent = 'No file open';
    byId('save').disabled = true;
  }

  #showDirty(dirty) {
    byId('file-path').classList.toggle('dirty', dirty);
  }
}
