// The programs panel: command lines run in the project root, their output streamed in,
// a line of input, end of input, Kill and the exit status.

import { byId, el, keepPinned } from './dom.js';
import { Kind, decodeExit } from './protocol.js';

// Runs the line with the user's own shell; /bin/sh only finds it in the environment.
const SHELL_TRAMPOLINE = 'exec "${SHELL:-/bin/sh}" -c "$1"';
export const shellArgv = (line) => ['/bin/sh', '-c', SHELL_TRAMPOLINE, 'sh', line];

const OUTPUT_KEEP_CHARS = 1_000_000;
const utf8 = new TextEncoder();

/**
 * Channel ids are shared by every panel that starts programs (the chat runs one too), so
 * they come from one counter; each owner registers for the messages of its ids.
 */
export class Channels {
  #conn;
  #next = 1;
  #owners = new Map();

  constructor(conn) {
    this.#conn = conn;
    conn.addEventListener('message', (ev) => {
      const { kind, id, payload } = ev.detail;
      if (kind !== Kind.Stdout && kind !== Kind.Stderr && kind !== Kind.Exit) return;
      const owner = this.#owners.get(id);
      if (!owner) return;
      if (kind === Kind.Exit) {
        this.#owners.delete(id);
        owner.exit(decodeExit(payload));
      } else {
        owner.output(kind === Kind.Stderr ? 'stderr' : 'stdout', payload);
      }
    });
    conn.addEventListener('down', () => {
      const owners = [...this.#owners.values()];
      this.#owners.clear();
      for (const owner of owners) owner.lost();
    });
  }

  /** Starts a program; `owner` gets output(stream, bytes), exit({status, message}), lost(). */
  spawn(request, owner) {
    const id = this.#next++ >>> 0;
    const spawn = { argv: request.argv, cwd: request.cwd ?? '', env: request.env ?? {}, stderr: request.stderr ?? '', unset: [] };
    if (!this.#conn.send(Kind.Spawn, id, JSON.stringify(spawn))) return null;
    this.#owners.set(id, owner);
    return {
      id,
      write: (text) => this.#conn.send(Kind.Stdin, id, utf8.encode(text)),
      close: () => this.#conn.send(Kind.Stdin_Close, id),
      kill: () => this.#conn.send(Kind.Kill, id),
    };
  }
}

class Run {
  #output;
  #status;
  #decoders = { stdout: new TextDecoder(), stderr: new TextDecoder() };
  #chars = 0;
  #controls;
  #channel = null;

  constructor(list, line, hookSock) {
    this.#output = el('pre', { class: 'run-output', 'aria-live': 'polite' });
    this.#status = el('span', { class: 'run-status running', text: 'running' });
    const input = el('input', { class: 'run-input', type: 'text', placeholder: 'a line for its standard input', 'aria-label': 'input line' });
    const send = () => {
      if (this.#channel && this.#channel.write(`${input.value}\n`)) input.value = '';
    };
    input.addEventListener('keydown', (ev) => {
      if (ev.key === 'Enter') send();
    });
    this.#controls = [
      input,
      el('button', { class: 'run-send', text: 'Send', on: { click: send } }),
      el('button', { class: 'run-eof', text: 'End input', title: 'close its standard input', on: { click: () => this.#channel?.close() } }),
      el('button', { class: 'run-kill danger', text: 'Kill', on: { click: () => this.#kill() } }),
    ];
    const card = el('article', { class: 'run' }, [
      el('header', { class: 'run-head' }, [el('code', { class: 'run-line', text: line }), this.#status]),
      hookSock ? el('p', { class: 'run-note', text: `EDITOR_HOOK_SOCK=${hookSock}` }) : null,
      this.#output,
      el('div', { class: 'run-controls' }, this.#controls),
    ]);
    list.prepend(card);
    this.card = card;
  }

  attach(channel) {
    this.#channel = channel;
  }

  // Kill reaches the program itself, not its children: until they close its output too,
  // the run is shown as killed but not yet ended.
  #kill() {
    if (!this.#channel?.kill()) return;
    this.#status.textContent = 'killed, waiting for its output to close';
    this.#status.className = 'run-status running killing';
  }

  output(stream, bytes) {
    const text = this.#decoders[stream].decode(bytes, { stream: true });
    if (text) this.#append(stream, text);
  }

  exit({ status, message }) {
    for (const stream of ['stdout', 'stderr']) {
      const rest = this.#decoders[stream].decode();
      if (rest) this.#append(stream, rest);
    }
    if (status === -1 && message) this.#finish(`failed: ${message}`, 'failed');
    else this.#finish(`exit ${status}`, status === 0 ? 'ok' : 'failed');
  }

  lost() {
    this.#finish('ended: connection lost', 'failed');
  }

  #finish(text, cls) {
    this.#channel = null;
    this.#status.textContent = text;
    this.#status.className = `run-status ${cls}`;
    for (const c of this.#controls) c.disabled = true;
    this.card.classList.add('done');
  }

  #append(stream, text) {
    keepPinned(this.#output, () => {
      const last = this.#output.lastElementChild;
      if (last && last.dataset.stream === stream) last.append(text);
      else this.#output.append(el('span', { class: stream, 'data-stream': stream }, [text]));
      this.#chars += text.length;
      while (this.#chars > OUTPUT_KEEP_CHARS && this.#output.childElementCount > 1) {
        this.#chars -= this.#output.firstElementChild.textContent.length;
        this.#output.firstElementChild.remove();
      }
    });
  }
}

export class Programs {
  #channels;
  #root = '';
  #hookSock;

  /** `hookSock()` gives the socket path of the open permission hook, or ''. */
  constructor(channels, hookSock) {
    this.#channels = channels;
    this.#hookSock = hookSock;
    const form = byId('run-form');
    form.addEventListener('submit', (ev) => {
      ev.preventDefault();
      const line = byId('run-line').value.trim();
      if (line && this.run(line)) byId('run-line').value = '';
    });
  }

  set root(root) {
    this.#root = root;
  }

  run(line) {
    const sock = byId('run-with-hook').checked ? this.#hookSock() : '';
    const run = new Run(byId('runs'), line, sock);
    const channel = this.#channels.spawn(
      { argv: shellArgv(line), cwd: this.#root, env: sock ? { EDITOR_HOOK_SOCK: sock } : {} },
      run,
    );
    if (!channel) {
      run.exit({ status: -1, message: 'not connected' });
      return false;
    }
    run.attach(channel);
    return true;
  }
}
