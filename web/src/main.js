// The page's start: read the link, connect, and wire the panes to the session.

import { Chat } from './chat.js';
import { stateText } from './conn_state.js';
import { Connection } from './connection.js';
import { byId } from './dom.js';
import { Files } from './files.js';
import { Permissions } from './hooks.js';
import { Layout } from './layout.js';
import { isTunnelPage, pastedLink, readLink } from './link.js';
import { watchNotices } from './notices.js';
import { Channels, Programs } from './programs.js';
import { QuickOpen } from './quickopen.js';
import { Search } from './search.js';
import { Store, memoryStorage } from './store.js';
import { windowTitle } from './tabs.js';

// The link is kept for this tab only, so a reload after the address bar was cleaned
// still finds the daemon.
const LINK_KEY = 'quelmar.link';

function remember(link) {
  window.history.replaceState(null, '', link.cleanHref);
  sessionStorage.setItem(LINK_KEY, JSON.stringify(link));
}

// A link in the address wins; a malformed one is reported, never replaced by an older one.
function settle() {
  const link = readLink(window.location.href, isTunnelPage(document));
  if (!link.error) {
    remember(link);
    return link;
  }
  if (!link.missing) return link;
  try {
    const stored = JSON.parse(sessionStorage.getItem(LINK_KEY) ?? 'null');
    if (stored?.wsUrl) return stored;
  } catch {
    sessionStorage.removeItem(LINK_KEY);
  }
  return link;
}

function say(text, isError = false) {
  const line = byId('message');
  line.textContent = text;
  line.classList.toggle('error', isError);
}

function localStore() {
  try {
    window.localStorage.getItem('x');
    return new Store(window.localStorage);
  } catch {
    return new Store(memoryStorage());
  }
}

function showState(conn) {
  const { state } = conn;
  const box = byId('conn-state');
  box.dataset.state = state.name;
  box.textContent = stateText(state, conn.mode, Date.now());
  const reconnect = byId('reconnect');
  reconnect.hidden = state.name !== 'reconnecting' && state.name !== 'refused';
  reconnect.textContent = state.name === 'refused' ? 'Try again' : 'Reconnect now';
  const relink = state.name === 'refused' || state.name === 'nolink';
  byId('relink').hidden = !relink;
  if (relink) byId('relink-why').textContent = state.why ?? '';
}

function main() {
  const store = localStore();
  let root = null; // the project root once the daemon said it
  let waiting = 0;
  const layout = new Layout(store.lastPanes(), (panes) => root !== null && store.updateWorkspace(root, { panes }));
  const link = settle();
  const conn = new Connection(link);
  const channels = new Channels(conn);

  const refresh = () => {
    const shown = files.shown;
    document.title = windowTitle({ path: shown?.path, dirty: shown?.dirty, waiting });
    byId('status-pos').textContent = shown?.line ? `Ln ${shown.line}, Col ${shown.col}` : '';
    byId('status-lang').textContent = shown?.language ?? '';
    byId('status-file').textContent = shown?.state ?? '';
  };
  const files = new Files(conn, say, store, refresh);
  const permissions = new Permissions(conn, (count) => {
    waiting = count;
    for (const badge of [byId('perm-badge'), byId('side-badge')]) {
      badge.hidden = count === 0;
      badge.textContent = `${count} waiting`;
    }
    refresh();
  });
  const programs = new Programs(channels, () => permissions.socketPath, (lines) => root !== null && store.updateWorkspace(root, { history: lines }));
  const showLeft = (view) => {
    byId('tree').hidden = view !== 'files';
    byId('search').hidden = view !== 'search';
    byId('show-files').setAttribute('aria-pressed', String(view === 'files'));
    byId('show-search').setAttribute('aria-pressed', String(view === 'search'));
    layout.toggle('left', true);
  };
  const openAt = async (path, line = 0) => {
    if (await files.open(path, line)) files.reveal(path);
  };
  const search = new Search(channels, () => root ?? '', openAt);
  const quick = new QuickOpen(() => files.paths, (path) => openAt(path));
  new Chat(conn, channels);
  watchNotices(conn);

  conn.addEventListener('state', () => showState(conn));
  setInterval(() => conn.state.name === 'reconnecting' && showState(conn), 1000);
  conn.addEventListener('hello', (ev) => {
    root = ev.detail.root.replace(/\/+$/, '');
    byId('root').textContent = ev.detail.root;
    byId('root').title = `project root: ${ev.detail.root}`;
    const ws = store.workspace(root);
    programs.root = ev.detail.root;
    programs.hello = ev.detail;
    programs.history = ws.history ?? [];
    layout.use(ws.panes);
    files.attach(ev.detail.root);
  });
  conn.addEventListener('down', () => say('The connection was lost; programs it ran were stopped.', true));
  byId('reconnect').addEventListener('click', () => conn.start());

  const useLink = (next) => {
    remember(next);
    document.body.dataset.mode = next.mode;
    say('');
    conn.useLink(next);
  };
  byId('relink').addEventListener('submit', (ev) => {
    ev.preventDefault();
    const next = pastedLink(byId('relink-url').value, window.location.href, isTunnelPage(document));
    if (next.error) return say(next.error, true);
    byId('relink-url').value = '';
    useLink(next);
  });
  // A site or tunnel link opened in this same tab changes only the fragment: no reload.
  window.addEventListener('hashchange', () => {
    const next = readLink(window.location.href, isTunnelPage(document));
    if (!next.error) useLink(next);
    else if (!next.missing) say(next.error, true);
  });

  byId('show-files').addEventListener('click', () => showLeft('files'));
  byId('show-search').addEventListener('click', () => {
    showLeft('search');
    search.focus();
  });
  document.addEventListener('keydown', (ev) => {
    if (!(ev.ctrlKey || ev.metaKey) || ev.altKey) return;
    const key = ev.key.toLowerCase();
    if (key === 's' && !ev.shiftKey) files.save();
    else if (key === 'p' && !ev.shiftKey) quick.show();
    else if (key === 'f' && ev.shiftKey) {
      showLeft('search');
      search.focus();
    } else return;
    ev.preventDefault();
  }, true);

  document.body.dataset.mode = link.mode ?? '';
  showState(conn);
  if (link.error) say(link.error, true);
  else conn.start();
}

main();
