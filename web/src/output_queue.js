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
