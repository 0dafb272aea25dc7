// The preview region: the selected layer or the texture at the chosen size,
// zoomed, optionally tiled 3 by 3 so that seams show. At most one render is
// on its way; when it returns, the newest state is asked for if it changed
// meanwhile, so a drag never queues renders behind each other.
import * as api from './api.js';
import { store, on, emit, setView, status } from './store.js';
import { toggle } from './dom.js';

const SIZES = [128, 256, 512, 1024, 2048];
const SIDES = Array.from({ length: 14 }, (_, i) => 2 ** i);  // 1 .. 8192
const ZOOMS = [['fit', 'Fit'], ['0.25', '25%'], ['0.5', '50%'], ['1', '100%'], ['2', '200%'], ['4', '400%'], ['8', '800%']];

function control(tag, label, options) {
  const element = document.createElement(tag);
  element.setAttribute('aria-label', label);
  element.title = label;
  for (const [value, text] of options) element.add(new Option(text, value));
  return element;
}

export function mountPreview(root) {
  const bar = document.createElement('div');
  bar.className = 'preview-bar';
  const which = document.createElement('div');
  which.className = 'segmented';
  which.setAttribute('role', 'group');
  which.setAttribute('aria-label', 'Show');
  const layerButton = toggle('Selected layer', true, () => setView({ texture: false }));
  const textureButton = toggle('Texture', false, () => setView({ texture: true }));
  which.append(layerButton, textureButton);

  const size = control('select', 'Preview size', [...SIZES.map((s) => [String(s), `${s} × ${s}`]), ['custom', 'Other size…']]);
  const width = control('select', 'Preview width', SIDES.map((s) => [String(s), String(s)]));
  const height = control('select', 'Preview height', SIDES.map((s) => [String(s), String(s)]));
  const custom = document.createElement('span');
  custom.className = 'custom-size';
  custom.append(width, document.createTextNode('×'), height);
  const zoom = control('select', 'Zoom', ZOOMS);
  const tile = toggle('Tile preview', false, () => setView({ tile: !store.view.tile }));
  const info = document.createElement('span');
  info.className = 'preview-info muted';
  bar.append(which, size, custom, zoom, tile, info);

  const viewport = document.createElement('div');
  viewport.className = 'viewport';
  const canvas = document.createElement('canvas');
  canvas.setAttribute('role', 'img');
  canvas.setAttribute('aria-label', 'Preview');
  canvas.dataset.frames = '0';
  viewport.append(canvas);
  root.append(bar, viewport);

  const source = document.createElement('canvas');  // the rendered layer, once
  let drawn = null;       // what the canvas shows
  let inFlight = false;
  let frames = 0;

  size.addEventListener('change', () => {
    if (size.value === 'custom') {
      custom.hidden = false;
      width.value = String(store.view.width);
      height.value = String(store.view.height);
      width.focus();
    } else {
      setView({ width: Number(size.value), height: Number(size.value) });
    }
  });
  width.addEventListener('change', () => setView({ width: Number(width.value) }));
  height.addEventListener('change', () => setView({ height: Number(height.value) }));
  zoom.addEventListener('change', () => setView({ zoom: zoom.value }));
  viewport.addEventListener('wheel', (event) => {
    if (!event.ctrlKey) return;
    event.preventDefault();
    const index = Math.max(1, ZOOMS.findIndex(([value]) => value === store.view.zoom));
    const next = Math.max(1, Math.min(ZOOMS.length - 1, index + (event.deltaY < 0 ? 1 : -1)));
    setView({ zoom: ZOOMS[next][0] });
  }, { passive: false });

  function wanted() {
    const { view, selection, doc } = store;
    return {
      revision: doc.revision, sent: store.sent, layer: view.texture ? 4 : selection.layer, width: view.width, height: view.height,
    };
  }

  // What is drawn may be newer than the page's document: an edit's answer can
  // arrive after the render of its revision.
  const same = (a, b) => a && b && b.revision >= a.revision && b.sent >= a.sent && a.layer === b.layer &&
    a.width === b.width && a.height === b.height;

  async function pump() {
    if (inFlight || !store.doc) return;
    const want = wanted();
    if (same(want, drawn)) return;
    inFlight = true;
    const started = performance.now();
    try {
      const { pixels, thumbs, revision } = await api.render(want);
      paint(pixels, want.width, want.height);
      drawn = { ...want, revision };
      info.textContent = `${want.width} × ${want.height} · ${Math.round(performance.now() - started)} ms`;
      emit('thumbs', thumbs);
    } catch (error) {
      status(error.message, 'error');
      drawn = want;  // do not ask again for what failed
    } finally {
      inFlight = false;
    }
    pump();
  }

  function paint(rgb, w, h) {
    source.width = w;
    source.height = h;
    const context = source.getContext('2d');
    const image = context.createImageData(w, h);
    const data = image.data;
    for (let i = 0, j = 0; i < rgb.length; i += 3, j += 4) {
      data[j] = rgb[i];
      data[j + 1] = rgb[i + 1];
      data[j + 2] = rgb[i + 2];
      data[j + 3] = 255;
    }
    context.putImageData(image, 0, 0);
    compose();
    canvas.dataset.frames = String(++frames);
  }

  // Draws the rendered layer once, or 3 by 3, and scales it for the zoom.
  function compose() {
    const { tile } = store.view;
    const w = source.width, h = source.height;
    const copies = tile ? 3 : 1;
    if (canvas.width !== w * copies || canvas.height !== h * copies) {
      canvas.width = w * copies;
      canvas.height = h * copies;
    }
    const context = canvas.getContext('2d');
    for (let y = 0; y < copies; y++) for (let x = 0; x < copies; x++) context.drawImage(source, x * w, y * h);
    fit();
  }

  function fit() {
    const { zoom: chosen } = store.view;
    const available = viewport.getBoundingClientRect();
    const scale = chosen === 'fit'
      ? Math.max(0.01, Math.min((available.width - 32) / canvas.width, (available.height - 32) / canvas.height))
      : Number(chosen);
    canvas.style.width = `${Math.round(canvas.width * scale)}px`;
    canvas.style.height = `${Math.round(canvas.height * scale)}px`;
    canvas.classList.toggle('pixelated', scale >= 1);
  }

  new ResizeObserver(() => canvas.width && fit()).observe(viewport);

  on('view', (view) => {
    layerButton.setAttribute('aria-pressed', String(!view.texture));
    textureButton.setAttribute('aria-pressed', String(view.texture));
    tile.setAttribute('aria-pressed', String(view.tile));
    const square = view.width === view.height && SIZES.includes(view.width);
    if (square && size.value !== 'custom') size.value = String(view.width);
    custom.hidden = square && size.value !== 'custom';
    zoom.value = view.zoom;
    if (source.width) compose();
    pump();
  });
  on('doc', pump);
  on('sent', pump);
  on('selection', pump);
  setView({});
}
