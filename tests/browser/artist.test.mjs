// The studio as an artist uses it, in Debian's chromium: step through a
// program record by record, bypass and compare, pick colours, read what each
// argument means, start from an example, copy records between layers, zoom
// and read pixels, follow a second tab, and save what `texgen render` shows
// exactly as the studio did. Screenshots of the new controls and of the whole
// page at 1280x800 and 1920x1080 go to SCREENSHOTS, when it names a folder.
//   TEXGEN=build/tools/texgen SOURCE_DIR=. node --test tests/browser/artist.test.mjs
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import {
  TEXGEN, SHIPPED, browser, startBrowser, stopAll, startStudio, temporaryFolder, openPage, records, frames, previewPixels,
  dragSlider,
} from './helpers.mjs';

before(startBrowser);
after(stopAll);

const SHOTS = process.env.SCREENSHOTS;
async function shot(target, name) {
  if (SHOTS) await target.screenshot({ path: path.join(SHOTS, `${name}.png`) });
}

async function shippedStudio(viewport) {
  const folder = temporaryFolder();
  fs.copyFileSync(SHIPPED, path.join(folder, 'Testin3.tex'));
  const studio = await startStudio(folder, ['Testin3.tex']);
  const opened = await openPage(studio.address, viewport);
  await previewPixels(opened.page, 0);
  return { folder, ...studio, ...opened };
}

// The SHA-256 of the preview's red, green and blue bytes, as texgen hash gives it.
const previewHash = (page) => page.evaluate(async () => {
  const canvas = document.querySelector('canvas[aria-label="Preview"]');
  const rgba = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
  const rgb = new Uint8Array(rgba.length / 4 * 3);
  for (let i = 0, j = 0; i < rgba.length; i += 4, j += 3) rgb.set(rgba.subarray(i, i + 3), j);
  const digest = new Uint8Array(await crypto.subtle.digest('SHA-256', rgb));
  return [...digest].map((b) => b.toString(16).padStart(2, '0')).join('');
});

// Waits for the next frame after an action and answers its pixels.
async function nextFrame(page, action) {
  const drawn = await frames(page);
  await action();
  return previewPixels(page, drawn);
}

test('steps through a program, bypasses and compares, and saves what texgen renders', async () => {
  const { page, problems, folder } = await shippedStudio();
  await page.getByRole('tab', { name: 'Layer 2' }).click();
  await records(page).nth(5).click();
  const finished = await previewPixels(page, 0);
  // After the last record the layer is as it ends; after an earlier one it differs.
  const last = await nextFrame(page, () => page.getByRole('button', { name: 'After selected record' }).click());
  assert.equal(last, finished);
  const earlier = await nextFrame(page, () => page.getByRole('listbox', { name: /program$/ }).press('ArrowUp'));
  assert.notEqual(earlier, finished, 'layer 2 right after twirlLayer is not yet blurred');
  await page.getByText('Layer 2 after record 4, twirlLayer').waitFor();

  // Compare: without the selected record on the left, with it on the right.
  await page.getByRole('button', { name: 'Compare' }).click();
  const divider = page.getByRole('separator', { name: 'Compare divider' });
  await divider.waitFor();
  assert.equal(await divider.getAttribute('aria-valuenow'), '50');
  await divider.press('ArrowLeft');
  assert.equal(await divider.getAttribute('aria-valuenow'), '45');
  await shot(page, 'compare');
  await page.getByRole('button', { name: 'Compare' }).click();
  await divider.waitFor({ state: 'hidden' });
  // Held backslash compares for as long as it is held.
  await records(page).nth(4).click();
  await page.keyboard.down('\\');
  await divider.waitFor();
  await page.keyboard.up('\\');
  await divider.waitFor({ state: 'hidden' });

  // Bypass: the box, and B for the selected record; the preview skips it.
  const box = records(page).nth(3).getByRole('checkbox', { name: 'Bypass' });
  const bypassed = await nextFrame(page, () => box.check());
  await page.waitForFunction(() => window.studio.doc.layers[2].records[3].bypassed);
  assert.notEqual(bypassed, earlier);
  assert.match(await records(page).nth(3).getAttribute('class'), /bypassed/);
  await shot(page.getByRole('region', { name: 'Program' }), 'bypass');
  await records(page).nth(1).click();
  await page.keyboard.press('b');
  await page.waitForFunction(() => window.studio.doc.layers[2].records[1].bypassed);
  await page.getByRole('button', { name: 'Undo' }).click();
  await page.waitForFunction(() => !window.studio.doc.layers[2].records[1].bypassed);

  // Saved, the document renders in texgen as the studio showed it.
  await page.getByRole('button', { name: 'Texture' }).click();
  await page.waitForTimeout(300);
  await previewPixels(page, 0);
  const shown = await previewHash(page);
  await page.getByRole('button', { name: 'Save as' }).click();
  await page.getByLabel('File name').fill('bypassed.tex');
  await page.getByRole('dialog', { name: 'Save as' }).getByRole('button', { name: 'Save', exact: true }).click();
  await page.getByRole('status').getByText('Saved bypassed.tex.').waitFor();
  assert.equal(execFileSync(TEXGEN, ['hash', path.join(folder, 'bypassed.tex')]).toString().trim(), shown);
  assert.match(execFileSync(TEXGEN, ['export', path.join(folder, 'bypassed.tex')]).toString(), /\/\/ bypassed: tileLayer\(2,2\);/);
  assert.deepEqual(problems, []);
  await page.close();
});

test('colours, argument help, the documentation, palette search and refused values', async () => {
  const { page, problems } = await shippedStudio();
  // colorLayer's colour well sets red, green and blue in one undo step.
  await records(page).nth(0).click();
  const well = page.getByLabel('colour', { exact: true });
  assert.equal(await well.inputValue(), '#000000');
  await well.fill('#ff8000');
  await records(page).nth(0).getByText('colorLayer(4,255,128,0);').waitFor();
  await shot(page.getByRole('complementary', { name: 'Arguments' }), 'colour-and-help');
  await page.getByRole('button', { name: 'Undo' }).click();
  await records(page).nth(0).getByText('colorLayer(4,0,0,0);').waitFor();

  // Every argument's unit or meaning beside the field and as its description.
  const red = page.getByLabel('red', { exact: true });
  const description = await red.evaluate((field) => field.getAttribute('aria-describedby').split(' ')
    .map((id) => document.getElementById(id).textContent).join(' '));
  assert.ok(description.length > 3, `red is described: "${description}"`);
  // The operation's description links to its section of the documentation.
  const more = page.getByRole('link', { name: 'More' });
  assert.equal(await more.getAttribute('href'), '/help.html#colorLayer');
  const docs = await browser.newPage();
  await docs.goto(new URL('/help.html#colorLayer', page.url()).href);
  await docs.getByRole('heading', { name: /colorLayer · opcode 4/ }).waitFor();
  await shot(docs, 'documentation');
  await docs.close();

  // The palette finds operations by what they do, and says when nothing does.
  await page.getByRole('button', { name: 'Add operation' }).click();
  const search = page.getByRole('searchbox', { name: 'Search operations' });
  for (const [word, expected] of [['noise', 'perlinNoise'], ['warp', 'sineDistort'], ['contrast', 'equalizeRGB'],
    ['emboss', 'embossLayer'], ['tile', 'tileLayer']]) {
    await search.fill(word);
    await page.getByRole('button', { name: expected, exact: true }).waitFor();
  }
  await search.fill('zebra');
  await page.getByText('No operation matches "zebra"').waitFor();
  await shot(page.getByRole('dialog', { name: 'Add operation' }), 'palette-nothing');
  // A second fill after the first: the first is marked as having no effect, with the reason.
  await search.fill('colorLayer');
  await search.press('Enter');
  await records(page).nth(0).getByText('No effect: record 1, colorLayer, overwrites layer 4 before anything reads it.')
    .waitFor();
  await page.getByRole('button', { name: 'Undo' }).click();
  await page.waitForFunction(() => window.studio.doc.layers[4].records.length === 4);

  // Fields show the shortest decimal of the float32; a refused value changes nothing.
  await page.getByRole('tab', { name: 'Layer 0' }).click();
  await records(page).nth(2).click();
  const r = page.getByLabel('r', { exact: true });
  assert.equal(await r.inputValue(), '0.014');
  await records(page).nth(2).getByText('sineLayerRGB(0,0,0.014,0.03,0.164);').waitFor();
  for (const refused of ['1e999', '3.5e38', 'abc', '']) {
    await r.fill(refused);
    await r.press('Enter');
    await page.waitForFunction(() => !window.studio.editing &&
      document.querySelector('#argument-2').getAttribute('aria-invalid') === 'true');
    assert.equal(await r.inputValue(), refused, 'the typed value stays');
    assert.equal((await page.evaluate(() => window.studio.doc.layers[0].records[2].arguments[2])), '0.014');
  }
  await page.getByText('r must be a number, such as 0.5.').first().waitFor();
  await shot(page.getByRole('complementary', { name: 'Arguments' }), 'invalid-field');
  await r.press('Escape');
  assert.equal(await r.inputValue(), '0.014');
  assert.equal(await r.getAttribute('aria-invalid'), null);
  // The status error goes once the next action succeeds.
  assert.equal(await page.getByRole('status').getAttribute('data-kind'), 'error');
  await r.fill('0.015');
  await r.press('Enter');
  await records(page).nth(2).getByText('sineLayerRGB(0,0,0.015,').waitFor();
  // The list shows the edit before the server has taken it; the error goes when it has.
  await page.waitForFunction(() => document.querySelector('#status').textContent === '');
  assert.deepEqual(problems, []);
  await page.close();
});

test('new documents, examples, clearing, the clipboard and dragging records', async () => {
  const { page, problems, address } = await shippedStudio();
  await page.context().grantPermissions(['clipboard-read', 'clipboard-write'], { origin: new URL(address).origin });
  // Copy two records of layer 0 and paste them after layer 1's first.
  await page.getByRole('tab', { name: 'Layer 0' }).click();
  await records(page).nth(0).click();
  await records(page).nth(1).click({ modifiers: ['Shift'] });
  await page.getByRole('button', { name: 'Copy', exact: true }).click();
  const copied = await page.evaluate(() => navigator.clipboard.readText());
  assert.equal(copied, 'perlinNoise(0,64,694787904,256,121,4,true);\nsharpenLayer(0,0);\n');
  await page.getByRole('tab', { name: 'Layer 1' }).click();
  await records(page).nth(0).click();
  await page.keyboard.press('Control+v');
  await records(page).nth(2).getByText('sharpenLayer(0,0);').waitFor();
  assert.equal(await records(page).count(), 5);
  // Text from anywhere: a paste event with listing lines.
  await page.evaluate(() => {
    const data = new DataTransfer();
    data.setData('text/plain', '// from an editor\nblurLayer(1,1);\n');
    document.dispatchEvent(new ClipboardEvent('paste', { clipboardData: data, bubbles: true }));
  });
  await records(page).nth(3).getByText('blurLayer(1,1);').waitFor();
  // Cut takes them out again in one step.
  await records(page).nth(1).click();
  await records(page).nth(3).click({ modifiers: ['Shift'] });
  await page.getByRole('button', { name: 'Cut', exact: true }).click();
  await page.waitForFunction(() => window.studio.doc.layers[1].records.length === 3);
  // Drag a record onto another to reorder.
  await records(page).nth(0).dragTo(records(page).nth(2));
  await records(page).nth(2).getByText('sinePlasma(').waitFor();

  // Clear layer is one undoable edit.
  await page.getByRole('button', { name: 'Clear layer' }).click();
  await page.waitForFunction(() => window.studio.doc.layers[1].records.length === 0);
  await page.getByRole('button', { name: 'Undo' }).click();
  await page.waitForFunction(() => window.studio.doc.layers[1].records.length === 3);

  // New from example asks first about unsaved changes, then opens an untitled copy.
  await page.getByRole('button', { name: 'New from example' }).click();
  const gallery = page.getByRole('dialog', { name: 'New from example' });
  await gallery.getByRole('button').first().waitFor();
  await shot(gallery, 'gallery');
  await gallery.getByRole('searchbox', { name: 'Search examples' }).fill('marble');
  await gallery.getByRole('button', { name: /marble/i }).click();
  await page.getByRole('dialog', { name: 'Please confirm' }).getByRole('button', { name: 'Discard changes' }).click();
  await page.waitForFunction(() => window.studio.doc.name === 'untitled.tex');
  assert.ok(await records(page).count() > 0);
  // New document starts empty.
  await page.getByRole('button', { name: 'New document' }).click();
  await page.getByRole('dialog', { name: 'Please confirm' }).getByRole('button', { name: 'Discard changes' }).click();
  await page.waitForFunction(() => window.studio.doc.layers.every((layer) => layer.records.length === 0));
  assert.deepEqual(problems, []);
  await page.close();
});

test('zoom about the pointer, pan, pixel readout, a view that survives a reload, and Save as refusals', async () => {
  const { page, problems } = await shippedStudio();
  const canvas = page.getByRole('img', { name: 'Preview' });
  const box = await canvas.boundingBox();
  const at = { x: box.x + box.width * 0.3, y: box.y + box.height * 0.6 };
  await page.mouse.move(at.x, at.y);
  const readout = page.getByLabel('Pixel readout');
  await readout.getByText(/^x \d+ y \d+ · R \d+ G \d+ B \d+$/).waitFor();
  const before = await readout.textContent();
  await page.mouse.wheel(0, -400);
  await page.waitForFunction(() => document.querySelector('select[aria-label="Zoom"]').value !== 'fit');
  await page.mouse.move(at.x + 1, at.y);
  await page.mouse.move(at.x, at.y);
  assert.equal(await readout.textContent(), before, 'the pixel under the pointer stays under it');
  const zoomed = await canvas.boundingBox();
  assert.ok(zoomed.width > box.width * 1.5);
  await page.mouse.down();
  await page.mouse.move(at.x + 60, at.y + 30, { steps: 4 });
  await page.mouse.up();
  const panned = await canvas.boundingBox();
  assert.ok(Math.abs(panned.x - zoomed.x - 60) < 2 && Math.abs(panned.y - zoomed.y - 30) < 2, 'a drag pans');
  await shot(page.getByRole('main', { name: 'Preview area' }), 'zoom-and-readout');

  // Layer, preview mode, size and zoom survive a reload.
  await page.getByRole('tab', { name: 'Layer 3' }).click();
  await page.getByRole('button', { name: 'After selected record' }).click();
  await page.getByLabel('Preview size').selectOption('512');
  const zoom = await page.getByLabel('Zoom').inputValue();
  await page.reload();
  await page.getByRole('tab', { name: 'Layer 3', selected: true }).waitFor();
  assert.equal(await page.getByRole('button', { name: 'After selected record' }).getAttribute('aria-pressed'), 'true');
  assert.equal(await page.getByLabel('Preview size').inputValue(), '512');
  assert.equal(await page.getByLabel('Zoom').inputValue(), zoom);

  // Save as keeps its dialog, the sentence and the name as typed when refused.
  await page.getByRole('button', { name: 'Save as' }).click();
  const dialog = page.getByRole('dialog', { name: 'Save as' });
  const name = dialog.getByLabel('File name');
  for (const [typed, sentence] of [['', 'Give the file a name'], ['CON.tex', 'device'], ['what?.tex', 'holds ?'],
    ['trailing.', 'ends in a dot']]) {
    await name.fill(typed);
    await dialog.getByRole('button', { name: 'Save', exact: true }).click();
    await dialog.getByText(sentence).waitFor();
    assert.equal(await name.inputValue(), typed);
    assert.equal(await name.getAttribute('aria-invalid'), 'true');
  }
  await shot(dialog, 'save-as-refused');
  await dialog.getByRole('button', { name: 'Cancel' }).click();
  assert.deepEqual(problems, []);
  await page.close();
});

test('another tab follows every edit, and a refused stale edit keeps the typed value', async () => {
  const { page, address, problems } = await shippedStudio();
  const second = await openPage(address);
  // A tab that follows.
  await records(page).nth(1).click();
  await page.getByRole('button', { name: 'Delete record' }).click();
  const started = Date.now();
  await second.page.waitForFunction(() => window.studio.doc.layers[4].records.length === 3);
  assert.ok(Date.now() - started < 1500, 'within a second or so');
  // A tab that missed the change (its updates held back) has its edit refused.
  const third = await browser.newPage({ viewport: { width: 1280, height: 800 } });
  await third.route('**/api/wait*', (route) => route.abort());
  await third.goto(address);
  await third.getByRole('tab', { name: 'Layer 4' }).waitFor();
  await records(third).nth(0).click();
  await page.getByRole('button', { name: 'Undo' }).click();
  await second.page.waitForFunction(() => window.studio.doc.layers[4].records.length === 4);
  const red = third.getByLabel('red', { exact: true });
  await red.fill('77');
  await red.press('Enter');
  await third.getByRole('status').getByText('changed in another window').waitFor();
  assert.equal(await red.inputValue(), '77', 'the typed value stays to be committed again');
  assert.equal(await records(third).count(), 4, 'the page shows the current document');
  await red.press('Enter');
  await records(third).nth(0).getByText('colorLayer(4,77,0,0);').waitFor();
  await second.page.getByRole('listbox', { name: /program$/ }).getByText('colorLayer(4,77,0,0);').waitFor();
  assert.deepEqual([...problems, ...second.problems], []);
  await Promise.all([page.close(), second.page.close(), third.close()]);
});

test('drags send values paced by frames at 256 and 1024; screenshots of the whole page', async () => {
  for (const side of [256, 1024]) {
    const { page, problems } = await shippedStudio();
    if (side !== 256) await nextFrame(page, () => page.getByLabel('Preview size').selectOption(String(side)));
    await records(page).nth(2).click();
    const slider = page.getByLabel('w2 slider');
    const start = await frames(page);
    const sent = await page.evaluate(() => window.studio.sent);
    const seconds = await dragSlider(slider);
    const drawnRate = ((await frames(page)) - start) / seconds;
    const sentRate = ((await page.evaluate(() => window.studio.sent)) - sent) / seconds;
    // One edit's pixels: from the commit to the frame that shows it.
    const field = page.getByLabel('w1', { exact: true });
    const times = [];
    for (const value of ['0.9', '1']) {
      const drawn = await frames(page);
      const t0 = Date.now();
      await field.fill(value);
      await field.press('Enter');
      await page.waitForFunction((n) => Number(document.querySelector('canvas[aria-label="Preview"]').dataset.frames) > n, drawn);
      times.push(Date.now() - t0);
    }
    console.log(`# drag at ${side}x${side}: ${drawnRate.toFixed(1)} frames and ${sentRate.toFixed(1)} edits a second; ` +
      `edit to pixels ${times.join(' and ')} ms`);
    assert.ok(drawnRate > 0 && sentRate <= drawnRate + 1, 'a value is sent only once the frame of the one before arrived');
    // The last value reached the server: the record shows the slider's value.
    const last = await slider.inputValue();
    await page.waitForFunction((v) => Math.fround(Number(window.studio.doc.layers[4].records[2].arguments[4])) === Math.fround(Number(v)), last);
    assert.deepEqual(problems, []);
    await page.close();
  }
  if (!SHOTS) return;
  for (const [width, height] of [[1280, 800], [1920, 1080]]) {
    const { page } = await shippedStudio({ width, height });
    await page.getByRole('tab', { name: 'Layer 2' }).click();
    await records(page).nth(4).click();
    await page.getByRole('button', { name: 'After selected record' }).click();
    await page.waitForTimeout(400);
    await shot(page, `page-${width}x${height}`);
    await page.close();
  }
});
