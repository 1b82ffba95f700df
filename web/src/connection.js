// One tab session with the daemon: the WebSocket, reconnection, keep-alive and file
// requests. Its state (conn_state.js) tells apart a daemon that cannot be reached from one
// that refuses the link: after a failed connection a file request with the token asks the
// daemon, which answers a wrong token with "bad token".

import { initialState, nextState, refusalText } from './conn_state.js';
import { Kind, decodeFsReply, decodeJson, decodeMessage, encodeFsRequest, encodeMessage } from './protocol.js';

// A tunnel tab loses its session after 180 s without traffic and Cloudflare closes idle
// connections too; the daemon drops Text messages unanswered, so one is a safe keep-alive.
export const KEEPALIVE_MS = 60_000;
const KEEPALIVE_TEXT = 'keepalive';

/**
 * Events: "state" (the state record of conn_state.js), "hello" (the Hello record),
 * "message" ({kind, id, payload}) for everything but Hello and Fs_Reply, and "down" when a
 * session ended.
 */
export class Connection extends EventTarget {
  #link;
  #ws = null;
  #hello = null;
  #retryTimer = 0;
  #keepaliveTimer = 0;
  #nextFsId = 1;
  #pendingFs = new Map();
  state;

  constructor(link) {
    super();
    this.#link = link;
    this.state = initialState(link);
  }

  get hello() {
    return this.#hello;
  }

  get mode() {
    return this.#link.mode;
  }

  /** Connects now (also while waiting for the next try). */
  start() {
    clearTimeout(this.#retryTimer);
    if (this.#ws || this.#link.error) return;
    this.#step({ type: 'connect' });
    let ws;
    try {
      ws = this.#link.wsProtocols.length
        ? new WebSocket(this.#link.wsUrl, this.#link.wsProtocols)
        : new WebSocket(this.#link.wsUrl);
    } catch {
      this.#failed();
      return;
    }
    ws.binaryType = 'arraybuffer';
    ws.addEventListener('message', (ev) => this.#onMessage(ev));
    ws.addEventListener('close', () => this.#onClose(ws));
    this.#ws = ws;
  }

  /** Goes on with another link (a new token after a restart); open buffers are untouched. */
  useLink(link) {
    clearTimeout(this.#retryTimer);
    this.#link = link;
    const old = this.#ws;
    this.#ws = null;
    if (old) {
      this.#sessionEnded();
      old.close();
    }
    this.#step({ type: 'link', link });
    this.start();
  }

  /** Sends one session message; false when there is no open session. */
  send(kind, id, payload) {
    if (!this.#ws || this.#ws.readyState !== WebSocket.OPEN || !this.#hello) return false;
    this.#ws.send(encodeMessage(kind, id, payload));
    return true;
  }

  /** One file request; resolves to {reply, data}. Rejects only when there is no session. */
  async fs(request, data) {
    const envelope = encodeFsRequest(request, data);
    if (this.#link.fsUrl) return this.#fsOverHttp(envelope);
    const id = this.#nextFsId++ >>> 0;
    return new Promise((resolve, reject) => {
      if (!this.send(Kind.Fs, id, envelope)) {
        reject(new Error('not connected'));
        return;
      }
      this.#pendingFs.set(id, { resolve, reject });
    });
  }

  async #fsOverHttp(envelope) {
    const answer = await this.#post(this.#link.fsUrl, envelope);
    if (!answer.ok) {
      const why = (await answer.text()) || answer.statusText;
      return { reply: { ok: false, err: `${answer.status} ${why}` }, data: new Uint8Array(0) };
    }
    return decodeFsReply(new Uint8Array(await answer.arrayBuffer()));
  }

  #post(url, body) {
    return fetch(url, {
      method: 'POST',
      headers: { 'X-Editor-Token': this.#link.token, 'Content-Type': 'application/octet-stream' },
      body,
      cache: 'no-store',
    });
  }

  #onMessage(ev) {
    if (typeof ev.data === 'string') return;
    const msg = decodeMessage(ev.data);
    if (!msg) return;
    if (msg.kind === Kind.Hello) {
      const hello = decodeJson(msg.payload);
      if (!hello || typeof hello !== 'object') return;
      this.#hello = hello;
      this.#keepaliveTimer = setInterval(() => this.#keepalive(), KEEPALIVE_MS);
      this.#step({ type: 'hello' });
      this.dispatchEvent(new CustomEvent('hello', { detail: hello }));
      return;
    }
    if (msg.kind === Kind.Fs_Reply) {
      const waiter = this.#pendingFs.get(msg.id);
      if (!waiter) return;
      this.#pendingFs.delete(msg.id);
      waiter.resolve(decodeFsReply(msg.payload));
      return;
    }
    this.dispatchEvent(new CustomEvent('message', { detail: msg }));
  }

  #keepalive() {
    if (this.#ws && this.#ws.readyState === WebSocket.OPEN) this.#ws.send(KEEPALIVE_TEXT);
  }

  #onClose(ws) {
    if (this.#ws !== ws) return;
    this.#ws = null;
    this.#sessionEnded();
    this.#failed();
  }

  #sessionEnded() {
    clearInterval(this.#keepaliveTimer);
    const hadSession = this.#hello !== null;
    this.#hello = null;
    for (const waiter of this.#pendingFs.values()) waiter.reject(new Error('connection lost'));
    this.#pendingFs.clear();
    if (hadSession) this.dispatchEvent(new CustomEvent('down'));
  }

  // The socket closed or never opened: ask the daemon whether it takes the token. An empty
  // file request is harmless ("bad request" when the token is good).
  async #failed() {
    const link = this.#link;
    let refusal = '';
    try {
      const answer = await this.#post(link.fsUrl || new URL('/fs', link.wsUrl.replace(/^ws/, 'http')).href, new Uint8Array(0));
      if (answer.status === 403 || answer.status === 429) refusal = (await answer.text()).trim() || `${answer.status}`;
    } catch {
      // Nothing answered: the daemon is not there (yet).
    }
    if (link !== this.#link || this.#ws) return;
    if (refusal) {
      this.#step({ type: 'refused', why: refusalText(refusal) });
      return;
    }
    this.#step({ type: 'unreachable' });
    this.#retryTimer = setTimeout(() => this.start(), this.state.retryAt - Date.now());
  }

  #step(event) {
    this.state = nextState(this.state, event, Date.now());
    this.dispatchEvent(new CustomEvent('state', { detail: this.state }));
  }
}
