// A tab as an independent WebSocket implementation sees it: opens /ws, checks Hello, sends
// fragmented, control, Text and ignored messages, and checks what the daemon writes back.
// Usage: node session_peer.mjs PORT TOKEN. Exit 0 when every check passed.
import WebSocket from 'ws';

const [port, token] = process.argv.slice(2);
const fail = (why) => {
  console.error('FAIL: ' + why);
  process.exit(1);
};
setTimeout(() => fail('timed out'), 20000).unref();

const HELLO_KEYS = ['version', 'root', 'home', 'platform', 'perm_helper', 'has_anthropic_key',
  'vm_relay', 'features'];
const expectedPlatform = process.platform === 'darwin' ? 'darwin' : 'linux';

const sessionMsg = (kind, id, payload) => {
  const head = Buffer.alloc(5);
  head[0] = kind;
  head.writeUInt32LE(id, 1);
  return Buffer.concat([head, Buffer.from(payload)]);
};

const ws = new WebSocket(`ws://127.0.0.1:${port}/ws?t=${token}`);
ws.binaryType = 'nodebuffer';
ws.on('error', (e) => fail('socket error: ' + e.message));

let messages = 0;
const pongs = [];
let pongWaiter = null;
ws.on('pong', (data) => {
  pongs.push(data.toString());
  if (pongWaiter) pongWaiter();
});
const nextPong = () => new Promise((resolve) => {
  if (pongs.length) return resolve(pongs.shift());
  pongWaiter = () => {
    pongWaiter = null;
    resolve(pongs.shift());
  };
});

const hello = new Promise((resolve) => {
  ws.on('message', (data, isBinary) => {
    messages++;
    if (messages > 1) fail('a message after Hello: nothing the tab sent deserves an answer');
    if (!isBinary) fail('Hello must be binary');
    resolve(data);
  });
});

ws.on('open', async () => {
  const h = await hello;
  if (h[0] !== 0 || h.readUInt32LE(1) !== 0) fail('Hello header: ' + h.subarray(0, 5).toString('hex'));
  const text = h.subarray(5).toString();
  if (/\s/.test(text.replace(/"(?:[^"\\]|\\.)*"/g, '""'))) fail('white space in Hello JSON: ' + text);
  const rec = JSON.parse(text);
  if (JSON.stringify(Object.keys(rec)) !== JSON.stringify(HELLO_KEYS)) fail('Hello members: ' + text);
  if (rec.version !== 1 || rec.vm_relay !== true || rec.platform !== expectedPlatform ||
      typeof rec.has_anthropic_key !== 'boolean' || typeof rec.root !== 'string' ||
      rec.root === '' || JSON.stringify(rec.features) !== '["pty"]') {
    fail('Hello values: ' + text);
  }

  ws.ping(Buffer.from('first'));
  if ((await nextPong()) !== 'first') fail('pong payload');

  // A fragmented message (of a kind the daemon ignores) with a Ping between its fragments.
  const big = sessionMsg(200, 7, Buffer.alloc(300000, 0x61));
  ws.send(big.subarray(0, 3), { binary: true, fin: false });
  ws.send(big.subarray(3, 70000), { binary: true, fin: false });
  ws.ping(Buffer.from('between'));
  ws.send(big.subarray(70000), { binary: true, fin: true });
  if ((await nextPong()) !== 'between') fail('pong between fragments');

  ws.send('{"argv":["true"]}');                        // Text: never handled
  ws.send(Buffer.from([1, 0, 0]), { binary: true });  // shorter than a header
  ws.send(sessionMsg(0, 0, ''), { binary: true });    // a kind only the daemon sends
  ws.send(sessionMsg(9, 1, 'x'), { binary: true });   // the unused kind
  ws.send(sessionMsg(255, 2, Buffer.alloc(1 << 20)), { binary: true });
  ws.ping(Buffer.alloc(125, 0x7a));
  if ((await nextPong()) !== 'z'.repeat(125)) fail('pong of 125 bytes');

  ws.on('close', (code, reason) => {
    if (code !== 4000) fail('close code echoed: ' + code);
    if (reason.length !== 0) fail('close reason must not be echoed: ' + reason);
    console.log('ok');
    process.exit(0);
  });
  ws.close(4000, 'done here');
});
