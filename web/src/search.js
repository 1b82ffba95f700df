// Search across files: rg where the daemon's machine has it, grep -rn otherwise, run in the
// project root through the ordinary program channel. Results open the file at the line.

import { byId, el } from './dom.js';

// Fixed strings; $1 is the text, $2 non-empty for a case-sensitive search. grep leaves out
// hidden folders and those the tree hides; rg leaves out what the project ignores.
const SEARCH_SCRIPT = `
if [ -n "$2" ]; then rgcase=--case-sensitive; gcase=; else rgcase=--ignore-case; gcase=-i; fi
if command -v rg >/dev/null 2>&1; then
  exec rg --line-number --no-heading --null --color never --max-columns 400 --max-columns-preview $rgcase --fixed-strings -e "$1" -- .
fi
exec grep -rnIZ $gcase --fixed-strings --exclude-dir='.?*' --exclude-dir=node_modules --exclude-dir=vendor \\
  --exclude-dir=build --exclude-dir=_build --exclude-dir='cmake-build-*' --exclude-dir=target \\
  --exclude-dir=dist --exclude-dir=__pycache__ -e "$1" -- .
`;

export const searchArgv = (text, matchCase) => ['/bin/sh', '-c', SEARCH_SCRIPT, 'sh', text, matchCase ? '1' : ''];

const MATCHES_MAX = 1000;
const TEXT_MAX_CHARS = 400;

/**
 * Splits search output ("path", a 0x00 byte, "line:text", one match a line) into matches;
 * returns the matches of the complete lines and the unfinished rest.
 */
export function parseMatches(buffered) {
  const lines = buffered.split('\n');
  const rest = lines.pop();
  const matches = [];
  for (const line of lines) {
    const nul = line.indexOf('\0');
    const colon = line.indexOf(':', nul + 1);
    if (nul < 1 || colon < 0) continue;
    const n = Number(line.slice(nul + 1, colon));
    if (!Number.isInteger(n) || n < 1) continue;
    matches.push({ path: line.slice(0, nul).replace(/^\.\//, ''), line: n, text: line.slice(colon + 1, colon + 1 + TEXT_MAX_CHARS) });
  }
  return { matches, rest };
}

export class Search {
  #channels;
  #root = () => '';
  #open;
  #channel = null;

  /** `root()` gives the project root, `open(path, line)` shows a result. */
  constructor(channels, root, open) {
    this.#channels = channels;
    this.#root = root;
    this.#open = open;
    byId('search-form').addEventListener('submit', (ev) => {
      ev.preventDefault();
      this.run(byId('search-text').value);
    });
  }

  focus() {
    byId('search-text').focus();
    byId('search-text').select();
  }

  run(text) {
    if (!text) return;
    const matchCase = byId('search-case').checked;
    this.#channel?.kill();
    const list = byId('search-results');
    const state = byId('search-state');
    list.replaceChildren();
    state.textContent = 'Searching…';
    const decoder = new TextDecoder();
    let buffered = '';
    let count = 0;
    const files = new Set();
    let cut = false;
    const add = (matches) => {
      for (const m of matches) {
        if (count >= MATCHES_MAX) {
          cut = true;
          this.#channel?.kill();
          return;
        }
        count++;
        files.add(m.path);
        list.append(el('li', {}, [
          el('button', { type: 'button', class: 'search-hit', title: `${m.path}:${m.line}`, on: { click: () => this.#open(m.path, m.line) } }, [
            el('span', { class: 'search-where', text: `${m.path}:${m.line}` }),
            el('span', { class: 'search-text', text: m.text.trim() }),
          ]),
        ]));
      }
    };
    const channel = this.#channels.spawn({ argv: searchArgv(text, matchCase), cwd: this.#root(), stderr: 'null' }, {
      output: (_stream, bytes) => {
        if (this.#channel !== channel) return;
        const parsed = parseMatches(buffered + decoder.decode(bytes, { stream: true }));
        buffered = parsed.rest;
        add(parsed.matches);
      },
      exit: ({ status, message }) => {
        if (this.#channel !== channel) return;
        this.#channel = null;
        add(parseMatches(`${buffered}${decoder.decode()}\n`).matches);
        const plural = (n, w) => `${n} ${w}${n === 1 ? '' : 'es'}`;
        if (status === -1) state.textContent = `The search could not start: ${message}`;
        else state.textContent = count === 0 ? 'No matches.' : `${plural(count, 'match')} in ${files.size} file${files.size === 1 ? '' : 's'}${cut ? ` (the first ${MATCHES_MAX})` : ''}.`;
      },
      lost: () => {
        state.textContent = 'The connection was lost.';
      },
    });
    this.#channel = channel;
    if (!channel) state.textContent = 'Not connected.';
  }
}
