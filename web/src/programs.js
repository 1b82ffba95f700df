// The programs pane: command lines run in the project root, each run with a header (its
// command line, state, End input, Kill, Clear) and its output in a terminal.

import { byId, el } from './dom.js';
import { newHistory, newer, older, remember } from './history.js';
import { Kind, decodeExit } from './protocol.js';
import { RunTerminal } from './terminal.js';
import { offersTerminals, resizePayload, runSetup, runStateText } from './run_model.js';

// Finished runs beyond this many are dropped, oldest first, so their terminals' memory goes too.
const RUNS_KEPT = 12;
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

  /**
   * Starts a program (with a terminal when the request has a `pty` size); `owner` gets
   * output(stream, bytes), exit({status, message}), lost().
   */
  spawn(request, owner) {
    const id = this.#next++ >>> 0;
    const spawn = { argv: request.argv, cwd: request.cwd ?? '', env: request.env ?? {}, stderr: request.stderr ?? '', unset: [] };
    if (request.pty) spawn.pty = request.pty;
    if (!this.#conn.send(Kind.Spawn, id, JSON.stringify(spawn))) return null;
    this.#owners.set(id, owner);
    return {
      id,
      write: (data) => this.#conn.send(Kind.Stdin, id, typeof data === 'string' ? utf8.encode(data) : data),
      close: () => this.#conn.send(Kind.Stdin_Close, id),
      kill: () => this.#conn.send(Kind.Kill, id),
      resize: (size) => this.#conn.send(Kind.Resize, id, resizePayload(size)),
    };
  }
}

class Run {
  #state = { phase: 'running', killSent: false, status: 0, message: '' };
  #setup = null;
  #input = () => {};
  #channel = null;
  #terminal;
  #stateBox;
  #buttons;
  #onCleared;

  constructor(line, hookSock, onCleared) {
    this.#onCleared = onCleared;
    this.#stateBox = el('span', { class: 'run-status running', text: 'running' });
    const toggle = el('button', { class: 'run-toggle', type: 'button', 'aria-expanded': 'true', title: line, on: { click: () => this.expand(!this.expanded) } }, [
      el('span', { class: 'twisty', 'aria-hidden': 'true' }),
      el('code', { class: 'run-line', text: line }),
    ]);
    this.#buttons = {
      eof: el('button', { class: 'run-eof', type: 'button', text: 'End input', title: 'close its standard input (Ctrl+D)', on: { click: () => this.#channel?.close() } }),
      kill: el('button', { class: 'run-kill danger', type: 'button', text: 'Kill', on: { click: () => this.kill() } }),
      clear: el('button', { class: 'run-clear', type: 'button', text: '×', 'aria-label': 'Clear', title: 'clear this run', disabled: true, on: { click: () => this.clear() } }),
    };
    const host = el('div', { class: 'run-term' });
    this.card = el('article', { class: 'run expanded', 'aria-label': line }, [
      el('header', { class: 'run-head' }, [toggle, this.#stateBox, this.#buttons.eof, this.#buttons.kill, this.#buttons.clear]),
      el('div', { class: 'run-body' }, [hookSock ? el('p', { class: 'run-note', text: `EDITOR_HOOK_SOCK=${hookSock}` }) : null, host]),
    ]);
    this.toggle = toggle;
    this.host = host;
  }

  /**
   * Opens the terminal once the card is in the document, so it can measure its box; its
   * size in columns and rows is what the program's own terminal starts with.
   */
  open(setup) {
    this.#setup = setup;
    this.#terminal = new RunTerminal(this.host, {
      convertEol: setup.convertEol,
      tabMovesFocus: setup.tabMovesFocus,
      onData: (data) => this.#channel && this.#input(data),
      label: 'Program input',
    });
    this.#terminal.fit();
    return { cols: this.#terminal.cols, rows: this.#terminal.rows };
  }

  /** Connects the opened terminal to the started program (null: it did not start). */
  start(channel) {
    this.#channel = channel;
    if (!channel) return;
    this.#input = this.#setup.input(channel, (text) => this.#terminal.write(text));
    if (this.#setup.followsResize) this.#terminal.onResize((size) => this.#channel?.resize(size));
  }

  get ended() {
    return this.#state.phase !== 'running';
  }

  get expanded() {
    return this.card.classList.contains('expanded');
  }

  expand(on) {
    this.card.classList.toggle('expanded', on);
    this.toggle.setAttribute('aria-expanded', String(on));
    if (on) requestAnimationFrame(() => this.#terminal?.fit());
  }

  focus() {
    this.#terminal?.focus();
  }

  kill() {
    if (!this.#channel?.kill()) return;
    this.#set({ killSent: true });
  }

  output(_stream, bytes) {
    this.#terminal.write(bytes);
  }

  exit({ status, message }) {
    this.#set({ phase: 'ended', status, message });
  }

  lost() {
    this.#set({ phase: 'lost' });
  }

  clear() {
    if (!this.ended) return;
    this.#terminal?.dispose();
    this.card.remove();
    this.#onCleared(this);
  }

  #set(change) {
    this.#state = { ...this.#state, ...change };
    const s = this.#state;
    this.#stateBox.textContent = runStateText(s);
    const cls = s.phase === 'running' ? `running${s.killSent ? ' killing' : ''}` : s.status === 0 && s.phase === 'ended' ? 'ok' : 'failed';
    this.#stateBox.className = `run-status ${cls}`;
    this.card.dataset.state = s.phase;
    if (!this.ended) return;
    this.#channel = null;
    if (this.#terminal) this.#terminal.inputEnabled = false;
    this.#buttons.eof.disabled = true;
    this.#buttons.kill.disabled = true;
    this.#buttons.clear.disabled = false;
  }
}

export class Programs {
  #channels;
  #root = '';
  #terminals = false;
  #hookSock;
  #runs = [];
  #history = newHistory();
  #onHistory;

  /**
   * `hookSock()` gives the socket path of the open permission hook, or ''; `onHistory(lines)`
   * is told the command history whenever it changes.
   */
  constructor(channels, hookSock, onHistory) {
    this.#channels = channels;
    this.#hookSock = hookSock;
    this.#onHistory = onHistory;
    const box = byId('run-line');
    byId('run-form').addEventListener('submit', (ev) => {
      ev.preventDefault();
      const line = box.value.trim();
      if (line && this.run(line)) box.value = '';
    });
    box.addEventListener('keydown', (ev) => {
      if (ev.key !== 'ArrowUp' && ev.key !== 'ArrowDown') return;
      ev.preventDefault();
      const step = (ev.key === 'ArrowUp' ? older : newer)(this.#history, box.value);
      this.#history = step.h;
      box.value = step.line;
    });
    byId('runs-clear').addEventListener('click', () => {
      for (const run of [...this.#runs]) run.clear();
    });
  }

  set root(root) {
    this.#root = root;
  }

  /** The daemon's Hello: whether runs can have a terminal (the checkbox opts out). */
  set hello(hello) {
    this.#terminals = offersTerminals(hello);
    byId('run-no-terminal').closest('label').hidden = !this.#terminals;
  }

  set history(lines) {
    this.#history = newHistory(Array.isArray(lines) ? lines.filter((l) => typeof l === 'string') : []);
  }

  run(line) {
    this.#history = remember(this.#history, line);
    this.#onHistory(this.#history.entries);
    const sock = byId('run-with-hook').checked ? this.#hookSock() : '';
    const run = new Run(line, sock, (r) => this.#forget(r));
    for (const other of this.#runs) other.expand(false);
    byId('runs').prepend(run.card);
    this.#runs.unshift(run);
    this.#trim();
    const terminal = this.#terminals && !byId('run-no-terminal').checked;
    const setup = runSetup(line, { cwd: this.#root, env: sock ? { EDITOR_HOOK_SOCK: sock } : {}, terminal });
    const size = run.open(setup);
    const channel = this.#channels.spawn(setup.spawn(size), run);
    run.start(channel);
    if (!channel) {
      run.exit({ status: -1, message: 'not connected' });
      return false;
    }
    return true;
  }

  #forget(run) {
    this.#runs = this.#runs.filter((r) => r !== run);
  }

  #trim() {
    const oldestFirst = this.#runs.filter((r) => r.ended).reverse();
    for (const run of oldestFirst.slice(0, Math.max(0, this.#runs.length - RUNS_KEPT))) run.clear();
  }
}
