// The design size: the size the author designs and judges the texture at.
// "Design size" shows and sets it (an edit, undone like the others); the
// preview starts at it; Export starts at it and, at another size, says what
// will happen, offers "Keep the look" and shows a small preview.
import * as api from './api.js';
import { store, on, edit, status } from './store.js';
import { element, button } from './dom.js';

const SIDES = Array.from({ length: 14 }, (_, i) => 2 ** i);  // 1 .. 8192
const PREVIEW = 128;
const PREVIEW_LIMIT = 2048 * 2048;  // larger exports are not rendered just to preview them
const sizeText = ({ width, height }) => `${width} × ${height}`;

function sideSelect(id, label, value) {
  const node = element('select', { id });
  for (const side of SIDES) node.add(new Option(String(side), String(side)));
  node.value = String(value);
  return [element('label', { htmlFor: id, textContent: label }), node];
}

async function chooseDesignSize(dialog) {
  const current = store.doc.designSize;
  const [widthLabel, width] = sideSelect('design-width', 'Design width', current.width);
  const [heightLabel, height] = sideSelect('design-height', 'Design height', current.height);
  const note = element('p', {
    className: 'muted',
    textContent: 'The size you design and judge this texture at. The preview and exports start at it, and an export ' +
      'at another size can keep the look the texture has here.',
  });
  const chosen = await dialog('Design size', [note, element('div', { className: 'inline' }, widthLabel, width, heightLabel, height)],
    [['Cancel', null], ['Set design size', () => ({ width: Number(width.value), height: Number(height.value) }), true]]);
  if (!chosen || (chosen.width === current.width && chosen.height === current.height)) return;
  const doc = await edit('designSize', chosen);
  if (doc) status(`The design size is ${sizeText(doc.designSize)}; Undo sets it back.`);
}

export function mountDesignSize(parent, dialog) {
  const show = button('Design size', () => chooseDesignSize(dialog));
  show.classList.add('design-size');
  const value = element('span', { className: 'muted' });
  show.append(' ', value);
  parent.append(show);
  on('doc', (doc) => {
    value.textContent = sizeText(doc.designSize);
    show.title = `Design size ${sizeText(doc.designSize)}: the size this texture is designed and judged at`;
  });
}

function ratioText(r) {
  return r >= 1 ? `${r} times` : `1/${1 / r} of`;
}

// The PNG export's look options for the chosen layer and size: returns the
// nodes to show and the request parameters they add.
export function exportLook(layer, width, height) {
  const keep = element('input', { type: 'checkbox', id: 'export-keep-look' });
  const keepLabel = element('label', { htmlFor: 'export-keep-look', textContent: 'Keep the look' });
  const note = element('p', { className: 'muted export-note' });
  note.setAttribute('aria-live', 'polite');
  const picture = element('img', { className: 'export-preview', alt: 'Preview of the export', hidden: true });
  picture.width = PREVIEW;
  picture.height = PREVIEW;
  let timer = 0, asked = 0;

  async function load(query) {
    const mine = ++asked;
    try {
      const blob = await api.exportPreview(query);
      if (mine !== asked) return;
      if (picture.src) URL.revokeObjectURL(picture.src);
      picture.src = URL.createObjectURL(blob);
      picture.hidden = false;
    } catch (error) {
      if (mine === asked) status(error.message, 'error');
    }
  }

  function update() {
    const design = store.doc.designSize;
    const w = Number(width.value), h = Number(height.value);
    clearTimeout(timer);
    ++asked;
    if (w === design.width && h === design.height) {
      keep.disabled = true;
      picture.hidden = true;
      note.textContent = `${sizeText(design)} is the design size: the export is what the preview shows.`;
      return;
    }
    keep.disabled = false;
    const rx = w / design.width, ry = h / design.height;
    const ratio = rx === ry ? `${ratioText(rx)} the design size` : `${ratioText(rx)} the design width and ${ratioText(ry)} its height`;
    const finer = rx * ry > 1;
    note.textContent = keep.checked
      ? `${w} × ${h} is ${ratio} (${sizeText(design)}): lengths and frequencies in pixels are scaled to match, so ` +
        `the texture keeps its look with ${finer ? 'finer' : 'coarser'} detail.`
      : `${w} × ${h} is ${ratio} (${sizeText(design)}): arguments stay in pixels, so patterns come out ` +
        `${finer ? 'smaller' : 'larger'} and the picture changes. "Keep the look" scales them.`;
    if (w * h > PREVIEW_LIMIT) {
      picture.hidden = true;
      note.textContent += ' (No preview above 2048 × 2048.)';
      return;
    }
    const query = { layer: layer.value, width: w, height: h, preview: PREVIEW, ...(keep.checked ? { keepLook: 1 } : {}) };
    timer = setTimeout(() => load(query), 250);
  }

  for (const control of [layer, width, height, keep]) control.addEventListener('change', update);
  update();
  return {
    nodes: [element('div', { className: 'inline' }, keep, keepLabel), note, picture],
    params: () => (keep.checked && !keep.disabled ? { keepLook: 1 } : {}),
  };
}
