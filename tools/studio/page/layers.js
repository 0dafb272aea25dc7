// The layers region: five tabs, each with a live thumbnail of its layer;
// layer 4 is marked as the texture.
import { THUMBNAIL } from './api.js';
import { store, on, selectLayer } from './store.js';

export function mountLayers(root) {
  const list = document.createElement('div');
  list.className = 'layer-tabs';
  list.setAttribute('role', 'tablist');
  list.setAttribute('aria-label', 'Layers');
  const tabs = [];
  const contexts = [];
  for (let layer = 0; layer < 5; layer++) {
    const tab = document.createElement('button');
    tab.type = 'button';
    tab.className = 'layer-tab';
    tab.setAttribute('role', 'tab');
    tab.setAttribute('aria-label', `Layer ${layer}`);
    tab.title = layer === 4 ? 'Layer 4: the texture' : `Layer ${layer}`;
    const canvas = document.createElement('canvas');
    canvas.width = canvas.height = THUMBNAIL;
    canvas.setAttribute('aria-hidden', 'true');
    const label = document.createElement('span');
    label.className = 'layer-label';
    label.textContent = layer === 4 ? '4 texture' : String(layer);
    const count = document.createElement('span');
    count.className = 'layer-count';
    tab.append(canvas, label, count);
    tab.addEventListener('click', () => selectLayer(layer));
    tab.addEventListener('keydown', (event) => {
      const step = { ArrowRight: 1, ArrowDown: 1, ArrowLeft: -1, ArrowUp: -1 }[event.key];
      if (!step) return;
      event.preventDefault();
      const next = (layer + step + 5) % 5;
      selectLayer(next);
      tabs[next].focus();
    });
    tabs.push(tab);
    contexts.push(canvas.getContext('2d'));
    list.append(tab);
  }
  root.append(list);

  const update = () => {
    tabs.forEach((tab, layer) => {
      const selected = layer === store.selection.layer;
      tab.setAttribute('aria-selected', String(selected));
      tab.tabIndex = selected ? 0 : -1;
      const program = store.doc ? store.doc.layers[layer] : null;
      const n = program ? program.records.length : 0;
      tab.querySelector('.layer-count').textContent = n ? `${n}` : '';
      tab.classList.toggle('has-warning', !!program && (program.warning || program.records.some((r) => r.warnings.length)));
    });
  };
  on('doc', update);
  on('selection', update);

  on('thumbs', (thumbs) => {
    thumbs.forEach((rgb, layer) => {
      const image = contexts[layer].createImageData(THUMBNAIL, THUMBNAIL);
      for (let i = 0, j = 0; i < rgb.length; i += 3, j += 4) {
        image.data[j] = rgb[i];
        image.data[j + 1] = rgb[i + 1];
        image.data[j + 2] = rgb[i + 2];
        image.data[j + 3] = 255;
      }
      contexts[layer].putImageData(image, 0, 0);
    });
  });
}
