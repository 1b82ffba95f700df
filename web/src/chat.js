// The chat panel: runs the chat helper beside the permission helper with the whole
// conversation on its standard input and shows the answer as it streams.

import { byId, el, keepPinned } from './dom.js';
import { buildTranscript } from './transcript.js';

/** The chat helper's path: "sorvine" in the permission helper's directory, or ''. */
export function chatHelperPath(permHelper) {
  const cut = (permHelper ?? '').lastIndexOf('/');
  return cut < 0 ? '' : `${permHelper.slice(0, cut)}/sorvine`;
}

export class Chat {
  #conn;
  #channels;
  #turns = [];
  #busy = false;

  constructor(conn, channels) {
    this.#conn = conn;
    this.#channels = channels;
    byId('chat-form').addEventListener('submit', (ev) => {
      ev.preventDefault();
      this.send(byId('chat-text').value);
    });
    byId('chat-text').addEventListener('keydown', (ev) => {
      if (ev.key === 'Enter' && (ev.ctrlKey || ev.metaKey)) {
        ev.preventDefault();
        this.send(byId('chat-text').value);
      }
    });
    byId('chat-clear').addEventListener('click', () => {
      if (this.#busy) return;
      this.#turns = [];
      byId('chat-log').replaceChildren();
    });
  }

  send(raw) {
    const text = raw.trim();
    if (!text || this.#busy) return;
    const helper = chatHelperPath(this.#conn.hello?.perm_helper);
    if (!helper) return this.#bubble('note', 'The daemon found no permission helper, so there is no chat helper beside it.');
    const turns = [...this.#turns, { role: 'user', text }];
    this.#bubble('user', text);
    const answer = this.#bubble('assistant', '');
    answer.classList.add('streaming');
    const decoder = new TextDecoder();
    let said = '';
    let errors = '';
    const done = (ok, why) => {
      this.#busy = false;
      byId('chat-send').disabled = false;
      answer.classList.remove('streaming');
      if (ok && said.trim()) {
        this.#turns = [...turns, { role: 'assistant', text: said }];
        return;
      }
      answer.classList.add('failed');
      if (!said.trim()) answer.textContent = errors.trim() || why;
    };
    const channel = this.#channels.spawn(
      { argv: [helper], cwd: this.#conn.hello?.root ?? '' },
      {
        output: (stream, bytes) => {
          const chunk = decoder.decode(bytes, { stream: true });
          if (stream === 'stderr') errors += chunk;
          else {
            said += chunk;
            keepPinned(byId('chat-log'), () => {
              answer.textContent = said;
            });
          }
        },
        exit: ({ status, message }) => {
          said += decoder.decode();
          answer.textContent = said;
          done(status === 0, message || `the chat helper ended with status ${status}`);
        },
        lost: () => done(false, 'the connection was lost'),
      },
    );
    if (!channel) return done(false, 'not connected');
    this.#busy = true;
    byId('chat-send').disabled = true;
    byId('chat-text').value = '';
    channel.write(buildTranscript(turns));
    channel.close();
  }

  #bubble(role, text) {
    const node = el('div', { class: `chat-msg ${role}`, text });
    const log = byId('chat-log');
    keepPinned(log, () => log.append(node));
    return node;
  }
}
