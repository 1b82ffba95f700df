// A VM service for the relay tests: an echo WebSocket server built on the `ws` package.
// Prints "port N" once listening. Echoes every message with its own type; on the text
// "ping-me" it pings the client and reports the pong's payload as "got-pong:<payload>";
// on the text "path?" it answers with the request path and Host it was reached with.
// It greets every client with the text "welcome" right after the handshake.
import { WebSocketServer } from 'ws';

const host = process.argv[2] || '127.0.0.1';
const wss = new WebSocketServer({ host, port: 0, perMessageDeflate: false, maxPayload: 0 });

wss.on('listening', () => {
    process.stdout.write(`port ${wss.address().port}\n`);
});
wss.on('error', (err) => {
    process.stdout.write(`error ${err.code}\n`);
    process.exit(1);
});

wss.on('connection', (ws, req) => {
    ws.send('welcome');
    ws.on('message', (data, isBinary) => {
        if (!isBinary && data.toString() === 'ping-me') {
            ws.ping('srv-ping');
            return;
        }
        if (!isBinary && data.toString() === 'path?') {
            ws.send(`${req.url} ${req.headers.host}`);
            return;
        }
        ws.send(data, { binary: isBinary });
    });
    ws.on('pong', (data) => ws.send(`got-pong:${data.toString()}`));
});

// The test kills this process; stdin closing is the signal when the test dies first.
process.stdin.on('end', () => process.exit(0));
process.stdin.resume();
