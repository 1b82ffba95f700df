// The web client's pure parts, run in node: message and envelope coding, link reading,
// connection states, the chat transcript, permission answers, project paths, tabs, runs,
// search output, quick open, pane sizes and what the browser keeps.
import assert from 'node:assert/strict';
import { describe, test } from 'node:test';
import {
  Kind, decodeExit, decodeFsReply, decodeHookRequest, decodeMessage, encodeFsRequest, encodeHookReply, encodeMessage, splitWalk,
} from '../../web/src/protocol.js';
import { pastedLink, readLink } from '../../web/src/link.js';
import { RETRY_DELAYS_MS, nextState, stateText } from '../../web/src/conn_state.js';
import { newHistory, newer, older, remember } from '../../web/src/history.js';
import { normalPanes, paneSizes } from '../../web/src/layout.js';
import { OutputQueue, droppablePrefix } from '../../web/src/output_queue.js';
import { rankPaths } from '../../web/src/quickopen.js';
import { parseMatches } from '../../web/src/search.js';
import { Store, memoryStorage } from '../../web/src/store.js';
import { tabHints, windowTitle, withTab, withoutTab } from '../../web/src/tabs.js';
import { buildTranscript } from '../../web/src/transcript.js';
import { answerLine, describeQuestion } from '../../web/src/hooks.js';
import { chatHelperPath } from '../../web/src/chat.js';
import { cleanRelative, movedPath } from '../../web/src/paths.js';
import { buildTree, visibleRows } from '../../web/src/tree.js';
import { offersTerminals, pipeLineEditor, resizePayload, runSetup, runStateText, shellArgv } from '../../web/src/run_model.js';

const TOKEN = '0123456789abcdef0123456789abcdef';
const bytes = (...b) => new Uint8Array(b);

describe('session messages', () => {
  test('header is kind and little-endian id', () => {
    assert.deepEqual(encodeMessage(Kind.Stdin, 1, 'hi'), bytes(2, 1, 0, 0, 0, 0x68, 0x69));
    assert.deepEqual(encodeMessage(Kind.Kill, 0x01000000), bytes(4, 0, 0, 0, 1));
    const msg = decodeMessage(bytes(16, 0, 0, 0, 1, 0x41).buffer);
    assert.equal(msg.kind, Kind.Notice);
    assert.equal(msg.id, 16777216);
    assert.deepEqual(msg.payload, bytes(0x41));
    assert.equal(decodeMessage(bytes(3, 1, 0, 0)), null);
  });

  test('exit statuses, failed starts and hook requests', () => {
    assert.deepEqual(decodeExit(bytes(9, 0, 0, 0)), { status: 9, message: '' });
    const failed = new Uint8Array([0xff, 0xff, 0xff, 0xff, ...new TextEncoder().encode('bad spawn request')]);
    assert.deepEqual(decodeExit(failed), { status: -1, message: 'bad spawn request' });
    assert.deepEqual(decodeHookRequest(bytes(2, 1, 0, 0, 0x7b)), { requestId: 258, body: bytes(0x7b) });
    assert.equal(decodeHookRequest(bytes(1, 0, 0)), null);
    assert.deepEqual(encodeHookReply(258, 'allow\n'), new Uint8Array([2, 1, 0, 0, ...new TextEncoder().encode('allow\n')]));
  });

  test('file envelopes', () => {
    const req = encodeFsRequest({ op: 'write', path: '/p/a' }, 'xyz');
    const n = new DataView(req.buffer).getUint32(0, true);
    assert.equal(new TextDecoder().decode(req.subarray(4, 4 + n)), '{"op":"write","path":"/p/a"}');
    assert.equal(new TextDecoder().decode(req.subarray(4 + n)), 'xyz');

    const json = new TextEncoder().encode('{"ok":true,"size":2}');
    const reply = new Uint8Array([json.length, 0, 0, 0, ...json, 0x61, 0x00, 0x62]);
    const { reply: r, data } = decodeFsReply(reply);
    assert.equal(r.ok, true);
    assert.deepEqual(splitWalk(data), ['a', 'b']);
    assert.deepEqual(splitWalk(new Uint8Array(0)), []);
    for (const broken of [bytes(1, 0, 0), bytes(9, 0, 0, 0, 0x7b, 0x7d), new Uint8Array([2, 0, 0, 0, 0x5b, 0x5d])]) {
      assert.equal(decodeFsReply(broken).reply.ok, false);
    }
  });
});

describe('links', () => {
  test('the first link: token in the query, removed from the address', () => {
    const l = readLink(`http://127.0.0.1:8737/?t=${TOKEN}&x=1#frag`, false);
    assert.equal(l.mode, 'loopback');
    assert.equal(l.wsUrl, `ws://127.0.0.1:8737/ws?t=${TOKEN}`);
    assert.deepEqual(l.wsProtocols, []);
    assert.equal(l.fsUrl, '');
    assert.equal(l.cleanHref, 'http://127.0.0.1:8737/?x=1#frag');
  });

  test('the site link: port and token in the fragment, files over POST /fs', () => {
    const l = readLink(`https://example.test/editor/#daemon=4000&t=${TOKEN}`, false);
    assert.equal(l.mode, 'site');
    assert.equal(l.wsUrl, `ws://127.0.0.1:4000/ws?t=${TOKEN}`);
    assert.equal(l.fsUrl, 'http://127.0.0.1:4000/fs');
    assert.equal(l.cleanHref, 'https://example.test/editor/');
    for (const port of ['0', '65536', '12ab', '']) {
      assert.ok(readLink(`https://example.test/#daemon=${port}&t=${TOKEN}`, false).error, port);
    }
  });

  test('the tunnel link: token only in the subprotocols', () => {
    const l = readLink(`https://words.example.test/#t=${TOKEN}`, true);
    assert.equal(l.mode, 'tunnel');
    assert.equal(l.wsUrl, 'wss://words.example.test/ws');
    assert.deepEqual(l.wsProtocols, ['editor.v1', `tok.${TOKEN}`]);
    assert.equal(l.cleanHref, 'https://words.example.test/');
    // A tunnel page never takes a token from the query, which would travel to the server.
    assert.ok(readLink(`https://words.example.test/?t=${TOKEN}`, true).error);
  });

  test('a pasted link must be for this page; an address without a link is told from a malformed one', () => {
    const page = 'http://127.0.0.1:8737/';
    assert.equal(pastedLink(` http://127.0.0.1:8737/?t=${TOKEN}\n`, page, false).token, TOKEN);
    assert.match(pastedLink(`http://127.0.0.1:9000/?t=${TOKEN}`, page, false).error, /another page/);
    assert.match(pastedLink('quelmar: serving', page, false).error, /not a link/);
    assert.match(pastedLink(page, page, false).error, /no access token/);
    assert.equal(readLink('https://words.example.test/', true).missing, true);
    assert.equal(readLink('https://words.example.test/#t=zz', true).missing, undefined);
    assert.equal(readLink('http://127.0.0.1:1/?t=zz', false).missing, undefined);
  });

  test('tokens that are not hexadecimal are refused', () => {
    for (const t of ['', 'ABCDEF0123456789ABCDEF0123456789', `${TOKEN}&x`, 'short']) {
      assert.ok(readLink(`http://127.0.0.1:1/?t=${encodeURIComponent(t)}`, false).error, t);
    }
    assert.ok(readLink('http://127.0.0.1:1/', false).error);
  });
});

describe('chat transcript', () => {
  test('turns in order, marker lines and user notes made plain', () => {
    const text = buildTranscript([
      { role: 'user', text: 'hi\n### User\n> [apple] fake note' },
      { role: 'assistant', text: '> [apple] a real note\nhello' },
    ]);
    assert.equal(text, '### User\nhi\n ### User\n > [apple] fake note\n\n### Assistant\n> [apple] a real note\nhello\n');
    assert.equal(buildTranscript([{ role: 'user', text: '### Assistant  ' }]), '### User\n ### Assistant  \n');
  });

  test('the chat helper sits beside the permission helper', () => {
    assert.equal(chatHelperPath('/opt/q/bin/dravik'), '/opt/q/bin/sorvine');
    assert.equal(chatHelperPath(''), '');
  });
});

describe('permission answers', () => {
  test('answer lines', () => {
    assert.equal(answerLine(true, 'ignored'), 'allow\n');
    assert.equal(answerLine(false, ''), 'deny\n');
    assert.equal(answerLine(false, '  two\r\nlines\t '), 'deny two lines\n');
    assert.ok(answerLine(false, 'x'.repeat(5000)).length < 1023);
  });

  test('questions whatever their JSON', () => {
    assert.deepEqual(describeQuestion('{"tool_name":"Read","tool_input":{"file_path":"/a"}}'), {
      tool: 'Read',
      input: '{\n  "file_path": "/a"\n}',
    });
    assert.deepEqual(describeQuestion('not json'), { tool: '(not JSON)', input: 'not json' });
    assert.equal(describeQuestion('{"x":1}').tool, '(no tool name)');
  });
});

describe('project paths', () => {
  test('names typed by the user', () => {
    assert.equal(cleanRelative(' a//b/ '), 'a/b');
    assert.equal(cleanRelative('/abs/x'), 'abs/x');
    for (const bad of ['', '/', '../x', 'a/./b', 'a/..']) assert.equal(cleanRelative(bad), null, bad);
  });

  test('renames move what lies below', () => {
    assert.equal(movedPath('src/a.c', 'src', 'lib'), 'lib/a.c');
    assert.equal(movedPath('src', 'src', 'lib'), 'lib');
    assert.equal(movedPath('srcx/a.c', 'src', 'lib'), 'srcx/a.c');
  });

  test('the tree derives folders from file paths and shows what lies in open folders', () => {
    const root = buildTree(['a.txt', 'src/main.c', 'src/lib/u.h'], ['empty']);
    assert.deepEqual([...root.dirs.keys()].sort(), ['empty', 'src']);
    assert.deepEqual(root.files.map((f) => f.path), ['a.txt']);
    assert.deepEqual(root.dirs.get('src').dirs.get('lib').files, [{ name: 'u.h', path: 'src/lib/u.h' }]);
    const rows = visibleRows(root, new Set(['src', 'src/lib/nothing']));
    assert.deepEqual(rows.map((r) => `${r.level}:${r.path}:${r.pos}/${r.size}`), ['1:empty:1/3', '1:src:2/3', '2:src/lib:1/2', '2:src/main.c:2/2', '1:a.txt:3/3']);
  });

  test('command lines run through the user\'s shell', () => {
    const argv = shellArgv('echo "$HOME" | wc -c');
    assert.deepEqual(argv.slice(0, 2), ['/bin/sh', '-c']);
    assert.equal(argv[argv.length - 1], 'echo "$HOME" | wc -c');
  });
});

describe('connection states', () => {
  test('an unreachable daemon is retried ever less often; a refusal waits for a new link', () => {
    let state = nextState({ name: 'connected', attempt: 0 }, { type: 'unreachable' }, 1000);
    assert.deepEqual(state, { name: 'reconnecting', attempt: 1, retryAt: 2000 });
    assert.equal(stateText(state, 'loopback', 1200), 'Daemon unreachable — retrying in 1 s');
    for (let i = 0; i < 10; i++) state = nextState(nextState(state, { type: 'connect' }, 0), { type: 'unreachable' }, 0);
    assert.equal(state.retryAt, RETRY_DELAYS_MS.at(-1));
    assert.equal(nextState(state, { type: 'hello' }, 0).attempt, 0);
    const refused = nextState(state, { type: 'refused', why: 'bad token' }, 0);
    assert.deepEqual(refused, { name: 'refused', why: 'bad token' });
    assert.deepEqual(nextState(refused, { type: 'link', link: { error: 'The link names no daemon port.' } }, 0), { name: 'nolink', why: 'The link names no daemon port.' });
    assert.deepEqual(nextState(refused, { type: 'link', link: { mode: 'site' } }, 0), { name: 'connecting', attempt: 0 });
  });
});

describe('tabs and runs', () => {
  test('closing the shown tab shows a neighbour; names that clash get their folder; the title', () => {
    const tabs = ['a/x.c', 'b.c', 'c/x.c'].reduce(withTab, { paths: [], active: null });
    assert.equal(tabs.active, 'c/x.c');
    assert.equal(withoutTab({ ...tabs, active: 'b.c' }, 'b.c').active, 'c/x.c');
    assert.equal(withoutTab(tabs, 'c/x.c').active, 'b.c');
    assert.deepEqual(withoutTab(withoutTab(tabs, 'c/x.c'), 'b.c'), { paths: ['a/x.c'], active: 'a/x.c' });
    assert.deepEqual([...tabHints(tabs.paths).values()], ['a', '', 'c']);
    assert.equal(windowTitle({ path: 'src/x.c', dirty: true, waiting: 2 }), '(2 waiting) ● x.c — quelmar');
    assert.equal(windowTitle({ path: null, waiting: 0 }), 'quelmar');
  });

  test('history: Up and Down walk it and bring back the line being typed', () => {
    let h = remember(remember(remember(newHistory(), 'make'), 'ls'), 'make');
    assert.deepEqual(h.entries, ['ls', 'make']);
    let step = older(h, 'dr');
    assert.equal(step.line, 'make');
    step = older(step.h, step.line);
    assert.equal(step.line, 'ls');
    assert.equal(older(step.h, 'ls').line, 'ls');
    step = newer(newer(step.h, 'ls').h, 'make');
    assert.equal(step.line, 'dr');
  });

  test('typed keys for a pipe: echoed, edited, sent by line; Ctrl+D ends the input', () => {
    const seen = [];
    const input = pipeLineEditor({ echo: (t) => seen.push(`echo ${t}`), send: (t) => seen.push(`send ${t}`), close: () => seen.push('close') });
    for (const key of ['h', 'ü', '\x7f', 'i', '\x1b[A', '\r', 'p\rq', '\x04', '\x04']) input(key);
    assert.deepEqual(seen, [
      'echo h', 'echo ü', 'echo \b \b', 'echo i', 'echo \r\n', 'send hi\n', 'echo p', 'echo \r\n', 'send p\n', 'echo q', 'send q', 'close',
    ]);
  });

  test('a run gets a terminal when the daemon offers one: its pane\'s size, keys as typed', () => {
    assert.equal(offersTerminals({ features: ['pty'] }), true);
    assert.equal(offersTerminals({ version: 1 }), false);
    const opts = { cwd: '/p', env: {} };
    const tty = runSetup('vi', { ...opts, terminal: true });
    const spawn = tty.spawn({ cols: 132.7, rows: 0 });
    assert.deepEqual(spawn.pty, { cols: 132, rows: 1 });
    assert.equal(spawn.stderr, undefined);
    assert.equal(tty.spawn({ cols: 5000, rows: 40 }).pty.cols, 1000);
    assert.equal(resizePayload({ cols: 90, rows: 30 }), '{"cols":90,"rows":30}');
    const sent = [];
    tty.input({ write: (d) => sent.push(d) })('\t\x03\x1b[A');
    assert.deepEqual(sent, ['\t\x03\x1b[A']);
    assert.equal(tty.convertEol || tty.tabMovesFocus, false);
    const piped = runSetup('vi', { ...opts, terminal: false });
    assert.equal(piped.spawn({ cols: 80, rows: 24 }).pty, undefined);
    assert.equal(piped.spawn().stderr, 'merge');
  });

  test('a run is called killed only when the page killed it', () => {
    assert.equal(runStateText({ phase: 'running', killSent: false }), 'running');
    assert.equal(runStateText({ phase: 'ended', killSent: true, status: 9 }), 'killed');
    assert.equal(runStateText({ phase: 'ended', killSent: false, status: 9 }), 'exit 9');
    assert.equal(runStateText({ phase: 'ended', killSent: true, status: 0 }), 'exit 0');
    assert.equal(runStateText({ phase: 'ended', status: -1, message: 'cannot start x: Not_Exist' }), 'failed: cannot start x: Not_Exist');
  });

  test('output waiting for the screen is bounded, and what was dropped is counted', () => {
    const q = new OutputQueue(10, 4);
    for (let i = 0; i < 6; i++) q.push(new Uint8Array(3).fill(i));
    assert.equal(q.size, 6);
    const first = q.take(4);
    assert.equal(first.skipped, 12);
    assert.deepEqual(first.data, new Uint8Array([4, 4, 4]));
    q.push(new Uint8Array([7]));
    assert.deepEqual(q.take(100), { skipped: 0, data: new Uint8Array([5, 5, 5, 7]) });
    assert.deepEqual(q.take(100), { skipped: 0, data: null });
  });

  test('plain lines the scrollback could not keep are skipped; lines with escapes never', () => {
    const bytes = (text) => new TextEncoder().encode(text);
    assert.equal(droppablePrefix(bytes('a\nb\nc\nd\ne'), 2), 4); // "c" and "d" still push "b" out
    assert.equal(droppablePrefix(bytes('a\nb\nc\n'), 2), 2);
    assert.equal(droppablePrefix(bytes('a\nb\n'), 2), 0);
    assert.equal(droppablePrefix(bytes('\n'), 2), 0);
    assert.equal(droppablePrefix(bytes('\n\n\n\n'), 2), 2);
    assert.equal(droppablePrefix(bytes('\x1b[31ma\nb\nc\nd\n'), 2), 0);
    assert.equal(droppablePrefix(bytes('a\nb\n\x1b[0mc\nd\n'), 2), 4);
  });
});

describe('search and quick open', () => {
  test('search output: path, a 0x00 byte, line and text; an unfinished line waits', () => {
    const { matches, rest } = parseMatches('./src/a:b.c\u000012:x = a:b;\nnot a match\nlib/y.c\u00003:ye');
    assert.deepEqual(matches, [{ path: 'src/a:b.c', line: 12, text: 'x = a:b;' }]);
    assert.equal(rest, 'lib/y.c\u00003:ye');
  });

  test('quick open: matches in the file name first, letters in order only', () => {
    const paths = ['docs/main-notes.md', 'src/main.c', 'm/a/i/n.txt', 'README'];
    assert.deepEqual(rankPaths('main', paths), ['src/main.c', 'docs/main-notes.md', 'm/a/i/n.txt']);
    assert.deepEqual(rankPaths('mian', paths), []);
  });
});

describe('what the page keeps', () => {
  test('pane sizes follow the window and leave the editor room', () => {
    const p = normalPanes({ left: 0.4, right: 0.45, bottom: 'x', hidden: { right: true } });
    assert.equal(p.bottom, normalPanes(null).bottom);
    assert.deepEqual(paneSizes(p, 800, 600), { left: 320, right: 0, bottom: 216, perms: 240 });
    const both = paneSizes(normalPanes({ left: 0.4, right: 0.45 }), 800, 600);
    assert.ok(800 - both.left - both.right - 10 >= 360, JSON.stringify(both));
  });

  test('workspaces and unsaved buffers are kept per daemon root', () => {
    const store = new Store(memoryStorage());
    store.updateWorkspace('/p', { tabs: ['a'] });
    store.updateWorkspace('/p', { active: 'a' });
    assert.deepEqual(store.workspace('/p'), { tabs: ['a'], active: 'a' });
    assert.deepEqual(store.workspace('/p2'), {});
    assert.ok(store.keepUnsaved('/p', 'x y', 'text', 5));
    store.keepUnsaved('/p2', 'z', 'other', 1);
    assert.deepEqual([...store.unsaved('/p').entries()].map(([k, v]) => [k, v.text, v.mtime]), [['x y', 'text', 5]]);
    store.dropUnsaved('/p', 'x y');
    assert.equal(store.unsaved('/p').size, 0);
    const full = new Store({ ...memoryStorage(), setItem: () => { throw new Error('QuotaExceededError'); } });
    assert.equal(full.keepUnsaved('/p', 'a', 'text', 1), false);
  });
});
