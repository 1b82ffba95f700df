// A run as plain data: how its command line is started, its state in words, and where
// the keys typed into it go.

// Runs the line with the user's own shell; /bin/sh only finds it in the environment.
const SHELL_TRAMPOLINE = 'exec "${SHELL:-/bin/sh}" -c "$1"';
export const shellArgv = (line) => ['/bin/sh', '-c', SHELL_TRAMPOLINE, 'sh', line];

/** A run's state in words: {phase: 'running' | 'ended' | 'lost', killSent, status, message}. */
export function runStateText({ phase, killSent, status, message }) {
  if (phase === 'running') return killSent ? 'killed, waiting for its output to close' : 'running';
  if (phase === 'lost') return 'ended: connection lost';
  if (status === -1) return `failed: ${message || 'not started'}`;
  if (killSent && status === 9) return 'killed';
  return `exit ${status}`;
}

/**
 * Where typed keys go for a run whose program reads a pipe: the page is its line editor.
 * Keys are echoed, Backspace edits, Enter sends the line, Ctrl+D sends what is typed or,
 * on an empty line, ends the input. (A program with a terminal gets every key as is.)
 */
export function pipeLineEditor({ echo, send, close }) {
  let line = '';
  return (data) => {
    if (data.startsWith('\x1b')) return; // arrow and function keys
    for (const ch of data) {
      if (ch === '\r' || ch === '\n') {
        echo('\r\n');
        send(`${line}\n`);
        line = '';
      } else if (ch === '\x7f' || ch === '\b') {
        if (!line) continue;
        line = [...line].slice(0, -1).join('');
        echo('\b \b');
      } else if (ch === '\x04') {
        if (line) send(line);
        else close();
        line = '';
      } else if (ch >= ' ' || ch === '\t') {
        line += ch;
        echo(ch);
      }
    }
  };
}

// The sizes a daemon takes for a terminal, in columns and rows.
const TERMINAL_SIZE_MIN = 1;
const TERMINAL_SIZE_MAX = 1000;
const clampSize = (n) => Math.min(TERMINAL_SIZE_MAX, Math.max(TERMINAL_SIZE_MIN, Math.floor(n) || TERMINAL_SIZE_MIN));

/** Whether a daemon's Hello says it can give programs a terminal. */
export const offersTerminals = (hello) => Array.isArray(hello?.features) && hello.features.includes('pty');

/**
 * How a run is started and where its typed keys go: the one place that knows whether a
 * program gets a terminal or pipes. With `terminal`, the program gets a terminal of its
 * pane's size that follows the pane's resizes, and every key, Tab and Ctrl+C too, goes
 * straight to it (the terminal echoes, edits lines and turns Ctrl+C into an interrupt).
 * Without, standard error joins standard output in one pipe and the page edits the line.
 * `spawn({cols, rows})` is the Spawn request for a pane of that size; `input(channel,
 * echo)` makes the handler of typed text.
 */
export function runSetup(line, { cwd, env, terminal }) {
  const argv = shellArgv(line);
  if (terminal) {
    return {
      spawn: ({ cols, rows }) => ({ argv, cwd, env, pty: { cols: clampSize(cols), rows: clampSize(rows) } }),
      convertEol: false,
      tabMovesFocus: false,
      followsResize: true,
      input: (channel) => (data) => channel.write(data),
    };
  }
  return {
    // Standard error joins standard output in one pipe, so the two keep the program's order.
    spawn: () => ({ argv, cwd, env, stderr: 'merge' }),
    convertEol: true,
    tabMovesFocus: true,
    followsResize: false,
    input: (channel, echo) => pipeLineEditor({ echo, send: (text) => channel.write(text), close: () => channel.close() }),
  };
}

/** A Resize payload for a terminal now cols by rows. */
export const resizePayload = ({ cols, rows }) => JSON.stringify({ cols: clampSize(cols), rows: clampSize(rows) });
