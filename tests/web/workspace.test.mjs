// What a user keeps working with across reloads and restarts, against the real daemon:
// quick open and search, tabs with their unsaved edits, and a daemon restarted with a new
// token, which the page reports as a refused link until it is given the new one.
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, describe, test } from 'node:test';
import {
  makeProject, missingPrerequisite, newPage, screenshot, startBrowser, startDaemon, stopAll, waitFor,
} from './harness.mjs';

const skip = missingPrerequisite() || false;

describe('the workspace', { skip, timeout: 180_000 }, () => {
  let root;
  let daemon;
  let page;
  const tab = (name) => page.getByRole('tab', { name, exact: true });
  const editorText = () => page.locator('#editor-host .cm-content').textContent();

  before(async () => {
    root = makeProject({
      'a.txt': 'alpha\n',
      'src/c.txt': 'one\ntwo\na needle here\nfour\n',
      'src/deep/dd.txt': 'deep\n',
    });
    daemon = await startDaemon({ root, env: { DRAVIK: '' } });
    page = await newPage(await startBrowser());
    await page.goto(daemon.links[0]);
    await page.locator('#conn-state[data-state="connected"]').waitFor();
  });
  after(stopAll);

  test('quick open and search across files open the file, at the line', async () => {
    await page.getByRole('treeitem', { name: 'a.txt' }).waitFor();
    await page.keyboard.press('Control+p');
    await page.getByRole('combobox', { name: 'File name' }).fill('ddtx');
    await page.keyboard.press('Enter');
    await tab('dd.txt').waitFor();
    assert.equal(await page.getByRole('treeitem', { name: 'deep' }).getAttribute('aria-expanded'), 'true');

    await page.keyboard.press('Control+Shift+f');
    await page.keyboard.type('NEEDLE');
    await page.keyboard.press('Enter');
    const hit = page.locator('.search-hit');
    await hit.first().waitFor();
    assert.equal(await page.locator('#search-state').textContent(), '1 match in 1 file.');
    assert.equal(await hit.locator('.search-where').textContent(), 'src/c.txt:3');
    await hit.click();
    await waitFor(async () => (await page.locator('#status-pos').textContent()) === 'Ln 3, Col 1', 'the cursor on line 3');
    assert.equal(await tab('c.txt').getAttribute('aria-selected'), 'true');
    await screenshot(page, 'search');
    await page.locator('#show-files').click();
  });

  test('tabs, the shown one, folders, pane sizes and unsaved edits come back after a reload', async () => {
    await tab('c.txt').click();
    await page.locator('#editor-host .cm-content').click();
    await page.keyboard.press('Control+Home');
    await page.keyboard.type('edited ');
    await tab('dd.txt').click();
    await tab('dd.txt').locator('..').getByRole('button', { name: 'Close dd.txt' }).click();
    await page.getByRole('treeitem', { name: 'a.txt' }).click();
    const splitter = page.getByRole('separator', { name: 'Resize the project pane' });
    const box = await splitter.boundingBox();
    await page.mouse.move(box.x + 2, box.y + 200);
    await page.mouse.down();
    await page.mouse.move(box.x + 62, box.y + 200, { steps: 3 });
    await page.mouse.up();
    const width = await splitter.getAttribute('aria-valuenow');
    assert.equal(await page.title(), 'a.txt — quelmar');

    await page.reload();
    await page.locator('#conn-state[data-state="connected"]').waitFor();
    await tab('c.txt').waitFor();
    assert.deepEqual(await page.getByRole('tab').allTextContents(), ['c.txt●', 'a.txt']);
    assert.equal(await tab('a.txt').getAttribute('aria-selected'), 'true');
    assert.equal(await page.getByRole('treeitem', { name: 'src' }).getAttribute('aria-expanded'), 'true');
    assert.equal(await splitter.getAttribute('aria-valuenow'), width);
    assert.match(await page.locator('.notice-text').textContent(), /^Unsaved changes to c\.txt /);
    await tab('c.txt').click();
    assert.equal(await editorText(), 'edited onetwoa needle herefour');
    assert.equal(await page.title(), '● c.txt — quelmar');
    await screenshot(page, 'restored');

    // Closing a tab with unsaved changes asks first.
    let asked = '';
    page.once('dialog', (d) => {
      asked = d.message();
      d.dismiss();
    });
    await page.getByRole('button', { name: 'Close c.txt' }).click();
    assert.equal(asked, 'src/c.txt has unsaved changes. Close it and lose them?');
    assert.equal(await tab('c.txt').count(), 1);
  });

  test('a restarted daemon refuses the old link; the new one pasted keeps the unsaved edit', async () => {
    const port = daemon.port;
    daemon.child.kill('SIGKILL');
    await page.locator('#conn-state[data-state="reconnecting"]').waitFor();
    const next = await startDaemon({ root, args: ['--port', String(port)], env: { DRAVIK: '' } });
    await page.locator('#conn-state[data-state="refused"]').waitFor({ timeout: 20_000 });
    assert.match(await page.locator('#relink-why').textContent(), /did not accept this link's token/);
    await screenshot(page, 'refused');

    const paste = page.getByRole('textbox', { name: /did not accept/ });
    await paste.fill('not a link');
    await page.getByRole('button', { name: 'Connect' }).click();
    assert.match(await page.locator('#message').textContent(), /^That is not a link/);
    await paste.fill(next.links[0]);
    await page.getByRole('button', { name: 'Connect' }).click();
    await page.locator('#conn-state[data-state="connected"]').waitFor();
    assert.equal(await tab('c.txt').getAttribute('class'), 'tab active dirty');
    await page.keyboard.press('Control+s');
    await waitFor(() => readFileSync(join(root, 'src/c.txt'), 'utf8') === 'edited one\ntwo\na needle here\nfour\n', 'the saved edit');

    // A malformed link in the same tab is reported, not replaced by the one that worked.
    await page.goto(`http://127.0.0.1:${port}/?t=not-hex`);
    await page.locator('#conn-state[data-state="nolink"]').waitFor();
    assert.equal(await page.locator('#relink-why').textContent(), 'The link has no valid access token.');
  });
});
