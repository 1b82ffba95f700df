// Figures for the editor page in Debian's Chromium against the built daemon, one run, one
// machine: link to tree, a 5 MB file, typing in it, `seq 1 200000` on screen against a plain
// WebSocket client receiving the same output, and the tab's heap after 50 MB of output.
//
//   node bench/web_page.mjs [build-dir]        (after `make`, `make web` and `make js-deps`)
import { createRequire } from 'node:module';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

const top = resolve(dirname(fileURLToPath(import.meta.url)), '..');
const build = resolve(process.argv[2] ?? join(top, 'build'));
process.env.QUELMAR_BIN ??= join(build, 'quelmar');
process.env.WEB_DIST ??= join(top, 'web', 'dist');
const harness = await import('../tests/web/harness.mjs');
const { default: WebSocket } = { default: createRequire(join(top, 'tests/web/package.json'))('ws') };
const { makeProject, missingPrerequisite, startBrowser, startDaemon, stopAll, waitFor } = harness;

const why = missingPrerequisite();
if (why) {
  console.error(`web_page: ${why}`);
  process.exit(1);
}

const MB = 1024 * 1024;
const SEQ_LINE = 'seq 1 200000';
const SHELL_TRAMPOLINE = 'exec "${SHELL:-/bin/sh}" -c "$1"';
const median = (xs) => [...xs].sort((a, b) => a - b)[Math.floor(xs.length / 2)];
const p95 = (xs) => [...xs].sort((a, b) => a - b)[Math.min(xs.length - 1, Math.floor(xs.length * 0.95))];
const ms = (x) => `${Math.round(x)} ms`;

// A 5 MB C file of ordinary-looking lines.
function bigSource() {
  const lines = [];
  let size = 0;
  for (let i = 1; size < 5 * MB; i++) {
    const line = `int value_${i} = compute(${i}, "${'x'.repeat(40)}"); // line ${i}`;
    lines.push(line);
    size += line.length + 1;
  }
  return { text: `${lines.join('\n')}\n`, last: lines.at(-1) };
}

// The same program as the page runs, over a bare WebSocket: Spawn, then every byte until Exit.
// `pty`: in a terminal of that size, as the page runs it; null: with pipes.
function rawClient(port, token, line, pty = null) {
  return new Promise((done, fail) => {
    const ws = new WebSocket(`ws://127.0.0.1:${port}/ws?t=${token}`);
    let bytes = 0;
    let start = 0;
    ws.on('message', (data) => {
      const kind = data[0];
      if (kind === 0) {
        const spawn = JSON.stringify({ argv: ['/bin/sh', '-c', SHELL_TRAMPOLINE, 'sh', line], cwd: '', env: {}, stderr: 'merge', unset: [], ...(pty ? { pty } : {}) });
        const msg = Buffer.concat([Buffer.from([1, 1, 0, 0, 0]), Buffer.from(spawn)]);
        start = performance.now();
        ws.send(msg);
      } else if (kind === 10) bytes += data.length - 5;
      else if (kind === 12) {
        const took = performance.now() - start;
        ws.close();
        done({ took, bytes });
      }
    });
    ws.on('error', fail);
  });
}

const big = bigSource();
const root = makeProject({ 'big.c': big.text, 'README': 'bench\n' });
const daemon = await startDaemon({ root, env: { DRAVIK: '' } });
const context = await startBrowser();
const page = await context.newPage();
const cdp = await context.newCDPSession(page);
const figures = [];
const note = (name, value) => {
  figures.push([name, value]);
  console.log(`${name}: ${value}`);
};

let received = 0;
page.on('websocket', (ws) => ws.on('framereceived', ({ payload }) => (received += payload.length)));

// In the page: from a click on Run to the frame whose terminal shows `last` as its last line.
const runToLastLine = (last) => page.evaluate((last) => new Promise((done) => {
  const start = performance.now();
  const frame = () => {
    const rows = [...(document.querySelector('.run')?.querySelectorAll('.xterm-rows > div') ?? [])].map((d) => d.textContent.trim()).filter(Boolean);
    if (rows.at(-1) === last) done(performance.now() - start);
    else requestAnimationFrame(frame);
  };
  requestAnimationFrame(frame);
  document.querySelector('#run').click();
}), last);

try {
  // Link open to tree shown: a first visit, and a reload with everything cached.
  let t = performance.now();
  await page.goto(daemon.links[0]);
  await page.getByRole('treeitem', { name: 'big.c' }).waitFor();
  note('link open to tree shown', ms(performance.now() - t));
  t = performance.now();
  await page.reload();
  await page.getByRole('treeitem', { name: 'big.c' }).waitFor();
  note('reload to tree shown', ms(performance.now() - t));

  // A 5 MB file: opened and shown, then its last line after Ctrl+End.
  t = performance.now();
  await page.getByRole('treeitem', { name: 'big.c' }).click();
  const content = page.locator('#editor-host .cm-content');
  await waitFor(async () => (await content.textContent()).includes('int value_1 '), 'the file', 60_000);
  note('5 MB file: click to first lines shown', ms(performance.now() - t));
  await content.click();
  t = performance.now();
  await page.keyboard.press('Control+End');
  await page.keyboard.press('ArrowUp');
  await waitFor(async () => (await content.textContent()).includes(big.last), 'the last line', 60_000);
  note('5 MB file: Ctrl+End to last line shown', ms(performance.now() - t));

  // Typing: from each key's event to the next frame, with the edit applied; first right
  // after the jump (the editor still parses the file), then once it has settled.
  await page.evaluate(() => {
    window.keyLatency = [];
    document.addEventListener('keydown', (e) => {
      requestAnimationFrame(() => window.keyLatency.push(performance.now() - e.timeStamp));
    }, true);
  });
  for (const when of ['right after the jump', 'after 3 s']) {
    if (when !== 'right after the jump') await page.waitForTimeout(3000);
    await page.evaluate(() => (window.keyLatency = []));
    await page.keyboard.type('typed in a five megabyte file;', { delay: 30 });
    const keys = await page.evaluate(() => window.keyLatency);
    note(`typing in the 5 MB file ${when}, key to next frame`, `median ${median(keys).toFixed(1)} ms, p95 ${p95(keys).toFixed(1)} ms (${keys.length} keys)`);
  }

  // seq 1 200000: raw client first, then the page, same daemon, same machine.
  // The page runs it in a terminal, whose line discipline alone costs more than pipes; the
  // plain client is measured both ways.
  const rawFigure = async (pty, how) => {
    const raw = [];
    for (let i = 0; i < 3; i++) raw.push(await rawClient(daemon.port, daemon.token, SEQ_LINE, pty));
    const took = median(raw.map((r) => r.took));
    note(`seq 1 200000, plain WebSocket client ${how}, Spawn to Exit`, `${ms(took)} (${(raw[0].bytes / MB).toFixed(2)} MB; median of 3)`);
    return took;
  };
  const pipesMs = await rawFigure(null, 'with pipes');
  const rawMs = await rawFigure({ cols: 120, rows: 30 }, 'in a terminal');
  const pageRuns = [];
  for (let i = 0; i < 3; i++) {
    await page.getByRole('textbox', { name: 'Command line' }).fill(SEQ_LINE);
    pageRuns.push(await runToLastLine('200000'));
  }
  const pageMs = median(pageRuns);
  note('seq 1 200000, the page, Run to last line on screen', `${ms(pageMs)} (median of 3: ${pageRuns.map(ms).join(', ')})`);
  note('seq 1 200000, page against plain client in a terminal / with pipes', `${(pageMs / rawMs).toFixed(1)}× / ${(pageMs / pipesMs).toFixed(1)}×`);

  // 50 MB of output, then the heap.
  const heap = async () => (await cdp.send('Runtime.getHeapUsage')).usedSize / MB;
  await page.getByRole('textbox', { name: 'Command line' }).fill(`yes ${'a'.repeat(99)} | head -c ${50 * MB}`);
  t = performance.now();
  const before = received;
  await page.getByRole('button', { name: 'Run', exact: true }).click();
  let peak = 0;
  await waitFor(async () => {
    peak = Math.max(peak, await heap());
    return (await page.locator('.run-status').first().textContent()) === 'exit 0';
  }, 'the end of the flood', 300_000);
  const flood = performance.now() - t;
  await page.evaluate(() => new Promise((r) => requestAnimationFrame(() => setTimeout(r, 500))));
  await cdp.send('HeapProfiler.collectGarbage');
  note('50 MB of output: received and drawn', `${ms(flood)} (${((received - before) / MB).toFixed(1)} MB received)`);
  note('tab JS heap during / after 50 MB', `peak ${peak.toFixed(1)} MB, after ${(await heap()).toFixed(1)} MB`);
} finally {
  await stopAll();
}
