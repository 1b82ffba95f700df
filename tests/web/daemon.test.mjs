// The web client against the real daemon in Chromium, opened through the first link:
// files, editing, programs and permission questions, as a user would use them.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { existsSync, readFileSync, realpathSync, utimesSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, describe, test } from 'node:test';
import {
  DRAVIK, makeProject, missingPrerequisite, newPage, screenshot, settledText, startBrowser, startDaemon, stopAll, terminalText, waitFor,
} from './harness.mjs';

const skip = missingPrerequisite() || false;

describe('the first link', { skip, timeout: 120_000 }, () => {
  let root;
  let daemon;
  let context;
  let page;

  before(async () => {
    root = makeProject({
      'hello.txt': 'first line\n',
      'src/main.c': 'int main(void) { return 0; }\n',
      'src/lib/util.h': '#pragma once\n',
      'node_modules/dep/index.js': 'skipped\n',
      '.git/config': 'skipped\n',
    });
    daemon = await startDaemon({ root, env: { DRAVIK: '' } });
    context = await startBrowser();
    page = await newPage(context);
    await page.goto(daemon.links[0]);
    await page.locator('#conn-state[data-state="connected"]').waitFor();
  });
  after(stopAll);

  test('connects, hides the token and lists the project tree', async () => {
    assert.ok(!page.url().includes(daemon.token), `token still in ${page.url()}`);
    assert.equal(await page.locator('#root').textContent(), root);
    await page.locator('.tree-row[data-path="hello.txt"]').waitFor();
    assert.equal(await page.locator('.tree-count').textContent(), '3 files');
    const tree = page.getByRole('tree');
    await tree.getByRole('treeitem', { name: 'src', exact: true }).click();
    await tree.getByRole('treeitem', { name: 'lib', exact: true }).click();
    await tree.getByRole('treeitem', { name: 'util.h', exact: true }).waitFor();
    assert.equal(await tree.getByRole('treeitem', { name: 'src', exact: true }).getAttribute('aria-expanded'), 'true');
    assert.equal(await page.locator('.tree-row[data-path^="node_modules"]').count(), 0);
    await screenshot(page, 'tree');
  });

  test('a file is opened, edited and saved to disk', async () => {
    await page.locator('.tree-row[data-path="hello.txt"]').click();
    const content = page.locator('#editor-host .cm-content');
    await waitFor(async () => (await content.textContent()).includes('first line'), 'the file in the editor');
    await content.click();
    await page.keyboard.press('Control+End');
    await page.keyboard.type('second line');
    await waitFor(() => page.locator('.tab.dirty').count(), 'the unsaved mark');
    await screenshot(page, 'editing');
    await page.keyboard.press('Control+s');
    await waitFor(() => readFileSync(join(root, 'hello.txt'), 'utf8') === 'first line\nsecond line', 'the bytes on disk');
    await waitFor(async () => (await page.locator('.tab.dirty').count()) === 0, 'the unsaved mark to go');
  });

  test('saving over a file changed on disk asks first', async () => {
    const file = join(root, 'hello.txt');
    writeFileSync(file, 'changed elsewhere\n');
    const later = new Date(Date.now() + 5000);
    utimesSync(file, later, later);
    await page.locator('#editor-host .cm-content').click();
    await page.keyboard.press('Control+End');
    await page.keyboard.type('!');
    let question = '';
    page.once('dialog', (d) => {
      question = d.message();
      d.dismiss();
    });
    await page.locator('#save').click();
    await waitFor(() => question, 'the overwrite question');
    assert.match(question, /changed on disk/);
    assert.equal(readFileSync(file, 'utf8'), 'changed elsewhere\n');
    page.once('dialog', (d) => d.accept());
    await page.locator('#save').click();
    await waitFor(() => readFileSync(file, 'utf8') === 'first line\nsecond line!', 'the accepted overwrite');
  });

  test('new file, new folder, rename and delete', async () => {
    const answer = (text) => page.once('dialog', (d) => d.accept(text));
    answer('docs');
    await page.locator('#new-folder').click();
    await page.locator('.tree-row[data-path="docs"]').waitFor();
    answer('docs/note.md');
    await page.locator('#new-file').click();
    await page.locator('.tree-row[data-path="docs/note.md"]').waitFor();
    assert.equal(readFileSync(join(root, 'docs/note.md'), 'utf8'), '');
    assert.equal(await page.locator('.tab.active').getAttribute('data-path'), 'docs/note.md');

    answer('docs/readme.md');
    await page.locator('#rename').click();
    await page.locator('.tree-row[data-path="docs/readme.md"]').waitFor();
    assert.ok(!existsSync(join(root, 'docs/note.md')));
    assert.equal(await page.locator('.tab.active').getAttribute('data-path'), 'docs/readme.md');

    answer('docs/note.md');
    await page.locator('#new-file').click();
    await page.locator('.tree-row[data-path="docs/note.md"]').waitFor();
    await page.locator('.tree-row[data-path="docs"]').click();
    page.once('dialog', (d) => d.accept());
    await page.locator('#delete').click();
    await waitFor(async () => (await page.locator('.tree-row[data-path="docs"]').count()) === 0, 'the folder to go');
    assert.ok(!existsSync(join(root, 'docs')));
    assert.equal(await page.locator('.tab[data-path^="docs/"]').count(), 0);
  });

  test('a command runs in the project root, its two streams in order', async () => {
    await page.getByRole('textbox', { name: 'Command line' }).fill('echo hello from $PWD; echo oops >&2; echo after');
    await page.getByRole('button', { name: 'Run', exact: true }).click();
    const run = page.locator('.run').first();
    await run.locator('.run-status.ok').waitFor();
    assert.equal(await run.locator('.run-status').textContent(), 'exit 0');
    const expected = `hello from ${root}\noops\nafter`;
    assert.equal(await settledText(run, expected), expected);
  });

  test('runs get a terminal of their pane\'s size that follows it; keys go straight to the program', async () => {
    const rows = (run) => run.locator('.xterm-rows > div').count();
    const sizes = async (run) => (await terminalText(run)).split('\n').filter((l) => /^\d+ \d+$/.test(l));
    await page.locator('#run-line').fill('tty; stty size; read -r l; echo "got $l"; trap "stty size" WINCH; while :; do sleep 0.1; done');
    await page.locator('#run').click();
    const run = page.locator('.run').first();
    await waitFor(async () => (await sizes(run)).length === 1, 'the first size');
    assert.match(await terminalText(run), /^\/dev\/pts\/\d+\n/);
    assert.equal((await sizes(run))[0].split(' ')[0], String(await rows(run)));
    // Typed keys reach the terminal, which echoes them and edits the line.
    await run.locator('.run-term').click();
    await page.keyboard.type('onx');
    await page.keyboard.press('Backspace');
    // é comes without a key press here, as from an emoji picker or an on-screen keyboard.
    await page.keyboard.type('eé');
    await page.keyboard.press('Enter');
    await waitFor(async () => (await terminalText(run)).includes('oneé\ngot oneé'), 'the echoed line and its answer');
    // The program's terminal follows the pane.
    await page.setViewportSize({ width: 1000, height: 700 });
    await waitFor(async () => (await sizes(run)).length === 2, 'the size after the resize');
    assert.equal((await sizes(run))[1].split(' ')[0], String(await rows(run)));
    await page.setViewportSize({ width: 1400, height: 900 });
    await waitFor(async () => (await sizes(run)).length === 3, 'the size after the second resize');
    // Tab goes to the program; Escape, then Tab, leaves the pane.
    const inTerminal = () => page.evaluate(() => !!document.activeElement?.closest('.run-term'));
    await page.keyboard.press('Tab');
    assert.ok(await inTerminal());
    await page.keyboard.press('Escape');
    await page.keyboard.press('Tab');
    assert.ok(!(await inTerminal()));
    // Ctrl+C in the pane interrupts the program.
    await run.locator('.run-term').click();
    await page.keyboard.press('Control+c');
    await run.locator('.run-status.failed').waitFor();
    assert.equal(await run.locator('.run-status').textContent(), 'exit 2');
    await screenshot(page, 'terminal-run');
  });

  test('Kill ends the whole process group and the run shows "killed"', async () => {
    await page.locator('#run-line').fill('sleep 300 & echo "child $!"; wait');
    await page.locator('#run').click();
    const run = page.locator('.run').first();
    const child = Number((await waitFor(async () => /child (\d+)/.exec(await terminalText(run)), 'the child\'s pid'))[1]);
    await run.getByRole('button', { name: 'Kill' }).click();
    await run.locator('.run-status.failed').waitFor({ timeout: 5_000 });
    assert.equal(await run.locator('.run-status').textContent(), 'killed');
    // Gone, or a zombie no process of ours will reap.
    const state = () => (existsSync(`/proc/${child}/stat`) ? readFileSync(`/proc/${child}/stat`, 'utf8').replace(/^.*\) /s, '')[0] : 'gone');
    await waitFor(() => ['gone', 'Z'].includes(state()), 'the background child to end', 2_000);
  });

  test('without a terminal: pipes, typed input echoed and sent by line; End input and a failing status', async () => {
    const pipes = page.getByRole('checkbox', { name: 'without a terminal' });
    await pipes.check();
    await page.locator('#run-line').fill('tty; while read l; do echo "got $l"; done; exit 3');
    await page.locator('#run-line').press('Enter');
    const reader = page.locator('.run').first();
    await waitFor(async () => (await terminalText(reader)) === 'not a tty', 'the program\'s first line');
    await reader.locator('.run-term').click();
    await page.keyboard.type('onx');
    await page.keyboard.press('Backspace');
    await page.keyboard.type('e');
    await page.keyboard.press('Enter');
    await waitFor(async () => (await terminalText(reader)) === 'not a tty\none\ngot one', 'the echoed line and its answer');
    await reader.locator('.run-eof').click();
    await reader.locator('.run-status.failed').waitFor();
    assert.equal(await reader.locator('.run-status').textContent(), 'exit 3');
    await pipes.uncheck();

    // A program that ends itself with the status a kill would give is not called killed.
    await page.locator('#run-line').fill('exit 9');
    await page.locator('#run').click();
    await page.locator('.run').first().locator('.run-status.failed').waitFor();
    assert.equal(await page.locator('.run').first().locator('.run-status').textContent(), 'exit 9');

    // The command box keeps a history: Up brings back older lines, Down the newer ones.
    const box = page.locator('#run-line');
    await box.fill('draft');
    await box.press('ArrowUp');
    assert.equal(await box.inputValue(), 'exit 9');
    await box.press('ArrowUp');
    assert.equal(await box.inputValue(), 'tty; while read l; do echo "got $l"; done; exit 3');
    await box.press('ArrowDown');
    await box.press('ArrowDown');
    assert.equal(await box.inputValue(), 'draft');
    await screenshot(page, 'programs');
  });

  test('a permission question is answered in the page', async () => {
    await page.locator('#hook-open').click();
    const sock = await (await page.locator('#hook-sock').elementHandle()).textContent();
    assert.match(sock, /hook\.sock$/);
    const helper = await page.locator('#hook-helper').textContent();
    assert.equal(helper, realpathSync(DRAVIK));

    // The agent's road: a program the page started runs the helper with the hook socket.
    const question = '{"tool_name":"Bash","tool_input":{"command":"rm -rf build"}}';
    await page.locator('#run-line').fill(`printf '%s' '${question}' | ${helper}`);
    await page.locator('#run').click();
    const card = page.locator('.question').first();
    await card.waitFor();
    // A waiting question shows in the window title and as a badge until it is answered.
    await waitFor(async () => (await page.title()).startsWith('(1 waiting) '), 'the title');
    assert.equal(await page.locator('#perm-badge').textContent(), '1 waiting');
    assert.equal(await card.locator('.question-tool').textContent(), 'Bash');
    assert.match(await card.locator('.question-input').textContent(), /"command": "rm -rf build"/);
    await screenshot(page, 'permission-question');
    await card.locator('.allow').click();
    const run = page.locator('.run').first();
    await run.locator('.run-status.ok').waitFor();
    const decision = '{"hookSpecificOutput":{"hookEventName":"PreToolUse","permissionDecision":"allow","permissionDecisionReason":"approvedineditor"}}';
    assert.equal(await settledText(run, decision, (t) => t.replace(/\s+/g, '')), decision);
    assert.equal(await card.locator('.question-state').textContent(), 'allowed');
    assert.ok(await page.locator('#perm-badge').isHidden());
    assert.ok(!(await page.title()).includes('waiting'));
  });

  test('a denied question carries its reason to the helper', async () => {
    const sock = await page.locator('#hook-sock').textContent();
    const helper = spawn(DRAVIK, [], { env: { ...process.env, EDITOR_HOOK_SOCK: sock }, stdio: ['pipe', 'pipe', 'ignore'] });
    let out = '';
    helper.stdout.on('data', (d) => (out += d));
    const done = new Promise((r) => helper.once('exit', r));
    helper.stdin.end('{"tool_name":"Write","tool_input":{"file_path":"/etc/passwd"}}');
    const card = page.locator('.question').nth(1);
    await card.waitFor();
    assert.equal(await card.locator('.question-tool').textContent(), 'Write');
    await card.locator('.deny-reason').fill('not that file\nplease');
    await card.locator('.deny').click();
    await done;
    assert.equal(
      out,
      '{"hookSpecificOutput":{"hookEventName":"PreToolUse","permissionDecision":"deny","permissionDecisionReason":"not that file please"}}\n',
    );
  });

  test('the page raised no errors', () => {
    assert.deepEqual(page.problems, []);
  });
});
