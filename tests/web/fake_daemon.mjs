// A stand-in for the daemon's tunnel side: serves the web build as the tunnel does (marked
// index.html, the tunnel's security headers) and speaks the session protocol on /ws, so the
// page's tunnel road, notices, program output and reconnection can be driven from a test.
import { WebSocketServer } from 'ws';
import { startServer } from './harness.mjs';

export const TUNNEL_CSP = "default-src 'self'; script-src 'self' 'wasm-unsafe-eval'; style-src 'self'; connect-src 'self'; img-src 'self' blob: data:; object-src 'none'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
const MARKER = '<meta name="quelmar" content="tunnel">';

const HTML_HEADERS = {
  'X-Content-Type-Options': 'nosniff',
  'Cross-Origin-Resource-Policy': 'same-origin',
  'Referrer-Policy': 'no-referrer',
  'X-Frame-Options': 'DENY',
  'Content-Security-Policy': TUNNEL_CSP,
  'Cross-Origin-Opener-Policy': 'same-origin',
};

const message = (kind, id, payload) => {
  const body = Buffer.from(payload ?? '');
  const head = Buffer.alloc(5);
  head[0] = kind;
  head.writeUInt32LE(id, 1);
  return Buffer.concat([head, body]);
};

const envelope = (reply, data = Buffer.alloc(0)) => {
  const json = Buffer.from(JSON.stringify({ ok: true, err: '', kind: '', size: 0, mtime: 0, entries: [], kinds: '', ...reply }));
  const n = Buffer.alloc(4);
  n.writeUInt32LE(json.length);
  return Buffer.concat([n, json, data]);
};

/** files: {relative path: text}; the session root is "/project". */
export async function startFakeDaemon({ token, files }) {
  const root = '/project';
  const state = { sessions: [], texts: [], upgrades: [], spawns: [], output: '', files: new Map(Object.entries(files)) };
  const wss = new WebSocketServer({ noServer: true, handleProtocols: (protocols) => (protocols.has('editor.v1') ? 'editor.v1' : false) });
  // The daemon's answers to POST /fs: "bad token" for a wrong one; with the right one the
  // page only ever sends the empty probe here, which the daemon calls a bad request.
  const route = (req, res) => {
    if (req.method !== 'POST' || req.url !== '/fs') return false;
    if (req.headers['x-editor-token'] !== token) res.writeHead(403, { 'Content-Type': 'text/plain' }).end('bad token');
    else res.writeHead(200, { 'Content-Type': 'application/octet-stream' }).end(envelope({ ok: false, err: 'bad request' }));
    return true;
  };
  const http = await startServer({
    route,
    headers: (name) => (name.endsWith('.html') ? HTML_HEADERS : { 'X-Content-Type-Options': 'nosniff' }),
    transform: (name, body) => (name === 'index.html' ? Buffer.from(body.toString().replace('<head>', `<head>${MARKER}`)) : body),
  });
  http.server.on('upgrade', (req, socket, head) => {
    const protocols = (req.headers['sec-websocket-protocol'] ?? '').split(',').map((s) => s.trim());
    state.upgrades.push({ url: req.url, protocols, origin: req.headers.origin });
    const ok = req.url === '/ws' && protocols.length === 2 && protocols[0] === 'editor.v1' && protocols[1] === `tok.${token}`;
    if (!ok) {
      socket.end('HTTP/1.1 403 Forbidden\r\nContent-Length: 9\r\nConnection: close\r\n\r\nbad token');
      return;
    }
    wss.handleUpgrade(req, socket, head, (ws) => session(ws));
  });

  const session = (ws) => {
    state.sessions.push(ws);
    ws.send(message(0, 0, JSON.stringify({ version: 1, root, home: '/home/u', platform: 'linux', perm_helper: '', has_anthropic_key: false, vm_relay: true })));
    ws.on('message', (data, isBinary) => {
      if (!isBinary) {
        state.texts.push(data.toString());
        return;
      }
      if (data.length >= 5 && data[0] === 1) {
        // Every program prints `state.output` and ends with status 0.
        const id = data.readUInt32LE(1);
        state.spawns.push(JSON.parse(data.subarray(5).toString()));
        ws.send(message(10, id, state.output));
        ws.send(message(12, id, Buffer.alloc(4)));
        return;
      }
      if (data.length < 5 || data[0] !== 5) return;
      const id = data.readUInt32LE(1);
      const n = data.readUInt32LE(5);
      const req = JSON.parse(data.subarray(9, 9 + n).toString());
      const rel = (req.path ?? '').slice(root.length + 1);
      let reply;
      if (req.op === 'walk') {
        const names = [...state.files.keys()];
        reply = envelope({ size: names.length }, Buffer.from(names.join('\0')));
      } else if (req.op === 'read' && state.files.has(rel)) {
        const body = Buffer.from(state.files.get(rel));
        reply = envelope({ size: body.length, mtime: 1 }, body);
      } else if (req.op === 'stat' && state.files.has(rel)) {
        reply = envelope({ kind: 'file', mtime: 1 });
      } else if (req.op === 'write') {
        state.files.set(rel, data.subarray(9 + n).toString());
        reply = envelope({ mtime: 1 });
      } else {
        reply = envelope({ ok: false, err: 'Not_Exist' });
      }
      ws.send(message(13, id, reply));
    });
  };

  return {
    ...http,
    state,
    notice: (text) => {
      for (const ws of state.sessions) if (ws.readyState === ws.OPEN) ws.send(message(16, 0, text));
    },
    dropAll: () => {
      for (const ws of state.sessions) ws.terminate();
    },
    close: () => wss.close(),
  };
}
