// The page under the load of ordinary use, against the real daemon: a long file keeps to
// its pane, and chatty programs neither freeze the tab nor grow it without bound.
import assert from 'node:assert/strict';
import { after, before, describe, test } from 'node:test';
import {
  makeProject, missingPrerequisite, newPage, screenshot, startBrowser, startDaemon, stopAll, terminalText, waitFor,
} from './harness.mjs';

const skip = missingPrerequisite() || false;
const MB = 1024 * 1024;

// Whether the middle of an element is what a click there would hit.
const clickable = (locator) => locator.evaluate((n) => {
  const r = n.getBoundingClientRect();
  return r.right <= innerWidth && r.bottom <= innerHeight && document.elementFromPoint(r.x + r.width / 2, r.y + r.height / 2) === n;
});

describe('panes and output under load', { skip, timeout: 240_000 }, () => {
  let page;
  let cdp;
  let received = 0;

  before(async () => {
    const lines = Array.from({ length: 3000 }, (_, i) => `line ${i + 1} ${'x'.repeat(i === 1500 ? 2000 : 20)}`);
    const root = makeProject({ 'long.txt': `${lines.join('\n')}\n` });
    const daemon = await startDaemon({ root, env: { DRAVIK: '' } });
    page = await newPage(await startBrowser());
    cdp = await page.context().newCDPSession(page);
    page.on('websocket', (ws) => ws.on('framereceived', ({ payload }) => (received += payload.length)));
    await page.goto(daemon.links[0]);
    await page.locator('#conn-state[data-state="connected"]').waitFor();
  });
  after(stopAll);

  test('a 3,000-line file stays inside the editor pane', async () => {
    await page.getByRole('treeitem', { name: 'long.txt' }).click();
    const content = page.locator('#editor-host .cm-content');
    await content.click();
    await page.keyboard.press('Control+End');
    await page.keyboard.type('!');
    await waitFor(async () => (await page.locator('#status-pos').textContent()) === 'Ln 3001, Col 2', 'the cursor at the end');
    const geometry = () => page.evaluate(() => ({ y: scrollY, height: document.documentElement.scrollHeight, inner: innerHeight }));
    assert.deepEqual(await geometry(), { y: 0, height: 900, inner: 900 });
    assert.ok(await clickable(page.getByRole('textbox', { name: 'Command line' })), 'the command box is covered');
    assert.equal(await page.title(), '● long.txt — quelmar');
    // Find stays in the editor too, and the page still does not scroll.
    await page.keyboard.press('Control+f');
    await page.keyboard.type('line 1500');
    await page.keyboard.press('Enter');
    assert.equal((await geometry()).y, 0);
    await page.keyboard.press('Escape');
    await screenshot(page, 'long-file');

    // At 800×600 every pane is still there and the Run button can be pressed.
    await page.setViewportSize({ width: 800, height: 600 });
    assert.deepEqual(await geometry(), { y: 0, height: 600, inner: 600 });
    for (const name of ['Run', 'Save']) assert.ok(await clickable(page.getByRole('button', { name, exact: true })), name);
    await screenshot(page, 'small-window');
    await page.setViewportSize({ width: 1400, height: 900 });
  });

  test('seq 1 200000 reaches the screen within seconds and clicks still answer', async () => {
    // How long a click waits before its handler runs: a page busy with output makes it wait.
    await page.evaluate(() => {
      window.clickDelays = [];
      document.querySelector('#toggle-left').addEventListener('click', (e) => window.clickDelays.push(performance.now() - e.timeStamp));
    });
    await page.getByRole('textbox', { name: 'Command line' }).fill('seq 1 200000');
    await page.getByRole('button', { name: 'Run', exact: true }).click();
    const run = page.locator('.run').first();
    const lastLine = waitFor(async () => (await terminalText(run)).endsWith('\n199999\n200000'), 'the last line', 20_000);
    for (let i = 0; i < 6; i++) await page.locator('#toggle-left').click();
    await lastLine;
    const delays = await page.evaluate(() => window.clickDelays.sort((a, b) => a - b));
    assert.equal(delays.length, 6);
    assert.ok(delays[3] < 200, `clicks waited ${delays.map(Math.round).join(', ')} ms`);
  });

  test('a flood of 50 MB keeps the heap bounded and Kill at hand', async () => {
    const heapMb = async () => (await cdp.send('Runtime.getHeapUsage')).usedSize / MB;
    await page.getByRole('textbox', { name: 'Command line' }).fill(`yes ${'a'.repeat(99)}`);
    await page.getByRole('button', { name: 'Run', exact: true }).click();
    const start = received;
    let peak = 0;
    await waitFor(async () => {
      peak = Math.max(peak, await heapMb());
      return received - start >= 50 * MB;
    }, '50 MB of output', 120_000);
    const run = page.locator('.run').first();
    // A click goes through the browser's own processes, which a flood and a loaded machine
    // slow down even while the page itself answers at once.
    await run.getByRole('button', { name: 'Kill' }).click({ timeout: 15_000 });
    // Exit comes after the megabytes already in the socket buffers, which a loaded machine
    // takes a while to deliver to the page.
    await waitFor(async () => (await run.locator('.run-status').textContent()) === 'killed', 'the killed run', 30_000);
    peak = Math.max(peak, await heapMb());
    assert.ok(peak < 300, `the heap reached ${Math.round(peak)} MB`);
    assert.match(await terminalText(run), /a{99}/);
    await screenshot(page, 'flood');
    assert.deepEqual(page.problems, []);
  });
});
