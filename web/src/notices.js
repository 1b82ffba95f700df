// Notices from the daemon: a banner each, kept until the user dismisses it.

import { byId, el } from './dom.js';
import { Kind, decodeText } from './protocol.js';

export function watchNotices(conn) {
  conn.addEventListener('message', (ev) => {
    if (ev.detail.kind !== Kind.Notice) return;
    const banner = el('div', { class: 'notice', role: 'alert' }, [
      el('span', { class: 'notice-text', text: decodeText(ev.detail.payload) }),
    ]);
    banner.append(el('button', { class: 'notice-dismiss', text: 'Dismiss', 'aria-label': 'dismiss', on: { click: () => banner.remove() } }));
    byId('notices').append(banner);
  });
}
