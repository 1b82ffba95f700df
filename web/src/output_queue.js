// Program output on its way to a terminal. The page cannot slow a program down, so the
// queue is bounded: past `limit` bytes the oldest output is dropped down to `keep` bytes and
// counted, which costs a skipped stretch (mostly lines the scrollback would lose anyway)
// instead of memory.

export const QUEUE_LIMIT = 8 * 1024 * 1024;
export const QUEUE_KEEP = 2 * 1024 * 1024;

export class OutputQueue {
  #chunks = [];
  #bytes = 0;
  #skipped = 0;
  #limit;
  #keep;

  constructor(limit = QUEUE_LIMIT, keep = QUEUE_KEEP) {
    this.#limit = limit;
    this.#keep = keep;
  }

  get size() {
    return this.#bytes;
  }

  push(bytes) {
    if (bytes.length === 0) return;
    this.#chunks.push(bytes);
    this.#bytes += bytes.length;
    if (this.#bytes <= this.#limit) return;
    let drop = 0;
    while (this.#bytes - this.#chunks[drop].length >= this.#keep) {
      this.#bytes -= this.#chunks[drop].length;
      this.#skipped += this.#chunks[drop].length;
      drop++;
    }
    this.#chunks.splice(0, drop);
  }

  /** Puts bytes back in front, to be taken first. */
  unshift(bytes) {
    if (bytes.length === 0) return;
    this.#chunks.unshift(bytes);
    this.#bytes += bytes.length;
  }

  /** Up to `max` bytes (whole chunks, at least one) and the bytes skipped before them. */
  take(max) {
    const skipped = this.#skipped;
    this.#skipped = 0;
    let n = 0;
    let total = 0;
    while (n < this.#chunks.length && (n === 0 || total + this.#chunks[n].length <= max)) total += this.#chunks[n++].length;
    const parts = this.#chunks.splice(0, n);
    this.#bytes -= total;
    if (parts.length <= 1) return { skipped, data: parts[0] ?? null };
    const data = new Uint8Array(total);
    let at = 0;
    for (const p of parts) {
      data.set(p, at);
      at += p.length;
    }
    return { skipped, data };
  }
}

const LF = 0x0a;
// Bytes that change a terminal's state beyond the line they are on: escape sequences and the
// character set shifts.
const STATEFUL = [0x1b, 0x0e, 0x0f];

/**
 * How many leading bytes of `data` a terminal can skip without changing what it shows or
 * keeps: whole lines of plain text that at least `keepLines` further lines would push out of
 * its screen and scrollback anyway. 0 when there are not that many lines, or when the lines
 * before them hold anything that changes the terminal's state.
 */
export function droppablePrefix(data, keepLines) {
  let at = data.length;
  for (let n = 0; n <= keepLines; n++) {
    // A negative start would count from the end again.
    at = at === 0 ? -1 : data.lastIndexOf(LF, at - 1);
    if (at < 0) return 0;
  }
  const prefix = data.subarray(0, at + 1);
  return STATEFUL.some((b) => prefix.indexOf(b) >= 0) ? 0 : at + 1;
}
