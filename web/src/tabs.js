// The open files as plain data: which are open, in which order, and which one is shown.

export const noTabs = () => ({ paths: [], active: null });

export function withTab(tabs, path) {
  return { paths: tabs.paths.includes(path) ? tabs.paths : [...tabs.paths, path], active: path };
}

/** Closing the shown tab shows its right neighbour, or its left one at the end. */
export function withoutTab(tabs, path) {
  const at = tabs.paths.indexOf(path);
  if (at < 0) return tabs;
  const paths = tabs.paths.filter((p) => p !== path);
  if (tabs.active !== path) return { paths, active: tabs.active };
  return { paths, active: paths[Math.min(at, paths.length - 1)] ?? null };
}

/** Tabs after `from` was renamed to `to` (`move(path)` gives a path's new name). */
export function movedTabs(tabs, move) {
  return { paths: tabs.paths.map(move), active: tabs.active === null ? null : move(tabs.active) };
}

export const baseName = (path) => path.slice(path.lastIndexOf('/') + 1);

/** A folder hint for every tab whose file name another open tab shares, else ''. */
export function tabHints(paths) {
  const count = new Map();
  for (const p of paths) count.set(baseName(p), (count.get(baseName(p)) ?? 0) + 1);
  return new Map(paths.map((p) => {
    const cut = p.lastIndexOf('/');
    return [p, count.get(baseName(p)) > 1 && cut > 0 ? p.slice(0, cut) : ''];
  }));
}

/** The window title: waiting questions first, then the shown file with its unsaved mark. */
export function windowTitle({ path, dirty, waiting }) {
  const ask = waiting > 0 ? `(${waiting} waiting) ` : '';
  const file = path ? `${dirty ? '● ' : ''}${baseName(path)} — ` : '';
  return `${ask}${file}quelmar`;
}
