// Checks the frames a server of ours writes with an independent WebSocket client, then
// sends fragmented, control and large messages back. Usage: node frames_peer.mjs PORT.
// The server sends Binary messages of the sizes below, byte i of message k being
// (i * 7 + k) & 255; the peer answers as described in the test.
import WebSocket from 'ws';

const [port] = process.argv.slice(2);
const SIZES = [0, 1, 125, 126, 65535, 65536, (1 << 20) + 3];
const fail = (why) => {
  console.error('FAIL: ' + why);
  process.exit(1);
};
setTimeout(() => fail('timed out'), 20000).unref();

const pattern = (n, k) => {
  const b = Buffer.alloc(n);
  for (let i = 0; i < n; i++) b[i] = (i * 7 + k) & 255;
  return b;
};

const ws = new WebSocket(`ws://127.0.0.1:${port}/frames`);
ws.binaryType = 'nodebuffer';
ws.on('error', (e) => fail('socket error: ' + e.message));

let got = 0;
let pong = null;
ws.on('pong', (data) => { pong = data.toString(); });
ws.on('message', (data, isBinary) => {
  if (!isBinary) fail('text message from the server');
  if (got >= SIZES.length) fail('more messages than sent');
  if (!data.equals(pattern(SIZES[got], got))) fail(`message ${got} of ${data.length} bytes differs`);
  got++;
  if (got < SIZES.length) return;

  ws.send(Buffer.from('frag-'), { binary: true, fin: false });
  ws.ping(Buffer.from('between'));
  ws.send(Buffer.from('mented'), { binary: true, fin: true });
  ws.send('text ok');
  ws.send(pattern(3 << 20, 9), { binary: true });
  ws.close(1001, 'a reason that is not echoed');
});
ws.on('close', (code, reason) => {
  if (got !== SIZES.length) fail('closed after ' + got + ' messages');
  if (pong !== 'between') fail('no pong for the ping between fragments');
  if (code !== 1001 || reason.length !== 0) fail(`close echo ${code} "${reason}"`);
  console.log('ok');
  process.exit(0);
});
