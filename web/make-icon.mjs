// The web studio's app icon: the shipped texture rendered by the npm package.
//   node web/make-icon.mjs PACKAGE_DIR DOCUMENT OUTPUT.png SIZE
import fs from 'node:fs';
import path from 'node:path';
import { pathToFileURL } from 'node:url';
import { encodePng } from './png.js';

const [packageDir, document, output, size] = process.argv.slice(2);
const { createEngine } = await import(pathToFileURL(path.resolve(packageDir, 'index.js')));
const engine = await createEngine();
const side = Number(size);
const png = await encodePng(engine.render(fs.readFileSync(document), { width: side, height: side }), side, side);
fs.writeFileSync(output, Buffer.from(await png.arrayBuffer()));
