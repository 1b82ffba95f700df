// A small element builder; the page never writes markup or style attributes from strings.

/**
 * el('button', {class: 'x', text: 'Save', title: '...', on: {click}}, children): attributes
 * other than class, text and on are set with setAttribute; children are nodes or strings.
 */
export function el(tag, props = {}, children = []) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(props)) {
    if (value === undefined || value === null || value === false) continue;
    if (key === 'class') node.className = value;
    else if (key === 'text') node.textContent = value;
    else if (key === 'on') for (const [ev, fn] of Object.entries(value)) node.addEventListener(ev, fn);
    else node.setAttribute(key, value === true ? '' : String(value));
  }
  for (const child of [].concat(children)) {
    if (child === null || child === undefined || child === false) continue;
    node.append(typeof child === 'string' ? document.createTextNode(child) : child);
  }
  return node;
}

export const byId = (id) => document.getElementById(id);

/** Runs `change` on a scrolled box and keeps it at its end unless the user scrolled up. */
export function keepPinned(box, change) {
  const atEnd = box.scrollTop + box.clientHeight >= box.scrollHeight - 4;
  change();
  if (atEnd) box.scrollTop = box.scrollHeight;
}
