// The preview region: the selected layer, the selected layer right after the
// selected record, or the texture, at the chosen size; optionally tiled 3 by
// 3 so that seams show, and compared without the selected record beside a
// divider the author drags. The wheel zooms about the pointer, a drag pans,
// and a readout gives the pixel under the pointer. At most one render is on
// its way; when it returns, the newest state is asked for if it changed
// meanwhile, so a drag never queues renders behind each other.
import * as api from './api.js';
import { store, on, emit, setView, status, frameDrawn, records } from './store.js';
import { element, toggle } from './dom.js';

const SIZES = [128, 256, 512, 1024, 2048];
const SIDES = Array.from({ length: 14 }, (_, i) => 2 ** i);  // 1 .. 8192
const ZOOMS = [['fit', 'Fit'], ['0.25', '25%'], ['0.5', '50%'], ['1', '100%'], ['2', '200%'], ['4', '400%'], ['8', '800%']];
const MODES = [['layer', 'Selected layer'], ['record', 'After selected record'], ['texture', 'Texture']];

function control(tag, label, options) {
  const node = document.createElement(tag);
  node.setAttribute('aria-label', label);
  node.title = label;
  for (const [value, text] of options) node.add(new Option(text, value));
  return node;
}

const typing = () => document.activeElement?.matches('input[type="text"], input[type="search"], textarea, select');

export function mountPreview(root) {
  const bar = element('div', { className: 'preview-bar' });
  const which = element('div', { className: 'segmented' });
  which.setAttribute('role', 'group');
  which.setAttribute('aria-label', 'Show');
  const modeButtons = MODES.map(([mode, label]) => toggle(label, false, () => setView({ mode })));
  which.append(...modeButtons);
  modeButtons[1].title = 'The selected layer as it stands right after the selected record';

  const size = control('select', 'Preview size', [...SIZES.map((s) => [String(s), `${s} × ${s}`]), ['custom', 'Other size…']]);
  const width = control('select', 'Preview width', SIDES.map((s) => [String(s), String(s)]));
  const height = control('select', 'Preview height', SIDES.map((s) => [String(s), String(s)]));
  const custom = element('span', { className: 'custom-size' }, width, '×', height);
  const zoom = control('select', 'Zoom', ZOOMS);
  const tile = toggle('Tile preview', false, () => setView({ tile: !store.view.tile }));
  const compare = toggle('Compare', false, () => setView({ compare: !store.view.compare }));
  compare.title = 'Without the selected record on the left, with it on the right (hold \\ to compare briefly)';
  const readout = element('span', { className: 'readout muted' });
  readout.setAttribute('aria-label', 'Pixel readout');
  const swatch = element('span', { className: 'swatch' });
  const readoutText = element('span', { textContent: 'x – y –' });
  readout.append(swatch, readoutText);
  const info = element('span', { className: 'preview-info muted' });
  bar.append(which, size, custom, zoom, tile, compare, info);

  const viewport = element('div', { className: 'viewport' });
  const canvas = element('canvas');
  canvas.setAttribute('role', 'img');
  canvas.setAttribute('aria-label', 'Preview');
  canvas.dataset.frames = '0';
  const caption = element('div', { className: 'caption' });
  const beforeTag = element('span', { className: 'compare-tag left', textContent: 'Without' });
  const afterTag = element('span', { className: 'compare-tag right', textContent: 'With' });
  const divider = element('div', { className: 'divider', tabIndex: 0 });
  divider.setAttribute('role', 'separator');
  divider.setAttribute('aria-label', 'Compare divider');
  divider.setAttribute('aria-orientation', 'vertical');
  divider.setAttribute('aria-valuemin', '0');
  divider.setAttribute('aria-valuemax', '100');
  viewport.append(canvas, caption, readout, beforeTag, afterTag, divider);
  root.append(bar, viewport);

  const source = document.createElement('canvas');  // the rendered layer, once
  const sourceWithout = document.createElement('canvas');  // the same without the compared record
  let shown = null;       // {pixels, without, width, height} of what the canvas shows
  let drawn = null;       // what was asked for it
  let inFlight = false;
  let frames = 0;
  let held = false;       // the backslash key
  let pan = { x: 0, y: 0 };  // the canvas centre from the viewport's, in screen pixels

  const comparing = () => (store.view.compare || held) && store.selection.index >= 0;

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
  zoom.addEventListener('change', () => {
    pan = { x: 0, y: 0 };
    setView({ zoom: zoom.value });
  });

  // The scale the canvas is shown at.
  function scale() {
    if (store.view.zoom !== 'fit') return Number(store.view.zoom);
    const available = viewport.getBoundingClientRect();
    return Math.max(0.01, Math.min((available.width - 32) / canvas.width, (available.height - 32) / canvas.height));
  }

  viewport.addEventListener('wheel', (event) => {
    if (!canvas.width) return;
    event.preventDefault();
    const before = scale();
    const after = Math.max(0.05, Math.min(64, before * Math.exp(-event.deltaY * 0.0015)));
    const box = viewport.getBoundingClientRect();
    // The image point under the pointer stays there.
    const px = event.clientX - box.left - box.width / 2, py = event.clientY - box.top - box.height / 2;
    pan = { x: px - (px - pan.x) * after / before, y: py - (py - pan.y) * after / before };
    setView({ zoom: String(Number(after.toPrecision(4))) });
  }, { passive: false });

  let panning = null;
  viewport.addEventListener('pointerdown', (event) => {
    if (event.button !== 0 || event.target === divider) return;
    if (store.view.zoom === 'fit') setView({ zoom: String(Number(scale().toPrecision(4))) });
    panning = { x: event.clientX - pan.x, y: event.clientY - pan.y };
    viewport.setPointerCapture(event.pointerId);
    viewport.classList.add('panning');
  });
  viewport.addEventListener('pointermove', (event) => {
    if (panning) {
      pan = { x: event.clientX - panning.x, y: event.clientY - panning.y };
      place();
    }
    readPixel(event);
  });
  const endPan = () => {
    panning = null;
    viewport.classList.remove('panning');
  };
  viewport.addEventListener('pointerup', endPan);
  viewport.addEventListener('pointercancel', endPan);
  viewport.addEventListener('pointerleave', () => { readoutText.textContent = 'x – y –'; swatch.style.background = ''; });

  // The pixel under the pointer, from the bytes the studio sent.
  function readPixel(event) {
    if (!shown) return;
    const box = canvas.getBoundingClientRect();
    const u = (event.clientX - box.left) / box.width, v = (event.clientY - box.top) / box.height;
    if (u < 0 || u >= 1 || v < 0 || v >= 1) {
      readoutText.textContent = 'x – y –';
      swatch.style.background = '';
      return;
    }
    const x = Math.floor(u * canvas.width) % shown.width, y = Math.floor(v * canvas.height) % shown.height;
    const pixels = shown.without && u < store.view.split ? shown.without : shown.pixels;
    const i = (y * shown.width + x) * 3;
    const [r, g, b] = [pixels[i], pixels[i + 1], pixels[i + 2]];
    readoutText.textContent = `x ${x} y ${y} · R ${r} G ${g} B ${b}`;
    swatch.style.background = `rgb(${r},${g},${b})`;
  }

  // The divider between the result without and with the selected record.
  const setSplit = (split) => setView({ split: Math.max(0, Math.min(1, split)) });
  divider.addEventListener('pointerdown', (event) => {
    event.stopPropagation();
    divider.setPointerCapture(event.pointerId);
    const move = (e) => {
      const box = canvas.getBoundingClientRect();
      setSplit((e.clientX - box.left) / box.width);
    };
    divider.addEventListener('pointermove', move);
    divider.addEventListener('pointerup', () => divider.removeEventListener('pointermove', move), { once: true });
  });
  divider.addEventListener('keydown', (event) => {
    const step = { ArrowLeft: -0.05, ArrowRight: 0.05 }[event.key];
    if (step) {
      event.preventDefault();
      setSplit(store.view.split + step);
    }
  });

  document.addEventListener('keydown', (event) => {
    if (event.key !== '\\' || event.repeat || typing() || event.ctrlKey || event.metaKey) return;
    held = true;
    emit('view', store.view);
  });
  document.addEventListener('keyup', (event) => {
    if (event.key !== '\\' || !held) return;
    held = false;
    emit('view', store.view);
  });

  function wanted() {
    const { view, selection, doc } = store;
    const want = {
      revision: doc.revision, sent: store.sent, layer: view.mode === 'texture' ? 4 : selection.layer,
      width: view.width, height: view.height, focus: selection.layer,
    };
    if (view.mode === 'record') want.record = selection.index;
    if (comparing()) want.compare = { layer: selection.layer, index: selection.index };
    return want;
  }

  // What is drawn may be newer than the page's document: an edit's answer can
  // arrive after the render of its revision.
  const key = (w) => JSON.stringify([w.layer, w.width, w.height, w.record, w.compare]);
  const same = (a, b) => a && b && b.revision >= a.revision && b.sent >= a.sent && key(a) === key(b);

  async function pump() {
    if (inFlight || !store.doc) return;
    const want = wanted();
    if (same(want, drawn)) return;
    inFlight = true;
    const started = performance.now();
    try {
      const answer = await api.render(want);
      shown = { ...answer, width: want.width, height: want.height };
      paint(source, answer.pixels, want.width, want.height);
      if (answer.without) paint(sourceWithout, answer.without, want.width, want.height);
      drawn = { ...want, revision: answer.revision };
      compose();
      canvas.dataset.frames = String(++frames);
      canvas.dataset.revision = String(answer.revision);
      info.textContent = `${want.width} × ${want.height} · ${Math.round(performance.now() - started)} ms`;
      if (answer.thumbs) emit('thumbs', answer.thumbs);
      frameDrawn(answer.revision);
    } catch (error) {
      status(error.message, 'error');
      drawn = want;  // do not ask again for what failed
    } finally {
      inFlight = false;
    }
    pump();
  }

  function paint(target, rgb, w, h) {
    target.width = w;
    target.height = h;
    const context = target.getContext('2d');
    const image = context.createImageData(w, h);
    // One 32-bit store per pixel (bytes red, green, blue, opaque in memory order).
    const words = new Uint32Array(image.data.buffer);
    const little = new Uint8Array(new Uint32Array([1]).buffer)[0] === 1;
    for (let i = 0, j = 0; j < words.length; i += 3, j++) {
      words[j] = little ? 0xff000000 | (rgb[i + 2] << 16) | (rgb[i + 1] << 8) | rgb[i]
        : ((rgb[i] << 24) | (rgb[i + 1] << 16) | (rgb[i + 2] << 8) | 0xff) >>> 0;
    }
    context.putImageData(image, 0, 0);
  }

  // Draws the rendered layer once, or 3 by 3, the part left of the divider
  // without the compared record, and scales it for the zoom.
  function compose() {
    if (!source.width) return;
    const { tile: tiled, split } = store.view;
    const w = source.width, h = source.height;
    const copies = tiled ? 3 : 1;
    if (canvas.width !== w * copies || canvas.height !== h * copies) {
      canvas.width = w * copies;
      canvas.height = h * copies;
    }
    const context = canvas.getContext('2d');
    const draw = (image) => {
      for (let y = 0; y < copies; y++) for (let x = 0; x < copies; x++) context.drawImage(image, x * w, y * h);
    };
    draw(source);
    const split2 = shown && shown.without && drawn?.compare ? split : -1;
    if (split2 >= 0) {
      context.save();
      context.beginPath();
      context.rect(0, 0, Math.round(canvas.width * split2), canvas.height);
      context.clip();
      draw(sourceWithout);
      context.restore();
    }
    place();
  }

  // Sizes and positions the canvas, the divider and the tags.
  function place() {
    if (!canvas.width) return;
    const s = scale();
    if (store.view.zoom === 'fit') pan = { x: 0, y: 0 };
    const w = Math.round(canvas.width * s), h = Math.round(canvas.height * s);
    const box = viewport.getBoundingClientRect();
    const left = Math.round(box.width / 2 + pan.x - w / 2), top = Math.round(box.height / 2 + pan.y - h / 2);
    Object.assign(canvas.style, { width: `${w}px`, height: `${h}px`, left: `${left}px`, top: `${top}px` });
    canvas.classList.toggle('pixelated', s >= 1);
    const on = !!(shown && shown.without && drawn?.compare);
    divider.hidden = beforeTag.hidden = afterTag.hidden = !on;
    if (on) {
      const x = left + w * store.view.split;
      divider.style.left = `${Math.round(x)}px`;
      divider.style.top = `${Math.max(0, top)}px`;
      divider.style.height = `${Math.min(box.height, top + h) - Math.max(0, top)}px`;
      divider.setAttribute('aria-valuenow', String(Math.round(store.view.split * 100)));
      beforeTag.style.left = `${Math.max(8, Math.round(x) - 8 - beforeTag.offsetWidth)}px`;
      afterTag.style.left = `${Math.round(x) + 8}px`;
      beforeTag.style.top = afterTag.style.top = `${Math.max(8, top + 8)}px`;
    }
  }

  function describe() {
    const { view, selection } = store;
    const layer = view.mode === 'texture' ? 4 : selection.layer;
    let text = view.mode === 'texture' ? 'Texture (layer 4)' : `Layer ${layer}`;
    if (view.mode === 'record') {
      const record = records(selection.layer)[selection.index];
      text += record ? ` after record ${selection.index}, ${record.name || 'unassigned'}` : ' before its first record';
    }
    caption.textContent = text;
    if (comparing()) beforeTag.textContent = `Without record ${selection.index}`;
  }

  new ResizeObserver(() => place()).observe(viewport);

  on('view', (view) => {
    modeButtons.forEach((button, i) => button.setAttribute('aria-pressed', String(MODES[i][0] === view.mode)));
    tile.setAttribute('aria-pressed', String(view.tile));
    compare.setAttribute('aria-pressed', String(view.compare || held));
    const square = view.width === view.height && SIZES.includes(view.width);
    if (square && size.value !== 'custom') size.value = String(view.width);
    if (!square) {
      size.value = 'custom';
      width.value = String(view.width);
      height.value = String(view.height);
    }
    custom.hidden = square && size.value !== 'custom';
    // A zoom the wheel chose shows as its percentage.
    [...zoom.options].filter((option) => option.dataset.free).forEach((option) => option.remove());
    if (!ZOOMS.some(([value]) => value === view.zoom)) {
      const option = new Option(`${Math.round(Number(view.zoom) * 100)}%`, view.zoom);
      option.dataset.free = '1';
      zoom.add(option);
    }
    zoom.value = view.zoom;
    describe();
    compose();
    pump();
  });
  on('doc', pump);
  on('sent', pump);
  on('selection', () => {
    describe();
    pump();
  });
  setView({});
}
