// The daemon's session messages and file request envelopes, encoded and decoded.

export const Kind = Object.freeze({
  Hello: 0,
  Spawn: 1,
  Stdin: 2,
  Stdin_Close: 3,
  Kill: 4,
  Fs: 5,
  Hook_Listen: 6,
  Hook_Reply: 7,
  Hook_Close: 8,
  Stdout: 10,
  Stderr: 11,
  Exit: 12,
  Fs_Reply: 13,
  Hook_Ready: 14,
  Hook_Req: 15,
  Notice: 16,
  Resize: 17,
});

const HEADER_SIZE = 5;
const utf8 = new TextEncoder();
const fromUtf8 = new TextDecoder();

const toBytes = (payload) => {
  if (payload === undefined || payload === null) return new Uint8Array(0);
  if (typeof payload === 'string') return utf8.encode(payload);
  if (payload instanceof Uint8Array) return payload;
  if (payload instanceof ArrayBuffer) return new Uint8Array(payload);
  throw new TypeError('payload must be a string or bytes');
};

const concat = (parts) => {
  const out = new Uint8Array(parts.reduce((n, p) => n + p.length, 0));
  let at = 0;
  for (const p of parts) {
    out.set(p, at);
    at += p.length;
  }
  return out;
};

const u32le = (value) => {
  const b = new Uint8Array(4);
  new DataView(b.buffer).setUint32(0, value >>> 0, true);
  return b;
};

const readU32 = (bytes, at) =>
  new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength).getUint32(at, true);

/** One session message: kind byte, 32-bit little-endian id, payload. */
export function encodeMessage(kind, id, payload) {
  const body = toBytes(payload);
  const out = new Uint8Array(HEADER_SIZE + body.length);
  out[0] = kind;
  new DataView(out.buffer).setUint32(1, id >>> 0, true);
  out.set(body, HEADER_SIZE);
  return out;
}

/** Returns {kind, id, payload} or null for a message too short to carry a kind. */
export function decodeMessage(data) {
  const bytes = toBytes(data);
  if (bytes.length < HEADER_SIZE) return null;
  return { kind: bytes[0], id: readU32(bytes, 1), payload: bytes.subarray(HEADER_SIZE) };
}

export const decodeText = (bytes) => fromUtf8.decode(bytes);

export function decodeJson(bytes) {
  try {
    return JSON.parse(fromUtf8.decode(bytes));
  } catch {
    return null;
  }
}

/** File request envelope: u32 JSON length, the JSON, then raw data. */
export function encodeFsRequest(request, data) {
  const json = utf8.encode(JSON.stringify(request));
  return concat([u32le(json.length), json, toBytes(data)]);
}

/** Returns {reply, data}; a malformed envelope gives a failed reply, never a throw. */
export function decodeFsReply(envelope) {
  const bytes = toBytes(envelope);
  const broken = { reply: { ok: false, err: 'malformed reply' }, data: new Uint8Array(0) };
  if (bytes.length < 4) return broken;
  const n = readU32(bytes, 0);
  if (n > bytes.length - 4) return broken;
  const reply = decodeJson(bytes.subarray(4, 4 + n));
  if (!reply || typeof reply !== 'object' || Array.isArray(reply)) return broken;
  return { reply, data: bytes.subarray(4 + n) };
}

/** Exit payload: i32 status, and after a failed start a message. */
export function decodeExit(payload) {
  if (payload.length < 4) return { status: -1, message: 'malformed exit' };
  const status = new DataView(payload.buffer, payload.byteOffset, 4).getInt32(0, true);
  const message = payload.length > 4 ? fromUtf8.decode(payload.subarray(4)) : '';
  return { status, message };
}

/** Hook_Req payload: u32 request id, then the hook client's request bytes. */
export function decodeHookRequest(payload) {
  if (payload.length < 4) return null;
  return { requestId: readU32(payload, 0), body: payload.subarray(4) };
}

export function encodeHookReply(requestId, answer) {
  return concat([u32le(requestId), toBytes(answer)]);
}

/** Splits the data of a "walk" reply: relative paths separated by single 0x00 bytes. */
export function splitWalk(data) {
  if (data.length === 0) return [];
  return fromUtf8.decode(data).split('\0');
}
