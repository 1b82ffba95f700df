// What the page keeps in the browser's storage, per daemon root: the workspace (open tabs,
// the shown one, expanded folders, pane sizes, command history) and every unsaved buffer
// until it is saved. Storage may be full or refused: every write says whether it worked.

const PREFIX = 'quelmar.';
const workspaceKey = (root) => `${PREFIX}workspace ${JSON.stringify(root)}`;
const unsavedPrefix = (root) => `${PREFIX}unsaved ${JSON.stringify(root)} `;
const LAST_PANES = `${PREFIX}panes`;

export class Store {
  #storage;

  /** `storage` is window.localStorage, or anything with the same methods. */
  constructor(storage) {
    this.#storage = storage;
  }

  #read(key) {
    try {
      const text = this.#storage.getItem(key);
      return text === null ? null : JSON.parse(text);
    } catch {
      return null;
    }
  }

  #write(key, value) {
    try {
      this.#storage.setItem(key, JSON.stringify(value));
      return true;
    } catch {
      return false;
    }
  }

  workspace(root) {
    const ws = this.#read(workspaceKey(root));
    return ws && typeof ws === 'object' && !Array.isArray(ws) ? ws : {};
  }

  /** Merges `patch` into the root's workspace; pane sizes also become the default for new roots. */
  updateWorkspace(root, patch) {
    if (patch.panes) this.#write(LAST_PANES, patch.panes);
    return this.#write(workspaceKey(root), { ...this.workspace(root), ...patch });
  }

  lastPanes() {
    return this.#read(LAST_PANES);
  }

  /** Keeps an unsaved buffer: its text and the modification time of the file it was based on. */
  keepUnsaved(root, path, text, mtime) {
    return this.#write(unsavedPrefix(root) + path, { text, mtime, at: Date.now() });
  }

  dropUnsaved(root, path) {
    try {
      this.#storage.removeItem(unsavedPrefix(root) + path);
    } catch {
      // Nothing kept, nothing to drop.
    }
  }

  /** The kept buffers of a root: Map of path to {text, mtime, at}. */
  unsaved(root) {
    const prefix = unsavedPrefix(root);
    const found = new Map();
    for (let i = 0; i < this.#storage.length; i++) {
      const key = this.#storage.key(i);
      if (!key?.startsWith(prefix)) continue;
      const kept = this.#read(key);
      if (kept && typeof kept.text === 'string') found.set(key.slice(prefix.length), kept);
    }
    return found;
  }
}

/** Storage that lasts as long as the page, for a browser that refuses localStorage. */
export function memoryStorage() {
  const map = new Map();
  return {
    get length() {
      return map.size;
    },
    key: (i) => [...map.keys()][i] ?? null,
    getItem: (k) => (map.has(k) ? map.get(k) : null),
    setItem: (k, v) => void map.set(k, String(v)),
    removeItem: (k) => void map.delete(k),
  };
}
