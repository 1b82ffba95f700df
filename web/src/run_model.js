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
 * on an empty line, ends the input. (A program with a terminal would get every key as is.)
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

/**
 * How a run is started and where its typed keys go: the one place that knows that programs
 * get pipes. (Once the daemon offers terminals, this is where a run asks for one, with the
 * size of its pane, stops converting line feeds and passes every key, Tab too, straight on.)
 * `input(channel, echo)` makes the handler of typed text.
 */
export function runSetup(line, { cwd, env }) {
  return {
    // Standard error joins standard output in one pipe, so the two keep the program's order.
    spawn: { argv: shellArgv(line), cwd, env, stderr: 'merge' },
    convertEol: true,
    tabMovesFocus: true,
    input: (channel, echo) => pipeLineEditor({ echo, send: (text) => channel.write(text), close: () => channel.close() }),
  };
}
