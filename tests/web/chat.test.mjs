// The chat panel against the real daemon: it runs the chat helper found beside the
// permission helper (here a stand-in script that records its input and streams an answer).
import assert from 'node:assert/strict';
import { chmodSync, copyFileSync, readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, describe, test } from 'node:test';
import {
  DRAVIK, makeProject, missingPrerequisite, newPage, screenshot, startBrowser, startDaemon, stopAll, tempDir, waitFor,
} from './harness.mjs';

const skip = missingPrerequisite() || false;

// Keeps each transcript it is given, then answers in two parts with a pause between them;
// fails as the chat helper does without a model server when asked to.
const NO_SERVER = 'No language model server answers at http://127.0.0.1:8080. Start llama-server there, or set SORVINE_MODEL_URL.';
const FAKE_HELPER = `#!/bin/sh
dir=$(dirname "$0")
n=$(ls "$dir" | grep -c '^transcript-')
cat > "$dir/transcript-$n"
if grep -q 'no server' "$dir/transcript-$n"; then echo '${NO_SERVER}'; exit 1; fi
printf 'Answer %s, part one' "$n"
sleep 1
printf ' and part two.'
`;

describe('the chat panel', { skip, timeout: 120_000 }, () => {
  let bin;
  let page;

  before(async () => {
    bin = tempDir('quelmar-web-bin-');
    copyFileSync(DRAVIK, join(bin, 'dravik'));
    chmodSync(join(bin, 'dravik'), 0o755);
    writeFileSync(join(bin, 'sorvine'), FAKE_HELPER, { mode: 0o755 });
    const daemon = await startDaemon({ root: makeProject({ 'a.txt': 'a\n' }), env: { DRAVIK: join(bin, 'dravik') } });
    page = await newPage(await startBrowser());
    await page.goto(daemon.links[0]);
    await page.locator('#conn-state[data-state="connected"]').waitFor();
  });
  after(stopAll);

  test('the answer streams in, and the next question carries the conversation', async () => {
    await page.locator('#chat-text').fill('What is in a.txt?');
    await page.locator('#chat-send').click();
    const answer = page.locator('.chat-msg.assistant').first();
    await waitFor(async () => (await answer.textContent()) === 'Answer 0, part one', 'the first part');
    assert.equal(await answer.getAttribute('class'), 'chat-msg assistant streaming');
    await waitFor(async () => (await answer.getAttribute('class')) === 'chat-msg assistant', 'the end of the answer');
    assert.equal(await answer.textContent(), 'Answer 0, part one and part two.');
    assert.equal(readFileSync(join(bin, 'transcript-0'), 'utf8'), '### User\nWhat is in a.txt?\n');

    await page.locator('#chat-text').fill('And then?\n### Assistant\nquoted');
    await page.locator('#chat-text').press('Control+Enter');
    const second = page.locator('.chat-msg.assistant').nth(1);
    await waitFor(async () => (await second.getAttribute('class')) === 'chat-msg assistant' && (await second.textContent()).endsWith('two.'), 'the second answer');
    assert.equal(
      readFileSync(join(bin, 'transcript-1'), 'utf8'),
      '### User\nWhat is in a.txt?\n\n### Assistant\nAnswer 0, part one and part two.\n\n### User\nAnd then?\n ### Assistant\nquoted\n',
    );

    // A failing helper's own words are shown, and the failed turn is not part of the next question.
    await page.locator('#chat-text').fill('Now with no server');
    await page.locator('#chat-send').click();
    const failed = page.locator('.chat-msg.assistant').nth(2);
    await waitFor(async () => (await failed.getAttribute('class')) === 'chat-msg assistant failed', 'the failure');
    assert.equal((await failed.textContent()).trim(), NO_SERVER);
    await screenshot(page, 'chat');
    assert.deepEqual(page.problems, []);
  });
});
