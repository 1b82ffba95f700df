// Shared pieces of the browser tests: the daemon under test, Chromium, small HTTP servers
// and temporary project trees. Everything started here is stopped by `stopAll`.
import { spawn } from 'node:child_process';
import { existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createServer } from 'node:http';
import { tmpdir } from 'node:os';
import { dirname, extname, join } from 'node:path';
import { fileURLToPath } from 'node:url';

export const CHROMIUM = '/usr/bin/chromium';
export const QUELMAR = process.env.QUELMAR_BIN ?? '';
export const DRAVIK = process.env.DRAVIK_BIN ?? '';
export const WEB_DIST = process.env.WEB_DIST ?? '';
export const OUT_DIR = process.env.WEB_TEST_OUTPUT ?? join(tmpdir(), 'web-test-output');

const WAIT_MS = 15_000;
const cleanups = [];

/** Runs every registered clean-up, newest first; safe to call more than once. */
export async function stopAll() {
  while (cleanups.length) {
    try {
      await cleanups.pop()();
    } catch {
      // A clean-up that fails must not keep the others from running.
    }
  }
}

export function tempDir(prefix) {
  const dir = mkdtempSync(join(tmpdir(), prefix));
  cleanups.push(() => rmSync(dir, { recursive: true, force: true }));
  return dir;
}

/** A project tree from {relative path: content}. */
export function makeProject(files) {
  const root = tempDir('quelmar-web-project-');
  for (const [rel, content] of Object.entries(files)) {
    mkdirSync(dirname(join(root, rel)), { recursive: true });
    writeFileSync(join(root, rel), content);
  }
  return root;
}

/** Polls `check` until it returns a truthy value or the wait runs out. */
export async function waitFor(check, what, ms = WAIT_MS) {
  const end = Date.now() + ms;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}`);
    await new Promise((r) => setTimeout(r, 50));
  }
}

/** Starts the built quelmar on a free port; resolves once its links are printed. */
export async function startDaemon({ root, args = [], env = {} }) {
  // Hook directories go below XDG_RUNTIME_DIR; a daemon that is killed leaves them behind.
  const runtime = tempDir('quelmar-web-run-');
  const child = spawn(QUELMAR, ['--port', '0', '--root', root, '--web', WEB_DIST, ...args], {
    env: { ...process.env, XDG_RUNTIME_DIR: runtime, ...env },
    stdio: ['ignore', 'pipe', 'pipe'],
  });
  const daemon = { child, stdout: '', stderr: '', links: [] };
  const exited = new Promise((r) => child.once('exit', r));
  cleanups.push(async () => {
    if (child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
    await exited;
  });
  child.stdout.on('data', (d) => (daemon.stdout += d));
  child.stderr.on('data', (d) => (daemon.stderr += d));
  const expected = args.includes('--site-url') ? 2 : 1;
  await waitFor(() => {
    if (child.exitCode !== null) throw new Error(`quelmar exited: ${daemon.stderr}`);
    return daemon.stdout.split('\n').filter(Boolean).length >= expected;
  }, 'the daemon to print its links');
  daemon.links = daemon.stdout.split('\n').filter(Boolean);
  const first = new URL(daemon.links[0]);
  daemon.port = Number(first.port);
  daemon.token = first.searchParams.get('t');
  return daemon;
}

const TYPES = { '.svg': 'image/svg+xml', '.html': 'text/html; charset=utf-8', '.js': 'text/javascript; charset=utf-8', '.css': 'text/css', '.map': 'application/json' };

/**
 * An HTTP server on 127.0.0.1 and a free port. `route(req, res)` may answer a request and
 * return true; otherwise the file of that name from `dir` is served, with `headers` added.
 */
export async function startServer({ dir = WEB_DIST, headers = () => ({}), route = () => false, transform = (_n, b) => b } = {}) {
  const requests = [];
  const server = createServer((req, res) => {
    requests.push(req.url);
    if (route(req, res)) return;
    const name = new URL(req.url, 'http://x').pathname.replace(/^\/+/, '') || 'index.html';
    const file = join(dir, name);
    if (name.includes('/') || !existsSync(file)) {
      res.writeHead(404, { 'Content-Type': 'text/plain' }).end('not found');
      return;
    }
    res.writeHead(200, { 'Content-Type': TYPES[extname(name)] ?? 'application/octet-stream', 'Cache-Control': 'no-store', ...headers(name) });
    res.end(transform(name, readFileSync(file)));
  });
  const sockets = new Set();
  server.on('connection', (s) => {
    sockets.add(s);
    s.on('close', () => sockets.delete(s));
  });
  await new Promise((r) => server.listen(0, '127.0.0.1', r));
  cleanups.push(() => new Promise((r) => {
    for (const s of sockets) s.destroy();
    server.close(r);
  }));
  return { server, requests, port: server.address().port, origin: `http://127.0.0.1:${server.address().port}` };
}

/**
 * Debian's Chromium, headless, with a fresh profile; the console is collected per page.
 * `args` are further command-line switches, `options` further context options.
 */
export async function startBrowser({ args = [], options = {} } = {}) {
  const { chromium } = await import('playwright-core');
  const profile = tempDir('quelmar-web-chromium-');
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    viewport: { width: 1400, height: 900 },
    args: [
      '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      ...args,
    ],
    ...options,
  });
  cleanups.push(() => context.close());
  return context;
}

/** A new page whose console errors and uncaught exceptions are kept in `page.problems`. */
export async function newPage(context) {
  const page = await context.newPage();
  page.problems = [];
  page.on('console', (m) => {
    if (m.type() === 'error') page.problems.push(m.text());
  });
  page.on('pageerror', (e) => page.problems.push(`uncaught: ${e.message}`));
  return page;
}

/** The rows a run's terminal shows, without trailing blanks, one line each. */
export async function terminalText(run) {
  const rows = await run.locator('.xterm-rows > div').evaluateAll((divs) => divs.map((d) => d.textContent.trimEnd()));
  return rows.join('\n').trimEnd();
}

/**
 * The run's terminal text, once it reads as expected or the wait runs out. A run's state
 * changes at once, and its last output is drawn at the next frame.
 */
export async function settledText(run, expected, normalize = (t) => t) {
  let text = '';
  try {
    await waitFor(async () => (text = normalize(await terminalText(run))) === expected, 'the output');
  } catch {
    // The caller's assertion shows what the terminal holds instead.
  }
  return text;
}

export async function screenshot(page, name) {
  mkdirSync(OUT_DIR, { recursive: true });
  await page.screenshot({ path: join(OUT_DIR, `${name}.png`) });
}

/** Why the browser tests cannot run here, or '' when they can. */
export function missingPrerequisite() {
  if (!existsSync(CHROMIUM)) return `${CHROMIUM} is not installed (apt-get install chromium)`;
  const here = dirname(fileURLToPath(import.meta.url));
  if (!existsSync(join(here, 'node_modules', 'playwright-core'))) return 'playwright-core is not installed (make js-deps)';
  if (!QUELMAR || !existsSync(QUELMAR)) return 'QUELMAR_BIN does not name the built quelmar';
  if (!WEB_DIST || !existsSync(join(WEB_DIST, 'index.html'))) return 'there is no web build (make web)';
  return '';
}
