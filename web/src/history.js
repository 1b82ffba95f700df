// The command box's history: Up walks back, Down forward, and the line being typed is kept.

const HISTORY_MAX = 200;

export const newHistory = (entries = []) => ({ entries: entries.slice(-HISTORY_MAX), at: entries.length, draft: '' });

/** After a run: the line goes last (once), and browsing starts again from the end. */
export function remember(h, line) {
  const entries = [...h.entries.filter((e) => e !== line), line].slice(-HISTORY_MAX);
  return { entries, at: entries.length, draft: '' };
}

/** Up: the older entry and the line to show; `current` is what the box holds now. */
export function older(h, current) {
  if (h.at === 0) return { h, line: current };
  const draft = h.at === h.entries.length ? current : h.draft;
  const at = h.at - 1;
  return { h: { ...h, at, draft }, line: h.entries[at] };
}

export function newer(h, current) {
  if (h.at >= h.entries.length) return { h, line: current };
  const at = h.at + 1;
  return { h: { ...h, at }, line: at === h.entries.length ? h.draft : h.entries[at] };
}
