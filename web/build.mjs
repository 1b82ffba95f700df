// Builds the web client into dist/: one flat folder of index.html, app.js and app.css.
import { build } from 'esbuild';
import { copyFile, mkdir, readFile, readdir, rm } from 'node:fs/promises';
import { fileURLToPath } from 'node:url';
import { join } from 'node:path';

const here = fileURLToPath(new URL('.', import.meta.url));
const src = join(here, 'src');
const dist = join(here, 'dist');
// The tunnel serves only top-level files whose names look like this.
const SERVABLE = /^[A-Za-z0-9][A-Za-z0-9._-]*$/;

// The page runs without inline styles. The terminal component puts its per-terminal rules
// into <style> elements and some colours into style attributes; here its style elements
// become <quelmar-sheet> elements (src/sheet_element.js), and the attributes are set
// through the element's style object instead, which the policy allows. Each rewrite must
// match exactly as often as expected, so a new release of the component fails the build
// here rather than losing its styles (or its speed) in the browser.
const XTERM_REWRITES = [
  { find: /createElement\("style"\)/g, replace: 'createElement("quelmar-sheet")', count: 3 },
  {
    find: /_addStyle\((\w+),(\w+)\)\{\1\.setAttribute\("style",`\$\{\1\.getAttribute\("style"\)\|\|""\}\$\{\2\};`\)\}/g,
    replace: '_addStyle($1,$2){$1.style.cssText+=$2+";"}',
    count: 1,
  },
  // Its scroll bar follows every single line feed, which makes a flood of lines several
  // times slower; once per frame, as after a resize, is enough.
  { find: /this\._bufferService\.onScroll\(\(\)=>this\._sync\(\)\)/g, replace: 'this._bufferService.onScroll(()=>this.queueSync())', count: 1 },
];

const cspSafeXterm = {
  name: 'csp-safe-xterm',
  setup(b) {
    b.onLoad({ filter: /[\\/]@xterm[\\/]xterm[\\/]lib[\\/]xterm\.m?js$/ }, async (args) => {
      let code = await readFile(args.path, 'utf8');
      for (const { find, replace, count } of XTERM_REWRITES) {
        const found = code.match(find)?.length ?? 0;
        if (found !== count) throw new Error(`${args.path}: ${find} matched ${found} times, not ${count}; check the rewrite`);
        code = code.replace(find, replace);
      }
      if (/setAttribute\("style"/.test(code)) throw new Error(`${args.path} still sets style attributes`);
      return { contents: code, loader: 'js' };
    });
  },
};

await rm(dist, { recursive: true, force: true });
await mkdir(dist);
const common = { bundle: true, minify: true, sourcemap: 'linked', legalComments: 'eof', logLevel: 'warning' };
await build({
  ...common,
  entryPoints: [join(src, 'main.js')],
  outfile: join(dist, 'app.js'),
  format: 'iife',
  target: ['es2022'],
  plugins: [cspSafeXterm],
});
await build({ ...common, entryPoints: [join(src, 'app.css')], outfile: join(dist, 'app.css') });
await copyFile(join(src, 'index.html'), join(dist, 'index.html'));
await copyFile(join(src, 'favicon.svg'), join(dist, 'favicon.svg'));

for (const entry of await readdir(dist, { withFileTypes: true })) {
  if (!entry.isFile() || !SERVABLE.test(entry.name) || ['fs', 'ws', 'vm'].includes(entry.name)) {
    throw new Error(`dist/${entry.name} would not be served through the tunnel`);
  }
}
console.log(`web client built in ${dist}`);
