// The npm package texengine under node, against texgen: every file of the
// hash manifest rendered and hashed (the manifest holds texgen hash's
// results), its listing as texgen export writes it and the document texgen
// build makes of that listing; then the sentences of bad input.
//   TEXENGINE=build/web/js TEXGEN=build/tools/texgen SOURCE_DIR=. node --test tests/web/package.test.mjs
import { test, before } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import crypto from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { pathToFileURL } from 'node:url';

const { TEXENGINE, TEXGEN, SOURCE_DIR } = process.env;
let engine;

before(async () => {
  assert.ok(TEXENGINE && TEXGEN && SOURCE_DIR, 'TEXENGINE, TEXGEN and SOURCE_DIR name the package, texgen and the sources');
  const { createEngine } = await import(pathToFileURL(path.join(TEXENGINE, 'index.js')));
  engine = await createEngine();
});

// The manifest's entries for files: [file, width, height, [five hashes]].
function manifestFiles() {
  const entries = [];
  for (const line of fs.readFileSync(path.join(SOURCE_DIR, 'tests/manifest/hashes.txt'), 'utf8').split('\n')) {
    const [name, size, ...hashes] = line.split(' ');
    if (!name || name.startsWith('#') || name.startsWith('random/')) continue;
    const keepLook = size.startsWith('keep-look:');
    const [width, height] = size.replace('keep-look:', '').split('x').map(Number);
    entries.push([name, width, height, hashes, keepLook]);
  }
  return entries;
}

const sha256 = (bytes) => crypto.createHash('sha256').update(bytes).digest('hex');

test('render and hash give the manifest\'s hashes', () => {
  const entries = manifestFiles();
  assert.ok(entries.length >= 180, `the manifest lists its files (${entries.length} entries)`);
  for (const [name, width, height, hashes, keepLook] of entries) {
    const doc = fs.readFileSync(path.join(SOURCE_DIR, name));
    // A listing goes in as text, a document as bytes.
    const input = name.endsWith('.listing') ? doc.toString('utf8') : doc;
    // Every layer of the shipped texture; the finished texture of the others.
    for (let layer = name === 'data/Testin3.tex' ? 0 : 4; layer < 5; layer++) {
      const options = { width, height, layer, lenient: true, keepLook };
      const pixels = engine.render(input, options);
      assert.equal(pixels.length, width * height * 3);
      assert.equal(sha256(pixels), hashes[layer], `${name} ${width}x${height} layer ${layer}`);
    }
    assert.equal(engine.hash(input, { width, height, lenient: true, keepLook }), hashes[4], `${name} hash`);
  }
});

test('listing and document agree with texgen export and texgen build', () => {
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'texengine-'));
  const files = [...new Set(manifestFiles().map(([name]) => name))];
  for (const name of files) {
    const file = path.join(SOURCE_DIR, name);
    const listing = execFileSync(TEXGEN, ['export', file], { encoding: 'utf8' });
    assert.equal(engine.listing(fs.readFileSync(file)), listing, `${name}: listing`);
    // A listing becomes what texgen build makes of it; a document stays as it is.
    const isListing = name.endsWith('.listing');
    const built = path.join(folder, 'built.tex');
    if (isListing) execFileSync(TEXGEN, ['build', file, '-o', built]);
    const expected = fs.readFileSync(isListing ? built : file);
    const input = isListing ? fs.readFileSync(file, 'utf8') : fs.readFileSync(file);
    assert.ok(Buffer.from(engine.document(input)).equals(expected), `${name}: document`);
  }
  fs.rmSync(folder, { recursive: true });
});

test('defaults: the design size (256 by 256 without one), layer 4; an ArrayBuffer is a document', () => {
  const shipped = fs.readFileSync(path.join(SOURCE_DIR, 'data/Testin3.tex'));
  const expected = execFileSync(TEXGEN, ['hash', path.join(SOURCE_DIR, 'data/Testin3.tex')], { encoding: 'utf8' }).trim();
  assert.equal(engine.hash(shipped), expected);
  const buffer = shipped.buffer.slice(shipped.byteOffset, shipped.byteOffset + shipped.length);
  assert.equal(sha256(engine.render(buffer)), expected);
  assert.equal(engine.hash(fs.readFileSync(path.join(SOURCE_DIR, 'data/Testin3.listing'), 'utf8')), expected);
});

test('bad input throws an Error of one plain sentence', () => {
  const shipped = fs.readFileSync(path.join(SOURCE_DIR, 'data/Testin3.tex'));
  const cases = [
    [() => engine.render(shipped, { width: 300 }), /^The width and height must be powers of two from 1 to 8192, such as 256 or 1024, not 300\.$/],
    [() => engine.render(shipped, { height: 16384 }), /not 16384\.$/],
    [() => engine.hash(shipped, { width: 0, height: 64 }), /not 0\.$/],
    [() => engine.render(shipped, { layer: 5 }), /^The layer must be 0, 1, 2, 3 or 4 \(4 is the texture\), not 5\.$/],
    [() => engine.render(shipped, { width: 2.5 }), /^The width must be a whole number, not 2\.5\.$/],
    [() => engine.listing('// layer 0\nperlinNoise(0,64);\n'), /^The listing cannot be read at line 2, column \d+: .+\.$/],
    [() => engine.document('// layer 4\nnoSuchOperation(1,2);'), /^The listing cannot be read at line 2, column 1: .+\.$/],
    [() => engine.hash(shipped.subarray(0, 100)), /^A texture document holds at least 22020 bytes, but this one holds 100\.$/],
    [() => engine.render(42), /^A document is a Uint8Array or an ArrayBuffer, and a listing a string/],
  ];
  for (const [call, message] of cases) {
    assert.throws(call, (error) => error instanceof Error && message.test(error.message) &&
      error.message.split('. ').length === 1, String(call));
  }
  // A count above 100 is refused unless lenient, as texgen refuses it.
  const malformed = Buffer.from(shipped);
  malformed.writeInt32LE(150, 0);
  assert.throws(() => engine.hash(malformed), { message: /^The document is malformed: layer 0's count 150 is outside 0\.\.100; / });
  assert.match(engine.hash(malformed, { lenient: true }), /^[0-9a-f]{64}$/);
  // The engine works on after every refusal.
  assert.equal(engine.hash(shipped, { width: 64, height: 64 }).length, 64);
});

test('npm pack makes the package of the folder', () => {
  const [packed] = JSON.parse(execFileSync('npm', ['pack', '--dry-run', '--json'], { cwd: TEXENGINE, encoding: 'utf8' }));
  assert.equal(packed.name, 'texengine');
  const names = packed.files.map((file) => file.path).sort();
  for (const name of ['index.d.ts', 'index.js', 'package.json', 'texengine_wasm.mjs', 'texengine_wasm.wasm'])
    assert.ok(names.includes(name), `the package holds ${name}`);
});
