// The site link (a page on another origin that the daemon trusts, reaching it by WebSocket
// and by POST /fs with CORS) and the attack the Origin check stops: a page the daemon does
// not trust, even one that knows the token.
import assert from 'node:assert/strict';
import { existsSync, readFileSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, describe, test } from 'node:test';
import {
  makeProject, missingPrerequisite, newPage, screenshot, startBrowser, startDaemon, startServer, stopAll, waitFor,
} from './harness.mjs';

const skip = missingPrerequisite() || false;

describe('pages on other origins', { skip, timeout: 120_000 }, () => {
  let context;
  before(async () => {
    context = await startBrowser();
  });
  after(stopAll);

  test('the site link works through the WebSocket and POST /fs with CORS', async () => {
    const root = makeProject({ 'notes/todo.md': '- one\n', 'README': 'site\n' });
    const site = await startServer();
    const daemon = await startDaemon({ root, args: ['--site-url', `${site.origin}/index.html`] });
    const page = await newPage(context);
    const fsCalls = [];
    page.on('request', (r) => {
      if (r.url().endsWith('/fs')) fsCalls.push(`${r.method()} ${r.headers()['x-editor-token'] ?? ''}`);
    });
    await page.goto(daemon.links[1]);
    await page.locator('#conn-state[data-state="connected"]').waitFor();
    assert.equal(page.url(), `${site.origin}/index.html`, 'the fragment with port and token is gone');
    await page.locator('.tree-row[data-path="README"]').waitFor();
    assert.ok(fsCalls.length > 0 && fsCalls.every((c) => c === `POST ${daemon.token}`), fsCalls.join(', '));

    await page.locator('.tree-row[data-path="README"]').click();
    const content = page.locator('#editor-host .cm-content');
    await waitFor(async () => (await content.textContent()).includes('site'), 'the file in the editor');
    await content.click();
    await page.keyboard.press('Control+End');
    await page.keyboard.type('edited');
    await page.keyboard.press('Control+s');
    await waitFor(() => readFileSync(join(root, 'README'), 'utf8') === 'site\nedited', 'the bytes on disk');
    await screenshot(page, 'site-link');
    assert.ok(!site.requests.some((u) => u.includes(daemon.token)), 'the token never reached the site server');
    assert.deepEqual(page.problems, []);
    await page.close();
  });

  test('a foreign page with the right token is refused, and reported once', async () => {
    const root = makeProject({ 'secret.txt': 'keep out\n' });
    const daemon = await startDaemon({ root });
    const evil = await startServer({
      route: (_req, res) => (res.writeHead(200, { 'Content-Type': 'text/html' }).end('<!doctype html><title>elsewhere</title>'), true),
    });
    const page = await newPage(context);
    await page.goto(`${evil.origin}/`);
    const outcome = await page.evaluate(async ({ port, token, root }) => {
      const ws = await new Promise((resolve) => {
        const sock = new WebSocket(`ws://127.0.0.1:${port}/ws?t=${token}`);
        sock.onopen = () => resolve('opened');
        sock.onclose = () => resolve('refused');
      });
      const json = new TextEncoder().encode(JSON.stringify({ op: 'write', path: `${root}/planted.txt` }));
      const body = new Uint8Array(4 + json.length + 3);
      new DataView(body.buffer).setUint32(0, json.length, true);
      body.set(json, 4);
      body.set([0x62, 0x61, 0x64], 4 + json.length);
      const tries = [];
      for (const mode of ['cors', 'no-cors']) {
        try {
          const headers = mode === 'cors' ? { 'X-Editor-Token': token } : { 'Content-Type': 'text/plain' };
          const r = await fetch(`http://127.0.0.1:${port}/fs`, { method: 'POST', mode, headers, body });
          tries.push(`${mode}: answered ${r.type}`);
        } catch {
          tries.push(`${mode}: refused`);
        }
      }
      return { ws, tries };
    }, { port: daemon.port, token: daemon.token, root });
    assert.equal(outcome.ws, 'refused');
    assert.deepEqual(outcome.tries, ['cors: refused', 'no-cors: answered opaque']);
    assert.ok(!existsSync(join(root, 'planted.txt')), 'the foreign page wrote a file');

    // The first tab of the daemon's own page still works after the refusals.
    const own = await newPage(context);
    await own.goto(daemon.links[0]);
    await own.locator('.tree-row[data-path="secret.txt"]').waitFor();
    const line = `quelmar: refused a page from "${evil.origin}"`;
    await waitFor(() => daemon.stderr.includes(line), 'the refusal in the log');
    assert.equal(daemon.stderr.split('\n').filter((l) => l.startsWith(line)).length, 1, daemon.stderr);
    await page.close();
    await own.close();
  });
});
