// Builds the web client into dist/: one flat folder of index.html, app.js and app.css.
import { build } from 'esbuild';
import { copyFile, mkdir, readdir, rm } from 'node:fs/promises';
import { fileURLToPath } from 'node:url';
import { join } from 'node:path';

const here = fileURLToPath(new URL('.', import.meta.url));
const src = join(here, 'src');
const dist = join(here, 'dist');
// The tunnel serves only top-level files whose names look like this.
const SERVABLE = /^[A-Za-z0-9][A-Za-z0-9._-]*$/;

await rm(dist, { recursive: true, force: true });
await mkdir(dist);
await build({
  entryPoints: [join(src, 'main.js')],
  outfile: join(dist, 'app.js'),
  bundle: true,
  format: 'iife',
  target: ['es2022'],
  minify: true,
  sourcemap: 'linked',
  legalComments: 'eof',
  logLevel: 'warning',
});
await copyFile(join(src, 'index.html'), join(dist, 'index.html'));
for (const name of ['app.css', 'favicon.svg']) await copyFile(join(src, name), join(dist, name));

for (const entry of await readdir(dist, { withFileTypes: true })) {
  if (!entry.isFile() || !SERVABLE.test(entry.name) || ['fs', 'ws', 'vm'].includes(entry.name)) {
    throw new Error(`dist/${entry.name} would not be served through the tunnel`);
  }
}
console.log(`web client built in ${dist}`);
