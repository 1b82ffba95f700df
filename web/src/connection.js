// One tab session with the daemon: the WebSocket, reconnection, keep-alive and file requests.

import { Kind, decodeFsReply, decodeJson, decodeMessage, encodeFsRequest, encodeMessage } from './protocol.js';

// A tunnel tab loses its session after 180 s without traffic and Cloudflare closes idle
// connections too; the daemon drops Text messages unanswered, so one is a safe keep-alive.
export const KEEPALIVE_MS = 60_000;
const KEEPALIVE_TEXT = 'keepalive';
const RETRY_DELAYS_MS = [1000, 2000, 4000, 8000, 15000];

/**
 * Events: "state" ({state, retryIn}), "hello" (the Hello record), "message" ({kind, id,
 * payload}) for everything but Hello and Fs_Reply, and "down" when a session ended.
 */
export class Connection extends EventTarget {
  #link;
  #ws = null;
  #hello = null;
  #retries = 0;
  #retryTimer = 0;
  #keepaliveTimer = 0;
  #nextFsId = 1;
  #pendingFs = new Map();
  state = 'idle';

  constructor(link) {
    super();
    this.#link = link;
  }

  get hello() {
    return this.#hello;
  }

  get mode() {
    return this.#link.mode;
  }

  start() {
    clearTimeout(this.#retryTimer);
    if (this.#ws) return;
    this.#setState('connecting');
    let ws;
    try {
      ws = this.#link.wsProtocols.length
        ? new WebSocket(this.#link.wsUrl, this.#link.wsProtocols)
        : new WebSocket(this.#link.wsUrl);
    } catch {
      this.#scheduleRetry();
      return;
    }
    ws.binaryType = 'arraybuffer';
    ws.addEventListener('message', (ev) => this.#onMessage(ev));
    ws.addEventListener('close', () => this.#onClose(ws));
    this.#ws = ws;
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
    const answer = await fetch(this.#link.fsUrl, {
      method: 'POST',
      headers: { 'X-Editor-Token': this.#link.token, 'Content-Type': 'application/octet-stream' },
      body: envelope,
      cache: 'no-store',
    });
    if (!answer.ok) {
      const why = (await answer.text()) || answer.statusText;
      return { reply: { ok: false, err: `${answer.status} ${why}` }, data: new Uint8Array(0) };
    }
    return decodeFsReply(new Uint8Array(await answer.arrayBuffer()));
  }

  #onMessage(ev) {
    if (typeof ev.data === 'string') return;
    const msg = decodeMessage(ev.data);
    if (!msg) return;
    if (msg.kind === Kind.Hello) {
      const hello = decodeJson(msg.payload);
      if (!hello || typeof hello !== 'object') return;
      this.#hello = hello;
      this.#retries = 0;
      this.#keepaliveTimer = setInterval(() => this.#keepalive(), KEEPALIVE_MS);
      this.#setState('open');
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
    clearInterval(this.#keepaliveTimer);
    const hadSession = this.#hello !== null;
    this.#hello = null;
    for (const waiter of this.#pendingFs.values()) waiter.reject(new Error('connection lost'));
    this.#pendingFs.clear();
    if (hadSession) this.dispatchEvent(new CustomEvent('down'));
    this.#scheduleRetry();
  }

  #scheduleRetry() {
    const delay = RETRY_DELAYS_MS[Math.min(this.#retries, RETRY_DELAYS_MS.length - 1)];
    this.#retries++;
    this.#setState('closed', delay);
    this.#retryTimer = setTimeout(() => this.start(), delay);
  }

  #setState(state, retryIn = 0) {
    this.state = state;
    this.dispatchEvent(new CustomEvent('state', { detail: { state, retryIn } }));
  }
}
