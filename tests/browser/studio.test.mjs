// texgen studio in a real browser (Debian's chromium driven by
// playwright-core), tried as a new user would: build the shipped texture
// from nothing through the page alone and save it byte for byte, see the
// preview follow an edit and Undo, set the design size and export at another
// size keeping the look, find the recovery offer after a killed
// server, measure how fast the preview follows a dragged slider, and take
// the README's screenshot.
//   TEXGEN=build/tools/texgen SOURCE_DIR=. node --test tests/browser/studio.test.mjs
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import {
  SHIPPED, startBrowser, stopAll, startStudio, temporaryFolder, openPage, records, frames, previewPixels,
  dragSlider, addShippedRecords,
} from './helpers.mjs';

before(startBrowser);
after(stopAll);

test('builds the shipped texture from nothing through the page and saves it byte for byte', async () => {
  const folder = temporaryFolder();
  const { address, output } = await startStudio(folder);
  const { page, problems } = await openPage(address);
  const status = page.getByRole('status');

  await addShippedRecords(page);
  assert.equal(await records(page).count(), 4, 'layer 4 holds four records');

  await page.getByRole('button', { name: 'Save as' }).click();
  await page.getByLabel('File name').fill('Built.tex');
  await page.getByRole('dialog', { name: 'Save as' }).getByRole('button', { name: 'Save', exact: true }).click();
  await status.getByText('Saved Built.tex.').waitFor();
  assert.ok(fs.readFileSync(path.join(folder, 'Built.tex')).equals(fs.readFileSync(SHIPPED)),
    'the saved document equals data/Testin3.tex byte for byte');
  assert.match(output(), /^saved .*Built\.tex$/m);
  assert.equal(await page.title(), 'Built.tex — Texture studio');
  assert.deepEqual(problems, []);
  await page.close();
});

test('the preview follows an edit and Undo brings it back', async () => {
  const folder = temporaryFolder();
  fs.copyFileSync(SHIPPED, path.join(folder, 'Testin3.tex'));
  const { address } = await startStudio(folder, ['Testin3.tex']);
  const { page, problems } = await openPage(address);
  const before = await previewPixels(page, 0);

  await page.getByRole('tab', { name: 'Layer 0' }).click();
  await records(page).first().click();
  let drawn = await frames(page);
  await page.getByRole('button', { name: 'Texture' }).click();
  await previewPixels(page, drawn);
  drawn = await frames(page);
  const seed = page.getByLabel('seed', { exact: true });
  await seed.fill('12345');
  await seed.press('Enter');
  const changed = await previewPixels(page, drawn);
  assert.notEqual(changed, before, 'a new seed in layer 0 changes the texture');
  assert.match(await page.title(), /^• Testin3\.tex/);

  drawn = await frames(page);
  await page.getByRole('img', { name: 'Preview' }).click();
  await page.keyboard.press('Control+z');
  assert.equal(await previewPixels(page, drawn), before, 'Undo shows the texture as it was');
  assert.equal(await seed.inputValue(), '694787904');
  assert.deepEqual(problems, []);
  await page.close();
});

test('the design size is set deliberately, previewed at, saved, and Export at another size keeps the look', async () => {
  const folder = temporaryFolder();
  fs.copyFileSync(SHIPPED, path.join(folder, 'Testin3.tex'));
  const { address } = await startStudio(folder, ['Testin3.tex']);
  const { page, problems } = await openPage(address);
  const design = page.getByRole('button', { name: /^Design size/ });
  assert.match(await design.textContent(), /256 × 256/);

  await design.click();
  await page.getByLabel('Design width').selectOption('512');
  await page.getByLabel('Design height').selectOption('512');
  await page.getByRole('button', { name: 'Set design size' }).click();
  await page.locator('.preview-info').getByText(/^512 × 512/).waitFor();
  assert.match(await design.textContent(), /512 × 512/);

  await page.getByRole('button', { name: 'Export' }).click();
  const width = page.getByLabel('Width', { exact: true });
  assert.equal(await width.inputValue(), '512', 'Export starts at the design size');
  assert.ok(await page.getByLabel('Keep the look').isDisabled());
  await width.selectOption('2048');
  await page.getByLabel('Height', { exact: true }).selectOption('2048');
  await page.getByText(/2048 × 2048 is 4 times the design size .* patterns come out smaller/).waitFor();
  await page.getByLabel('Keep the look').check();
  await page.getByText(/keeps its look with finer detail/).waitFor();
  await page.getByRole('img', { name: 'Preview of the export' }).waitFor({ timeout: 120000 });
  await page.getByRole('button', { name: 'Close' }).click();

  await page.keyboard.press('Control+s');
  await page.getByRole('status').getByText('Saved Testin3.tex.').waitFor();
  const saved = fs.readFileSync(path.join(folder, 'Testin3.tex'));
  assert.equal(saved.subarray(22020).toString(), 'texgen-extras 1\ndesign-size 512x512\nend\n');
  await page.getByRole('button', { name: 'Undo' }).click();
  await page.locator('.preview-info').getByText(/^256 × 256/).waitFor();
  assert.match(await design.textContent(), /256 × 256/);
  assert.deepEqual(problems, []);
  await page.close();
});

test('a killed studio offers its unsaved changes at the next start', async () => {
  const folder = temporaryFolder();
  fs.copyFileSync(SHIPPED, path.join(folder, 'Testin3.tex'));
  const first = await startStudio(folder, ['Testin3.tex']);
  const { page } = await openPage(first.address);
  await page.getByRole('tab', { name: 'Layer 1' }).click();
  await records(page).first().click();
  await page.getByRole('button', { name: 'Delete record' }).click();
  await records(page).first().getByText('sineLayerRGB(').waitFor();
  // The kernel releases the killed studio's lock on the file once it has
  // exited; only then may the next studio take the file.
  const exited = new Promise((resolve) => first.server.once('exit', resolve));
  first.server.kill('SIGKILL');
  await exited;
  await page.close();

  const second = await startStudio(folder, ['Testin3.tex']);
  const reopened = await openPage(second.address);
  const offer = reopened.page.getByRole('dialog', { name: 'Recover unsaved changes' });
  await offer.waitFor();
  // Enter keeps the work: Restore has the focus.
  assert.equal(await reopened.page.evaluate(() => document.activeElement.textContent), 'Restore');
  await reopened.page.keyboard.press('Enter');
  await reopened.page.getByRole('tab', { name: 'Layer 1' }).click();
  await records(reopened.page).first().getByText('sineLayerRGB(').waitFor();
  assert.equal(await records(reopened.page).count(), 2);
  assert.match(await reopened.page.title(), /^• /, 'restored changes are unsaved');
  await reopened.page.close();
});

test('a dragged slider updates the preview at 256 by 256; the README screenshot', async () => {
  const folder = temporaryFolder();
  fs.copyFileSync(SHIPPED, path.join(folder, 'Testin3.tex'));
  const { address } = await startStudio(folder, ['Testin3.tex']);
  const { page, problems } = await openPage(address);
  await previewPixels(page, 0);
  // Layer 4's third record, addLayers: drag its second weight back and forth
  // for three seconds, one input event per display frame as a pointer gives.
  await records(page).nth(2).click();
  const slider = page.getByLabel('w2 slider');
  const start = await frames(page);
  const seconds = await dragSlider(slider);
  const rate = ((await frames(page)) - start) / seconds;
  console.log(`# slider drag at 256x256 with the shipped texture: ${rate.toFixed(1)} preview updates a second`);
  assert.ok(rate > 0, 'the preview follows the drag');

  // One drag is one undo step.
  await page.getByRole('button', { name: 'Undo' }).click();
  await records(page).nth(2).getByText('addLayers(4,2,4,1,-1);').waitFor();

  if (process.env.SCREENSHOT) {
    await page.getByRole('tab', { name: 'Layer 2' }).click();
    await records(page).nth(4).click();
    const drawn = await frames(page);
    await page.getByRole('button', { name: 'Texture' }).click();
    await previewPixels(page, drawn);
    await page.getByRole('button', { name: 'Tile preview' }).click();
    await page.waitForTimeout(200);
    await page.screenshot({ path: process.env.SCREENSHOT });
  }
  assert.deepEqual(problems, []);
  await page.close();
});
