// The tab side of the relay tests: a `ws` client that runs one fixed exchange through the
// relay and prints one line per event it observes. Exit status 0 when the exchange ends
// with the close echo, 1 on any error or after 20 s.
import { WebSocket } from 'ws';
import { randomBytes } from 'node:crypto';

const url = process.argv[2];
const out = (line) => process.stdout.write(line + '\n');
setTimeout(() => { out('timeout'); process.exit(1); }, 20000).unref();

const ws = new WebSocket(url, { perMessageDeflate: false, maxPayload: 0 });
const queue = [];
let waiter = null;
const push = (ev) => { if (waiter) { const w = waiter; waiter = null; w(ev); } else queue.push(ev); };
const next = () => queue.length ? Promise.resolve(queue.shift()) : new Promise((r) => { waiter = r; });

ws.on('message', (data, isBinary) => push({ kind: 'message', data, isBinary }));
ws.on('ping', (data) => push({ kind: 'ping', data }));
ws.on('pong', (data) => push({ kind: 'pong', data }));
ws.on('close', (code, reason) => push({ kind: 'close', code, reason }));
ws.on('error', (err) => { out(`error ${err.message}`); process.exit(1); });
ws.on('unexpected-response', (req, res) => { out(`unexpected ${res.statusCode}`); process.exit(1); });

const show = (ev) => {
    if (ev.kind === 'message')
        return ev.isBinary ? `binary ${ev.data.toString('hex')}` : `text ${ev.data.toString()}`;
    if (ev.kind === 'close') return `close ${ev.code} ${ev.reason.toString()}`;
    return `${ev.kind} ${ev.data.toString()}`;
};

ws.on('open', async () => {
    out(`open ${ws.protocol || '-'} ${ws.extensions || '-'}`);
    out(show(await next()));  // the service's greeting

    ws.send('hello');
    out(show(await next()));
    ws.send(Buffer.from([0, 1, 2, 255]));
    out(show(await next()));
    ws.send('path?');
    out(show(await next()));

    // One text message in three frames: the service must see it whole.
    ws.send('frag', { fin: false });
    ws.send('men', { fin: false });
    ws.send('ted', { fin: true });
    out(show(await next()));

    ws.ping('cli-ping');
    out(show(await next()));
    ws.send('ping-me');
    out(show(await next()));  // the service's ping
    out(show(await next()));  // its report of our automatic pong

    // Large binary messages cross many relay buffers in both directions.
    for (const size of [65536, 4 * 1024 * 1024 + 7]) {
        const blob = randomBytes(size);
        ws.send(blob);
        const ev = await next();
        const same = ev.kind === 'message' && ev.isBinary && Buffer.compare(ev.data, blob) === 0;
        out(`large ${size} ${same ? 'same' : 'different'}`);
    }
    // Text with multi-byte characters.
    ws.send('grüße ✓');
    out(show(await next()));

    ws.close(4001, 'bye');
    const ev = await next();
    out(show(ev));
    process.exit(ev.kind === 'close' ? 0 : 1);
});
