// The page's start: read the link, connect, and wire the panels to the session.

import { Chat } from './chat.js';
import { Connection } from './connection.js';
import { byId } from './dom.js';
import { Files } from './files.js';
import { Permissions } from './hooks.js';
import { isTunnelPage, readLink } from './link.js';
import { watchNotices } from './notices.js';
import { Channels, Programs } from './programs.js';

// The link is kept for this tab only, so a reload after the address bar was cleaned
// still finds the daemon.
const STORE_KEY = 'quelmar.link';

function settle() {
  const link = readLink(window.location.href, isTunnelPage(document));
  if (!link.error) {
    window.history.replaceState(null, '', link.cleanHref);
    sessionStorage.setItem(STORE_KEY, JSON.stringify(link));
    return link;
  }
  const stored = sessionStorage.getItem(STORE_KEY);
  if (stored) {
    try {
      return JSON.parse(stored);
    } catch {
      sessionStorage.removeItem(STORE_KEY);
    }
  }
  return link;
}

function say(text, isError = false) {
  const line = byId('message');
  line.textContent = text;
  line.classList.toggle('error', isError);
}

function showState(conn, { state, retryIn }) {
  const box = byId('conn-state');
  box.dataset.state = state;
  const where = { loopback: 'this machine', site: 'the daemon', tunnel: 'the tunnel' }[conn.mode];
  if (state === 'open') box.textContent = `Connected to ${where}`;
  else if (state === 'connecting') box.textContent = 'Connecting…';
  else {
    // Long waits mean repeated refusals; a restarted daemon has a new token and a new link.
    const hint = retryIn >= 8000 ? ' (if quelmar was restarted, open the new link it printed)' : '';
    box.textContent = `Disconnected — retrying in ${Math.round(retryIn / 1000)} s${hint}`;
  }
  byId('reconnect').hidden = state !== 'closed';
}

function main() {
  const link = settle();
  if (link.error) {
    byId('conn-state').dataset.state = 'closed';
    byId('conn-state').textContent = 'Not connected';
    say(link.error, true);
    return;
  }
  const conn = new Connection(link);
  const channels = new Channels(conn);
  const files = new Files(conn, say);
  const permissions = new Permissions(conn);
  const programs = new Programs(channels, () => permissions.socketPath);
  new Chat(conn, channels);
  watchNotices(conn);

  conn.addEventListener('state', (ev) => showState(conn, ev.detail));
  conn.addEventListener('hello', (ev) => {
    const hello = ev.detail;
    byId('root').textContent = hello.root;
    programs.root = hello.root;
    files.attach(hello.root);
  });
  conn.addEventListener('down', () => say('The connection was lost; programs it ran were stopped.', true));
  byId('reconnect').addEventListener('click', () => conn.start());
  document.body.dataset.mode = link.mode;
  conn.start();
}

main();
