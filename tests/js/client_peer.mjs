// An independent WebSocket server for our client side: prints "port N", accepts one
// connection on /vm/path, echoes every message, and exits 0 on a Close with code 1000.
import { WebSocketServer } from 'ws';

const fail = (why) => {
  console.error('FAIL: ' + why);
  process.exit(1);
};
setTimeout(() => fail('timed out'), 20000).unref();

const wss = new WebSocketServer({ host: '127.0.0.1', port: 0 });
wss.on('listening', () => console.log('port ' + wss.address().port));
wss.on('connection', (ws, req) => {
  if (req.url !== '/vm/path?x=1') fail('path ' + req.url);
  if (req.headers.origin !== undefined) fail('an Origin was sent');
  if (req.headers['sec-websocket-protocol'] !== undefined) fail('a subprotocol was asked for');
  if (req.headers['sec-websocket-extensions'] !== undefined) fail('an extension was asked for');
  ws.on('message', (data, isBinary) => ws.send(data, { binary: isBinary }));
  ws.on('close', (code) => {
    if (code !== 1000) fail('close code ' + code);
    console.log('ok');
    process.exit(0);
  });
});
