// Reads how this page was opened (first link, site link or tunnel link) into connection settings.

const TOKEN_RE = /^[0-9a-f]{16,128}$/;
const PORT_RE = /^[0-9]{1,5}$/;

/** The tunnel marks its copy of index.html with this element right after <head>. */
export const isTunnelPage = (doc) =>
  doc.querySelector('meta[name="quelmar"][content="tunnel"]') !== null;

const fragmentParams = (url) => new URLSearchParams(url.hash.replace(/^#/, ''));

const withoutKeys = (params, keys) => {
  const rest = new URLSearchParams(params);
  for (const k of keys) rest.delete(k);
  return rest.toString();
};

/**
 * Settings for one page load, or {error} (with `missing` when the address carries no link at
 * all, as after a reload of an address the page cleaned). `href` is the page address,
 * `tunnel` whether the page carries the tunnel marker. `cleanHref` is the address without
 * the credentials, to be put in the address bar once they are read.
 */
export function readLink(href, tunnel) {
  const url = new URL(href);
  const frag = fragmentParams(url);

  if (tunnel) {
    if (!frag.has('t')) return { error: 'This tunnel link has no access token (#t=...).', missing: true };
    const token = frag.get('t');
    if (!TOKEN_RE.test(token)) return { error: 'This tunnel link has no valid access token (#t=...).' };
    const rest = withoutKeys(frag, ['t']);
    const scheme = url.protocol === 'https:' ? 'wss:' : 'ws:';
    return {
      mode: 'tunnel',
      token,
      wsUrl: `${scheme}//${url.host}/ws`,
      wsProtocols: ['editor.v1', `tok.${token}`],
      fsUrl: '',
      cleanHref: url.origin + url.pathname + url.search + (rest ? `#${rest}` : ''),
    };
  }

  if (frag.has('daemon') || frag.has('t')) {
    const port = frag.get('daemon') ?? '';
    const token = frag.get('t') ?? '';
    const n = Number(port);
    if (!PORT_RE.test(port) || n < 1 || n > 65535) return { error: 'The link names no daemon port.' };
    if (!TOKEN_RE.test(token)) return { error: 'The link has no access token.' };
    const rest = withoutKeys(frag, ['daemon', 't']);
    return {
      mode: 'site',
      token,
      wsUrl: `ws://127.0.0.1:${n}/ws?t=${token}`,
      wsProtocols: [],
      fsUrl: `http://127.0.0.1:${n}/fs`,
      cleanHref: url.origin + url.pathname + url.search + (rest ? `#${rest}` : ''),
    };
  }

  const token = url.searchParams.get('t');
  if (token !== null) {
    if (!TOKEN_RE.test(token)) return { error: 'The link has no valid access token.' };
    const rest = withoutKeys(url.searchParams, ['t']);
    return {
      mode: 'loopback',
      token,
      wsUrl: `ws://${url.host}/ws?t=${token}`,
      wsProtocols: [],
      fsUrl: '',
      cleanHref: url.origin + url.pathname + (rest ? `?${rest}` : '') + url.hash,
    };
  }
  return { error: 'Open this page with the link quelmar printed.', missing: true };
}

/**
 * A link the user pasted, for use by this page (`pageHref`): it must be a link quelmar
 * printed for a page at this same address; a link for another page has to be opened there.
 */
export function pastedLink(text, pageHref, tunnel) {
  let url;
  try {
    url = new URL(text.trim());
  } catch {
    url = null;
  }
  if (!url || (url.protocol !== 'http:' && url.protocol !== 'https:')) {
    return { error: 'That is not a link. Copy the whole line quelmar printed, starting with http.' };
  }
  const page = new URL(pageHref);
  if (url.origin !== page.origin || url.pathname !== page.pathname) {
    return { error: `That link is for another page (${url.origin}${url.pathname}); open it in the browser instead.` };
  }
  const link = readLink(url.href, tunnel);
  return link.missing ? { error: 'That link has no access token.' } : link;
}
