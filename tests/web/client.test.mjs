// The web client's pure parts, run in node: message and envelope coding, link reading,
// the chat transcript, permission answers and project paths.
import assert from 'node:assert/strict';
import { describe, test } from 'node:test';
import {
  Kind, decodeExit, decodeFsReply, decodeHookRequest, decodeMessage, encodeFsRequest, encodeHookReply, encodeMessage, splitWalk,
} from '../../web/src/protocol.js';
import { readLink } from '../../web/src/link.js';
import { buildTranscript } from '../../web/src/transcript.js';
import { answerLine, describeQuestion } from '../../web/src/hooks.js';
import { chatHelperPath } from '../../web/src/chat.js';
import { cleanRelative, movedPath } from '../../web/src/paths.js';
import { buildTree } from '../../web/src/tree.js';
import { pipeLineEditor, runStateText, shellArgv } from '../../web/src/run_model.js';

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

  test('the tree derives folders from file paths', () => {
    const root = buildTree(['a.txt', 'src/main.c', 'src/lib/u.h'], ['empty']);
    assert.deepEqual([...root.dirs.keys()].sort(), ['empty', 'src']);
    assert.deepEqual(root.files.map((f) => f.path), ['a.txt']);
    assert.deepEqual(root.dirs.get('src').dirs.get('lib').files, [{ name: 'u.h', path: 'src/lib/u.h' }]);
  });

  test('command lines run through the user\'s shell', () => {
    const argv = shellArgv('echo "$HOME" | wc -c');
    assert.deepEqual(argv.slice(0, 2), ['/bin/sh', '-c']);
    assert.equal(argv[argv.length - 1], 'echo "$HOME" | wc -c');
  });
});
