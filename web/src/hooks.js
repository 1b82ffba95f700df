// The permissions panel: a hook socket for a coding agent, and each of its questions with
// Allow and Deny buttons.

import { byId, el, keepPinned } from './dom.js';
import { Kind, decodeHookRequest, decodeJson, decodeText, encodeHookReply } from './protocol.js';

// The helper reads at most 1,023 bytes of answer; a reason is kept well inside that.
const REASON_MAX_CHARS = 300;

/** The answer line for a decision: "allow\n", or "deny", a space and one line of reason. */
export function answerLine(allow, reason = '') {
  if (allow) return 'allow\n';
  const oneLine = reason.replace(/[\r\n\t]+/g, ' ').trim().slice(0, REASON_MAX_CHARS);
  return oneLine ? `deny ${oneLine}\n` : 'deny\n';
}

/** The tool name and input of a question, whatever shape its JSON has. */
export function describeQuestion(bodyText) {
  const parsed = decodeJson(new TextEncoder().encode(bodyText));
  if (!parsed || typeof parsed !== 'object' || Array.isArray(parsed)) {
    return { tool: '(not JSON)', input: bodyText };
  }
  const tool = typeof parsed.tool_name === 'string' && parsed.tool_name ? parsed.tool_name : '(no tool name)';
  const input = 'tool_input' in parsed ? JSON.stringify(parsed.tool_input, null, 2) : JSON.stringify(parsed, null, 2);
  return { tool, input };
}

export class Permissions {
  #conn;
  #nextId = 1;
  #hook = null; // {id, path, card}
  #pending = new Map(); // request id -> settle(text)
  #onWaiting;

  /** `onWaiting(count)` is told how many questions wait for an answer whenever that changes. */
  constructor(conn, onWaiting) {
    this.#conn = conn;
    this.#onWaiting = onWaiting;
    byId('hook-open').addEventListener('click', () => this.open());
    conn.addEventListener('message', (ev) => this.#onMessage(ev.detail));
    conn.addEventListener('down', () => this.#lost());
  }

  /** The socket path of the open hook, or ''. */
  get socketPath() {
    return this.#hook && this.#hook.path ? this.#hook.path : '';
  }

  open() {
    if (this.#hook) return;
    const id = this.#nextId++ >>> 0;
    if (!this.#conn.send(Kind.Hook_Listen, id)) return;
    this.#hook = { id, path: '' };
    byId('hook-open').disabled = true;
    byId('hook-info').replaceChildren(el('p', { text: 'Opening a hook…' }));
  }

  close() {
    if (!this.#hook) return;
    this.#conn.send(Kind.Hook_Close, this.#hook.id);
    this.#ended('Hook closed.');
  }

  #onMessage({ kind, id, payload }) {
    if (!this.#hook || id !== this.#hook.id) return;
    if (kind === Kind.Hook_Ready) this.#ready(decodeJson(payload) ?? { path: '', err: 'bad reply' });
    else if (kind === Kind.Hook_Req) {
      const req = decodeHookRequest(payload);
      if (req) this.#question(req.requestId, decodeText(req.body));
    }
  }

  #ready({ path, err }) {
    if (err || !path) {
      this.#hook = null;
      byId('hook-open').disabled = false;
      byId('hook-info').replaceChildren(el('p', { class: 'error', text: `The hook could not be opened: ${err || 'no path'}` }));
      return;
    }
    this.#hook.path = path;
    const helper = this.#conn.hello?.perm_helper ?? '';
    byId('hook-info').replaceChildren(
      el('dl', { class: 'hook-setup' }, [
        el('dt', { text: 'EDITOR_HOOK_SOCK' }),
        el('dd', {}, [el('code', { id: 'hook-sock', text: path })]),
        el('dt', { text: 'perm_helper' }),
        el('dd', {}, [el('code', { id: 'hook-helper', text: helper || '(the daemon found no permission helper)' })]),
      ]),
      el('p', {
        class: 'hint',
        text: 'Start the coding agent with EDITOR_HOOK_SOCK set to this path and perm_helper as its PreToolUse hook command. Programs run below get the variable when "with the permission hook" is ticked.',
      }),
      el('button', { text: 'Close hook', on: { click: () => this.close() } }),
    );
    byId('run-with-hook').disabled = false;
    byId('run-with-hook').checked = true;
    byId('run-with-hook').closest('label').hidden = false;
  }

  #question(requestId, bodyText) {
    const { tool, input } = describeQuestion(bodyText);
    const hookId = this.#hook.id;
    const reason = el('input', { type: 'text', class: 'deny-reason', placeholder: 'reason (optional)', 'aria-label': 'reason' });
    const state = el('span', { class: 'question-state', text: 'waiting' });
    const buttons = [
      el('button', { class: 'allow', text: 'Allow', on: { click: () => answer(true) } }),
      reason,
      el('button', { class: 'deny danger', text: 'Deny', on: { click: () => answer(false) } }),
    ];
    const card = el('article', { class: 'question', 'data-request': String(requestId) }, [
      el('header', {}, [el('strong', { class: 'question-tool', text: tool }), state]),
      el('pre', { class: 'question-input', text: input }),
      el('div', { class: 'question-actions' }, buttons),
    ]);
    const settle = (text, cls) => {
      this.#pending.delete(requestId);
      this.#onWaiting(this.#pending.size);
      state.textContent = text;
      state.className = `question-state ${cls}`;
      for (const b of buttons) b.disabled = true;
    };
    const answer = (allow) => {
      const line = answerLine(allow, reason.value);
      if (!this.#conn.send(Kind.Hook_Reply, hookId, encodeHookReply(requestId, line))) return;
      settle(allow ? 'allowed' : `denied${line.length > 5 ? `: ${line.slice(5, -1)}` : ''}`, allow ? 'ok' : 'failed');
    };
    this.#pending.set(requestId, settle);
    this.#onWaiting(this.#pending.size);
    const list = byId('questions');
    keepPinned(list, () => list.append(card));
  }

  #ended(text) {
    for (const settle of [...this.#pending.values()]) settle('session closed', 'failed');
    this.#hook = null;
    byId('hook-open').disabled = false;
    byId('run-with-hook').checked = false;
    byId('run-with-hook').disabled = true;
    byId('run-with-hook').closest('label').hidden = true;
    byId('hook-info').replaceChildren(el('p', { text }));
  }

  #lost() {
    if (this.#hook) this.#ended('The connection was lost, and the hook with it. Open a new one.');
  }
}
