// Times one "read" through a tab session: connect, Hello, Fs, the whole Fs_Reply.
// usage: node fs_read_ws.mjs PORT TOKEN PATH ROUNDS
import { createRequire } from 'node:module';
const require = createRequire(new URL('../tests/js/package.json', import.meta.url));
const WebSocket = require('ws');

const [port, token, path, rounds] = process.argv.slice(2);
const ws = new WebSocket(`ws://127.0.0.1:${port}/ws?t=${token}`, { maxPayload: 512 * 1024 * 1024 });

function envelope(json) {
  const body = Buffer.from(json);
  const head = Buffer.alloc(9);
  head[0] = 5;  // Fs
  head.writeUInt32LE(1, 1);
  head.writeUInt32LE(body.length, 5);
  return Buffer.concat([head, body]);
}

let left = Number(rounds), started = 0, sawHello = false;
const times = [];
ws.on('message', (data) => {
  if (!sawHello) { sawHello = true; started = performance.now(); ws.send(envelope(JSON.stringify({ op: 'read', path }))); return; }
  times.push({ ms: performance.now() - started, bytes: data.length });
  if (--left > 0) { started = performance.now(); ws.send(envelope(JSON.stringify({ op: 'read', path }))); return; }
  for (const t of times) console.log(`${t.ms.toFixed(1)} ${t.bytes}`);
  ws.close();
});
ws.on('error', (e) => { console.error(e.message); process.exit(1); });
