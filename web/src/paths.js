// Project-relative path helpers for the file panel.

/** A relative name the user typed: no empty, "." or ".." parts, no leading "/". */
export function cleanRelative(text) {
  const parts = text.trim().split('/').filter((p) => p !== '');
  if (parts.length === 0 || parts.some((p) => p === '.' || p === '..')) return null;
  return parts.join('/');
}

export const joinRel = (dir, name) => (dir ? `${dir}/${name}` : name);

/** Whether `path` is `top` itself or lies below it. */
export const isWithin = (path, top) => path === top || path.startsWith(`${top}/`);

/** `path` after renaming `from` to `to`: itself, or the same place under the new name. */
export const movedPath = (path, from, to) => (isWithin(path, from) ? to + path.slice(from.length) : path);

/** The folders above a relative path, outermost first: "a/b/c" gives ["a", "a/b"]. */
export function ancestorsOf(path) {
  const parts = path.split('/').filter(Boolean);
  const out = [];
  for (let i = 1; i < parts.length; i++) out.push(parts.slice(0, i).join('/'));
  return out;
}
