// The tunnel link in Chromium against the real daemon: a fake cloudflared announces a quick
// host, a TLS terminator on 127.0.0.1 stands in for Cloudflare's edge (adding the visitor's
// address and country as the edge does), and the browser resolves the host to it.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { chmodSync, readFileSync, writeFileSync } from 'node:fs';
import { connect } from 'node:net';
import { join } from 'node:path';
import { createServer } from 'node:tls';
import { after, before, describe, test } from 'node:test';
import { makeProject, missingPrerequisite, newPage, screenshot, startBrowser, startDaemon, stopAll, tempDir, waitFor } from './harness.mjs';

const HOST = 'run1-quiet-lake.trycloudflare.com';
const VISITOR = '203.0.113.7';
const HEAD_LIMIT = 65_536;

function openssl() {
  try {
    execFileSync('openssl', ['version'], { stdio: 'ignore' });
    return '';
  } catch {
    return 'openssl is not installed (apt-get install openssl)';
  }
}
const skip = missingPrerequisite() || openssl() || false;

// Prints what cloudflared prints up to its registration, records the origin it was given,
// and ends with the daemon even when the daemon is killed outright.
function fakeCloudflared(dir) {
  const path = join(dir, 'cloudflared');
  writeFileSync(path, `#!/bin/sh
if [ "$1" = --version ]; then echo 'cloudflared version 2024.2.1 (built 2024-02-20-1200 UTC)'; exit 0; fi
printf '%s\\n' "$@" > '${dir}/argv.tmp' && mv '${dir}/argv.tmp' '${dir}/argv'
echo '2024-02-20T12:00:01Z INF |  https://${HOST}  |'
echo '2024-02-20T12:00:03Z INF Registered tunnel connection connIndex=0 location=ams01 protocol=quic'
while kill -0 "$PPID" 2>/dev/null; do sleep 0.1; done
`);
  chmodSync(path, 0o755);
  return path;
}

// TLS in front of the tunnel listener: the first request head of each connection gets the
// edge's visitor headers, then bytes pass both ways unchanged (WebSocket frames included).
async function startEdge(target, dir) {
  const key = join(dir, 'key.pem');
  const cert = join(dir, 'cert.pem');
  execFileSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1', '-nodes',
    '-keyout', key, '-out', cert, '-subj', `/CN=${HOST}`, '-days', '1'], { stdio: 'ignore' });
  const sockets = new Set();
  const track = (s) => {
    sockets.add(s);
    s.on('close', () => sockets.delete(s));
    s.on('error', () => s.destroy());
  };
  const server = createServer({ key: readFileSync(key), cert: readFileSync(cert) }, (client) => {
    track(client);
    let head = Buffer.alloc(0);
    const onData = (chunk) => {
      head = Buffer.concat([head, chunk]);
      const end = head.indexOf('\r\n\r\n');
      if (end < 0) {
        if (head.length > HEAD_LIMIT) client.destroy();
        return;
      }
      client.off('data', onData);
      client.pause();
      const lineEnd = head.indexOf('\r\n') + 2;
      const added = `CF-Connecting-IP: ${VISITOR}\r\nCF-IPCountry: NL\r\n`;
      const upstream = connect(target, '127.0.0.1', () => {
        upstream.write(Buffer.concat([head.subarray(0, lineEnd), Buffer.from(added), head.subarray(lineEnd)]));
        client.pipe(upstream);
        upstream.pipe(client);
        client.resume();
      });
      track(upstream);
      upstream.on('close', () => client.destroy());
      client.on('close', () => upstream.destroy());
    };
    client.on('data', onData);
  });
  track(server);
  server.on('connection', track);
  await new Promise((r) => server.listen(0, '127.0.0.1', r));
  return {
    port: server.address().port,
    close: () => new Promise((r) => {
      for (const s of sockets) s.destroy?.();
      server.close(r);
    }),
  };
}

describe('the tunnel link through the edge', { skip, timeout: 120_000 }, () => {
  let root;
  let daemon;
  let edge;
  let local;
  let remote;
  let tunnelLink;

  before(async () => {
    root = makeProject({ 'notes.md': '# notes\n' });
    const fakeDir = tempDir('quelmar-web-cloudflared-');
    daemon = await startDaemon({ root, args: ['--tunnel', '--cloudflared', fakeCloudflared(fakeDir)], env: { DRAVIK: '' } });
    tunnelLink = await waitFor(() => daemon.stdout.split('\n').find((l) => l.startsWith(`https://${HOST}/`)), 'the tunnel link');
    const argv = await waitFor(() => {
      try {
        return readFileSync(join(fakeDir, 'argv'), 'utf8').split('\n');
      } catch {
        return null;
      }
    }, 'the origin given to cloudflared');
    const origin = new URL(argv[argv.indexOf('--url') + 1]);
    edge = await startEdge(Number(origin.port), fakeDir);
    const context = await startBrowser({
      args: [`--host-resolver-rules=MAP ${HOST} 127.0.0.1:${edge.port}`],
      options: { ignoreHTTPSErrors: true },
    });
    local = await newPage(context);
    await local.goto(daemon.links[0]);
    await local.locator('#conn-state[data-state="connected"]').waitFor();
    remote = await newPage(context);
    await remote.goto(tunnelLink);
    await remote.locator('#conn-state[data-state="connected"]').waitFor();
  });
  after(async () => {
    await stopAll();
    await edge?.close();
  });

  test('the page comes from the tunnel and keeps the token out of every URL', async () => {
    assert.equal(remote.url(), `https://${HOST}/`);
    assert.equal(await remote.locator('body').getAttribute('data-mode'), 'tunnel');
    assert.ok(!daemon.stderr.includes(new URL(tunnelLink).hash.slice(3)), 'the token reached the log');
    assert.match(daemon.stderr, new RegExp(`tunnel tab connected from "${VISITOR.replaceAll('.', '\\.')}" \\(NL\\)`));
  });

  test('the editor works under the tunnel policy', async () => {
    await remote.locator('.tree-row[data-path="notes.md"]').click();
    const content = remote.locator('#editor-host .cm-content');
    await waitFor(async () => (await content.textContent()).includes('# notes'), 'the file in the editor');
    await content.click();
    await remote.keyboard.press('Control+End');
    await remote.keyboard.type('saved through the edge');
    await remote.keyboard.press('Control+s');
    await waitFor(() => readFileSync(join(root, 'notes.md'), 'utf8') === '# notes\nsaved through the edge', 'the bytes on disk');
    await screenshot(remote, 'edge-tunnel-tab');
  });

  test('the local tab is told who connected', async () => {
    const notices = local.locator('.notice-text');
    await waitFor(async () => (await notices.allTextContents()).some((t) => t.startsWith(`A tab connected through the tunnel from ${VISITOR} (NL).`)), 'the connection notice');
    await screenshot(local, 'edge-local-notice');
  });

  test('neither page raised errors', () => {
    assert.deepEqual(local.problems, []);
    assert.deepEqual(remote.problems, []);
  });
});
