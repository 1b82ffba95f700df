// The tunnel road of the page, against a stand-in daemon that serves it the way the tunnel
// does: the page marker, the token only in the fragment and the subprotocols, the strict
// content security policy (editor included), notices, the keep-alive and reconnection.
import assert from 'node:assert/strict';
import { after, before, describe, test } from 'node:test';
import { missingPrerequisite, newPage, screenshot, settledText, startBrowser, stopAll, terminalText, waitFor } from './harness.mjs';
import { startFakeDaemon } from './fake_daemon.mjs';

const skip = missingPrerequisite() || false;
const TOKEN = 'ab'.repeat(32);

describe('the tunnel link', { skip, timeout: 120_000 }, () => {
  let fake;
  let page;

  before(async () => {
    fake = await startFakeDaemon({ token: TOKEN, files: { 'main.py': 'def main():\n    return 1\n', 'lib/x.js': 'export const x = 1;\n' } });
    const context = await startBrowser();
    page = await newPage(context);
    await page.clock.install();
    await page.goto(`${fake.origin}/#t=${TOKEN}`);
    await page.locator('#conn-state[data-state="connected"]').waitFor();
  });
  after(async () => {
    fake?.close();
    await stopAll();
  });

  test('the token travels only in the subprotocols', async () => {
    assert.equal(page.url(), `${fake.origin}/`);
    assert.deepEqual(fake.state.upgrades[0], { url: '/ws', protocols: ['editor.v1', `tok.${TOKEN}`], origin: fake.origin });
    assert.ok(!fake.requests.some((u) => u.includes(TOKEN)), fake.requests.join(' '));
    assert.equal(await page.locator('body').getAttribute('data-mode'), 'tunnel');
  });

  test('the editor works under the content security policy', async () => {
    await page.locator('.tree-row[data-path="main.py"]').click();
    const content = page.locator('#editor-host .cm-content');
    await waitFor(async () => (await content.textContent()).includes('def main'), 'the file in the editor');
    // The editor's own style sheet applied: its gutters are laid out as flex boxes.
    assert.equal(await page.locator('#editor-host .cm-gutters').evaluate((n) => getComputedStyle(n).display), 'flex');
    assert.ok((await page.locator('#editor-host .cm-line span').count()) > 0, 'syntax highlighting');
    await content.click();
    await page.keyboard.press('Control+End');
    await page.keyboard.type('# saved through the tunnel');
    await page.keyboard.press('Control+s');
    await waitFor(() => fake.state.files.get('main.py').endsWith('# saved through the tunnel'), 'the write');
    const csp = page.problems.filter((p) => /Content Security Policy/i.test(p));
    assert.deepEqual(csp, []);
    const seen = page.problems.length;
    // And the policy is in force, or the check above proves nothing: an inline style element does not apply.
    const inline = await page.evaluate(() => {
      const probe = document.createElement('style');
      probe.textContent = 'body { --inline-probe: applied; }';
      document.head.append(probe);
      const seen = getComputedStyle(document.body).getPropertyValue('--inline-probe');
      probe.remove();
      return seen.trim() || 'blocked';
    });
    assert.equal(inline, 'blocked');
    page.problems.length = seen;
  });

  test('program output renders as a terminal shows it, under the policy too', async () => {
    // Colours by number and as RGB, bold, and a progress line rewritten with carriage returns.
    fake.state.output = 'plain \x1b[1;31mred\x1b[0m \x1b[38;2;1;2;3mrgb\x1b[0m\n10%\r50%\r100%\n';
    await page.getByRole('textbox', { name: 'Command line' }).fill('make');
    await page.getByRole('button', { name: 'Run', exact: true }).click();
    const run = page.locator('.run').first();
    await run.locator('.run-status.ok').waitFor();
    assert.equal(await settledText(run, 'plain red rgb\n100%'), 'plain red rgb\n100%');
    const color = (text) => run.locator('.xterm-rows span', { hasText: text }).evaluate((n) => getComputedStyle(n).color);
    assert.equal(await color('red'), 'rgb(205, 49, 49)');
    assert.equal(await color('rgb'), 'rgb(1, 2, 3)');
    assert.equal(await run.locator('.xterm-rows span', { hasText: 'red' }).evaluate((n) => getComputedStyle(n).fontWeight), '700');
    assert.deepEqual(fake.state.spawns[0].argv.at(-1), 'make');
    await screenshot(page, 'tunnel-run');
  });

  test('notices stay until dismissed', async () => {
    fake.notice('A tab connected through the tunnel from 203.0.113.9 (DE). If that was not you, stop quelmar now.');
    fake.notice('The tunnel link was used from 198.51.100.7 (FR). If that was not you, stop quelmar now.');
    const banners = page.locator('.notice');
    await waitFor(async () => (await banners.count()) === 2, 'two banners');
    assert.equal(
      await banners.first().locator('.notice-text').textContent(),
      'A tab connected through the tunnel from 203.0.113.9 (DE). If that was not you, stop quelmar now.',
    );
    await screenshot(page, 'tunnel-notice');
    await page.clock.runFor(30_000);
    assert.equal(await banners.count(), 2);
    await banners.first().locator('.notice-dismiss').click();
    assert.equal(await banners.count(), 1);
    assert.match(await banners.first().textContent(), /198\.51\.100\.7/);
  });

  test('a Text keep-alive goes out every minute', async () => {
    const before = fake.state.texts.length;
    await page.clock.runFor(60_000);
    await waitFor(() => fake.state.texts.length === before + 1, 'one keep-alive');
    await page.clock.runFor(60_000);
    await waitFor(() => fake.state.texts.length === before + 2, 'a second keep-alive');
  });

  test('a dropped connection is shown and made again', async () => {
    fake.dropAll();
    await page.locator('#conn-state[data-state="reconnecting"]').waitFor();
    await screenshot(page, 'tunnel-reconnecting');
    await page.clock.runFor(1_500);
    await page.locator('#conn-state[data-state="connected"]').waitFor();
    assert.equal(fake.state.upgrades.length, 2);
    assert.deepEqual(fake.state.upgrades[1].protocols, ['editor.v1', `tok.${TOKEN}`]);
  });

  test('the page raised no errors', () => {
    assert.deepEqual(page.problems, []);
  });
});
