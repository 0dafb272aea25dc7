// What the browser tests share: Debian's chromium driven by playwright-core,
// `texgen studio` started in a temporary folder, and the page's regions by
// their accessible names.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { chromium } from 'playwright-core';

export const TEXGEN = process.env.TEXGEN;
export const SOURCE_DIR = process.env.SOURCE_DIR;
const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
export const SHIPPED = path.join(SOURCE_DIR, 'data', 'Testin3.tex');

export let browser;
const servers = [];

export async function startBrowser() {
  assert.ok(TEXGEN && SOURCE_DIR, 'TEXGEN and SOURCE_DIR name the program and the source tree');
  const args = ['--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync'];
  if (process.getuid && process.getuid() === 0) args.push('--no-sandbox');
  // playwright starts every browser with a fresh, empty profile of its own.
  browser = await chromium.launch({ executablePath: CHROMIUM, args });
}

export async function stopAll() {
  for (const server of servers) if (server.exitCode === null) server.kill('SIGKILL');
  await browser?.close();
}

// Starts `texgen studio` in `folder`; resolves with the process and the address it printed.
export function startStudio(folder, file = []) {
  const server = spawn(TEXGEN, ['studio', ...file, '--no-open', '--port', '0'], { cwd: folder });
  servers.push(server);
  return new Promise((resolve, reject) => {
    let out = '';
    server.stdout.on('data', (chunk) => {
      out += chunk;
      const match = out.match(/^Texture studio: (http:\/\/127\.0\.0\.1:\d+\/#token=[0-9a-f]{32})$/m);
      if (match) resolve({ server, address: match[1], output: () => out });
    });
    server.on('exit', (code) => reject(new Error(`texgen studio exited with ${code}`)));
  });
}

export function temporaryFolder() {
  return fs.mkdtempSync(path.join(os.tmpdir(), 'studio-browser-'));
}

export async function openPage(address, viewport = { width: 1280, height: 800 }, context = null) {
  const page = await (context || browser).newPage(context ? {} : { viewport });
  const problems = [];
  page.on('pageerror', (error) => problems.push(error.message));
  await page.goto(address);
  await page.getByRole('tab', { name: 'Layer 4' }).waitFor();
  return { page, problems };
}

// The records of the selected layer's program.
export const records = (page, options) => page.getByRole('listbox', { name: /program$/ }).getByRole('option', options);

export const frames = (page) => page.getByRole('img', { name: 'Preview' }).getAttribute('data-frames').then(Number);

// The preview's pixels once it has drawn more than `after` frames and settled.
export async function previewPixels(page, after) {
  // A frame of the page's newest document, once no edit is on its way.
  await page.waitForFunction((n) => {
    const canvas = document.querySelector('canvas[aria-label="Preview"]');
    return Number(canvas.dataset.frames) > n && !window.studio.editing &&
      Number(canvas.dataset.revision) >= window.studio.doc.revision;
  }, after);
  await page.waitForTimeout(150);
  return page.evaluate(() => document.querySelector('canvas[aria-label="Preview"]').toDataURL());
}

// Drags a range input back and forth between -1 and 1 for three seconds, one
// input event per display frame as a pointer gives; answers the seconds.
export const dragSlider = (slider) => slider.evaluate((element) => new Promise((resolve) => {
  const began = performance.now();
  const step = (now) => {
    const t = (now - began) / 1000;
    if (t >= 3) {
      element.dispatchEvent(new Event('change', { bubbles: true }));
      resolve(t);
      return;
    }
    element.value = String(-1 + Math.abs(((t * 0.8) % 2) - 1) * 2);
    element.dispatchEvent(new Event('input', { bubbles: true }));
    requestAnimationFrame(step);
  };
  requestAnimationFrame(step);
}));

// Adds the shipped listing's records one by one through the page, as an author
// would: the layer's tab, "Add operation", the palette's search, then each
// argument's field. Waits until every record holds the listing's line.
export async function addShippedRecords(page) {
  const operations = await page.evaluate(() => window.studio.operations);
  const counts = [0, 0, 0, 0, 0];
  let layer = -1;
  const listing = path.join(process.env.SOURCE_DIR || '.', 'data', 'Testin3.listing');
  for (const line of fs.readFileSync(listing, 'utf8').split('\n')) {
    const marker = line.match(/^\/\/ layer (\d)/);
    if (marker) layer = Number(marker[1]);
    const call = line.match(/^(\w+)\((.*)\);$/);
    if (!call) continue;
    const [, name, list] = call;
    const values = list.split(',');
    await page.getByRole('tab', { name: `Layer ${layer}` }).click();
    await page.getByRole('button', { name: 'Add operation' }).click();
    const search = page.getByRole('searchbox', { name: 'Search operations' });
    await search.fill(name);
    await search.press('Enter');
    // The new record is selected once the studio has answered.
    await records(page, { selected: true }).getByText(`${name}(`).waitFor();
    const at = counts[layer];
    await page.waitForFunction((n) => document.querySelectorAll('[role="listbox"] [role="option"]').length === n,
      ++counts[layer]);
    const argumentsOf = operations.find((operation) => operation.name === name).arguments;
    for (let k = 0; k < argumentsOf.length; k++) {
      const { name: label, kind } = argumentsOf[k];
      const field = page.getByLabel(label, { exact: true });
      if (kind === 'layer') await field.selectOption(values[k]);
      else if (kind === 'boolean') await field.setChecked(values[k] === 'true');
      else {
        await field.fill(values[k]);
        await field.press('Enter');
      }
    }
    // The record holds the line the listing holds (the list shows the shortest digits).
    await page.waitForFunction(([l, i, source]) => window.studio.doc.layers[l].records[i]?.source === source,
      [layer, at, `${name}(${list});`]);
  }
}
