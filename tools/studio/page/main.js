// Starts the studio page: takes the token from the address, loads the
// operations and the document, mounts the regions and wires the keys that
// work everywhere (Undo, Redo).
import * as api from './api.js';
import { store, on, load, undo, redo, status, edit } from './store.js';
import { mountLayers } from './layers.js';
import { mountProgram } from './program.js';
import { mountArguments } from './arguments.js';
import { mountPreview } from './preview.js';
import { mountFiles } from './files.js';
import { mountPalette } from './palette.js';

const $ = (selector) => document.querySelector(selector);

function mountStatus() {
  const region = $('#status');
  let timer = 0;
  on('status', ({ message, kind }) => {
    region.textContent = message;
    region.title = message;  // the whole sentence, where the bar cuts it
    region.dataset.kind = kind;
    clearTimeout(timer);
    if (kind === 'info') timer = setTimeout(() => { region.textContent = ''; }, 8000);
  });
  // An error goes once the next action succeeds.
  on('succeeded', () => {
    if (region.dataset.kind !== 'error') return;
    region.textContent = '';
    region.dataset.kind = 'info';
  });
}

function mountHistory() {
  const undoButton = $('#undo');
  const redoButton = $('#redo');
  undoButton.addEventListener('click', undo);
  redoButton.addEventListener('click', redo);
  on('doc', (doc) => {
    undoButton.disabled = !doc.canUndo;
    redoButton.disabled = !doc.canRedo;
  });
  document.addEventListener('keydown', (event) => {
    if (!(event.ctrlKey || event.metaKey) || event.altKey) return;
    const key = event.key.toLowerCase();
    const isRedo = (key === 'z' && event.shiftKey) || key === 'y';
    if (key !== 'z' && key !== 'y') return;
    // A text field with a value not yet committed keeps its own undo.
    const field = document.activeElement;
    if (field && field.matches('input[type="text"], input[type="search"]') && field.value !== field.dataset.shown) {
      return;
    }
    event.preventDefault();
    if (document.querySelector('dialog[open]')) return;
    (isRedo ? redo : undo)();
  });
}

async function start() {
  const shared = api.takeFragment();
  mountStatus();
  if (!api.hasToken()) {
    $('#blocked').hidden = false;
    $('#app').hidden = true;
    return;
  }
  mountFiles($('#top'));
  mountHistory();
  mountLayers($('#layers'));
  mountProgram($('#program'));
  mountArguments($('#arguments'));
  mountPreview($('#preview'));
  mountPalette();
  try {
    await load();
  } catch (error) {
    $('#blocked p').textContent = error.message;
    $('#blocked').hidden = false;
    return;
  }
  // Shown once there is a document to show: nothing can be clicked before.
  $('#app').hidden = false;
  const { warnings, name } = store.doc;
  if (warnings.length) status(`${name} opened with the warnings texgen info gives: ${warnings.join('; ')}.`, 'warning');
  const importLink = async (link) => {
    const doc = await edit('import', { link });
    if (doc) status('Opened the document from the link: Undo returns to the one before.');
  };
  if (shared) importLink(shared);
  window.addEventListener('hashchange', () => {
    const link = api.takeFragment();
    if (link) importLink(link);
  });
  window.studio = store;  // for inspection from the browser's console
}

start();
