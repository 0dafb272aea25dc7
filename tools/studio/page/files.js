// The files region: the title with unsaved changes, New document, New from
// example, Open, Save, Save as, Export (listing, C++ source, PNG with
// progress), Copy link, the recovery offer and the question before leaving
// with unsaved changes. Where files come from the browser (the web studio),
// Open is the browser's file picker and a file dropped on the page opens
// too; Save writes back to the opened file where the browser allows it and
// downloads otherwise.
import * as api from './api.js';
import { store, on, status, openFile, saveFile, edit, newDocument } from './store.js';
import { element, button, copyText } from './dom.js';
import { mountDesignSize, exportLook } from './design.js';

// What a button's value function answers to keep its dialog open.
export const KEEP_OPEN = Symbol('keep open');

// A modal dialog with a title, content and buttons; resolves with the value
// of the button chosen (Escape: null). `content` is a list of nodes, or a
// function that makes them given `close`, for content that ends the dialog.
// A button's value may be a function, also an async one; when it answers
// KEEP_OPEN the dialog stays. `focus` names the button focused at first.
export function dialog(title, content, buttons, { focus } = {}) {
  return new Promise((resolve) => {
    const box = element('dialog', { className: 'modal' });
    box.setAttribute('aria-label', title);
    const heading = element('h2', { textContent: title });
    const actions = element('div', { className: 'actions' });
    const close = (value) => {
      box.close();
      box.remove();
      resolve(value);
    };
    for (const [label, value, primary] of buttons) {
      const node = button(label, async () => {
        const chosen = typeof value === 'function' ? await value() : value;
        if (chosen !== KEEP_OPEN) close(chosen);
      }, primary ? 'primary' : '');
      if (label === focus) node.autofocus = true;
      actions.append(node);
    }
    box.append(heading, ...(typeof content === 'function' ? content(close) : content), actions);
    box.addEventListener('cancel', (event) => {
      event.preventDefault();
      close(null);
    });
    document.body.append(box);
    box.showModal();
  });
}

export const ask = (message, yes = 'Overwrite') =>
  dialog('Please confirm', [element('p', { textContent: message })], [['Cancel', false], [yes, true, true]]);

async function confirmDiscard() {
  if (!store.doc.dirty) return true;
  return ask(`${store.doc.name} has unsaved changes. Discard them?`, 'Discard changes');
}

// The document or listing the author picks on this device: a handle where
// the browser can write the file again, else a File.
function pickBrowserFile() {
  if (window.showOpenFilePicker) {
    return window.showOpenFilePicker({
      types: [{ description: 'Texture documents and listings', accept: { 'application/octet-stream': ['.tex', '.listing'] } }],
    }).then(([handle]) => handle, () => null);
  }
  return new Promise((resolve) => {
    const input = element('input', { type: 'file', accept: '.tex,.listing,.txt', hidden: true });
    input.addEventListener('change', () => resolve(input.files[0] || null));
    input.addEventListener('cancel', () => resolve(null));
    document.body.append(input);
    input.click();
    input.remove();
  });
}

async function openFromBrowser(source) {
  if (source && (await confirmDiscard())) await openFile(source.name, source);
}

async function chooseFile() {
  let listing;
  try {
    listing = await api.files();
  } catch (error) {
    status(error.message, 'error');
    return;
  }
  if (api.browserFiles) {
    await openFromBrowser(await pickBrowserFile());
    return;
  }
  const name = await dialog('Open', (close) => {
    const list = element('div', { className: 'file-list' });
    list.setAttribute('role', 'group');
    list.setAttribute('aria-label', 'Files');
    for (const file of listing.files) list.append(button(file, () => close(file), 'file'));
    if (!listing.files.length) list.append(element('p', { className: 'muted', textContent: 'No documents or listings here yet.' }));
    return [element('p', { className: 'muted', textContent: `Documents (.tex) and listings (.listing) in ${listing.folder}` }), list];
  }, [['Cancel', null]]);
  if (name && (await confirmDiscard())) await openFile(name);
}

// Save as keeps its dialog open, with the sentence beside the name as
// typed, when the name is empty or refused.
async function saveAs() {
  if (api.browserFiles && window.showSaveFilePicker) {
    let handle;
    try {
      handle = await window.showSaveFilePicker({ suggestedName: store.doc.name });
    } catch {
      return;  // the author closed the dialog
    }
    await saveFile(handle.name, (message) => ask(message), undefined, handle);
    return;
  }
  const field = element('input', { type: 'text', id: 'save-name', value: store.doc.name, spellcheck: false });
  const label = element('label', { htmlFor: 'save-name', textContent: 'File name' });
  const error = element('p', { className: 'field-error', id: 'save-name-error', hidden: true });
  const note = element('p', { className: 'muted', textContent: 'A name ending in .tex saves a document; any other extension a listing.' });
  const refuse = (message) => {
    error.textContent = message;
    error.hidden = false;
    field.setAttribute('aria-invalid', 'true');
    field.setAttribute('aria-describedby', error.id);
    field.focus();
  };
  field.addEventListener('input', () => {
    error.hidden = true;
    field.removeAttribute('aria-invalid');
  });
  field.addEventListener('keydown', (event) => {
    if (event.key === 'Enter') {
      event.preventDefault();
      field.closest('dialog').querySelector('.actions .primary').click();
    }
  });
  setTimeout(() => field.select(), 0);
  const attempt = async () => {
    const name = field.value.trim();
    if (!name) {
      refuse('Give the file a name, such as wood.tex.');
      return KEEP_OPEN;
    }
    let refused = false;
    const saved = await saveFile(name, (message) => ask(message), (message) => {
      refused = true;
      refuse(message);
    });
    return refused ? KEEP_OPEN : saved;
  };
  await dialog('Save as', [label, field, error, note], [['Cancel', null], ['Save', attempt, true]]);
}

// A new empty document, once unsaved changes may go.
async function startNew() {
  if (await confirmDiscard()) await newDocument();
}

// The gallery of starting documents, searchable by name; the chosen one
// opens as a new untitled document, so the example itself never changes.
async function chooseExample() {
  let gallery;
  try {
    gallery = (await api.examples()).examples;
  } catch (error) {
    status(error.message, 'error');
    return;
  }
  const chosen = await dialog('New from example', (close) => {
    const search = element('input', { type: 'search', placeholder: 'Search examples', className: 'palette-search' });
    search.setAttribute('aria-label', 'Search examples');
    const grid = element('div', { className: 'gallery' });
    grid.setAttribute('role', 'group');
    grid.setAttribute('aria-label', 'Examples');
    const nothing = element('p', { className: 'muted', hidden: true });
    const items = gallery.map((example) => {
      const item = button('', () => close(example), 'example');
      item.setAttribute('aria-label', example.title);
      const picture = element('img', { alt: '', loading: 'lazy' });
      if (example.picture) picture.src = example.picture;
      item.append(picture, element('span', { textContent: example.title }));
      grid.append(item);
      return [item, `${example.title} ${example.name} ${example.keywords || ''}`.toLowerCase()];
    });
    search.addEventListener('input', () => {
      const words = search.value.toLowerCase().split(/\s+/).filter(Boolean);
      for (const [item, text] of items) item.hidden = !words.every((word) => text.includes(word));
      nothing.hidden = items.some(([item]) => !item.hidden);
      nothing.textContent = `No example matches "${search.value.trim()}": try another word, such as wood or stone.`;
    });
    search.addEventListener('keydown', (event) => {
      const first = items.find(([item]) => !item.hidden);
      if (event.key === 'Enter' && first) {
        event.preventDefault();
        first[0].click();
      }
    });
    setTimeout(() => search.focus(), 0);
    return [element('p', { className: 'muted', textContent: 'Each opens as a new untitled document: the example stays as it is.' }),
      search, nothing, grid];
  }, [['Cancel', null]]);
  if (chosen && (await confirmDiscard())) await newDocument(chosen.name, chosen.title);
}

const SIDES = Array.from({ length: 14 }, (_, i) => 2 ** i);

async function exportDialog() {
  const select = (id, label, values, chosen) => {
    const node = element('select', { id });
    for (const value of values) node.add(new Option(String(value), String(value)));
    node.value = String(chosen);
    return [element('label', { htmlFor: id, textContent: label }), node];
  };
  const [layerLabel, layer] = select('export-layer', 'Layer', [0, 1, 2, 3, 4], store.view.texture ? 4 : store.selection.layer);
  const [widthLabel, width] = select('export-width', 'Width', SIDES, store.doc.designSize.width);
  const [heightLabel, height] = select('export-height', 'Height', SIDES, store.doc.designSize.height);
  const look = exportLook(layer, width, height);
  const functionName = element('input', { type: 'text', id: 'export-function', value: 'buildTexture', spellcheck: false });
  const progress = element('progress', { max: 1, value: 0, hidden: true });
  progress.setAttribute('aria-label', 'Export progress');

  const run = async (work) => {
    try {
      status(`Exported ${await work()}.`);
    } catch (error) {
      status(error.message, 'error');
    }
  };
  const png = async () => {
    progress.hidden = false;
    progress.value = 0;
    try {
      return await api.exportFile('png', { layer: Number(layer.value), width: Number(width.value), height: Number(height.value),
        ...look.params() }, (fraction) => { progress.value = fraction; });
    } finally {
      progress.hidden = true;
    }
  };

  const sections = [
    element('section', {}, element('h3', { textContent: 'Listing' }),
      element('p', { className: 'muted', textContent: 'One source line per record, layer by layer.' }),
      button('Download listing', () => run(() => api.exportFile('listing')))),
    element('section', {}, element('h3', { textContent: 'C++ source' }),
      element('label', { htmlFor: 'export-function', textContent: 'Function name' }), functionName,
      button('Download C++', () => run(() => api.exportFile('cpp', { function: functionName.value.trim() })))),
    element('section', {}, element('h3', { textContent: 'PNG' }),
      element('div', { className: 'inline' }, layerLabel, layer, widthLabel, width, heightLabel, height),
      ...look.nodes, button('Download PNG', () => run(png)), progress),
  ];
  await dialog('Export', sections, [['Close', null, true]]);
}

async function copyLink() {
  try {
    const { fragment } = await api.link();
    const address = `${location.origin}${location.pathname}#${fragment}`;
    await copyText(address);
    status('Link copied: opening it in a studio reproduces this document.');
  } catch (error) {
    status(error.message, 'error');
  }
}

async function offerRecovery() {
  const { recoveryName } = store.doc;
  const restore = await dialog('Recover unsaved changes', [element('p', {
    textContent: recoveryName
      ? `This browser kept changes to ${recoveryName} that were never saved: the page closed before they were. ` +
        'Restore them with their undo history, or discard them?'
      : `The studio found changes to ${store.doc.name} that were never saved: it stopped before they were. ` +
        'Restore them, or discard them and keep the file as it is?',
  })], [['Discard', false], ['Restore', true, true]], { focus: 'Restore' });
  if (restore === null) return;
  const doc = await edit('recovery', { restore });
  if (doc) status(restore ? 'Restored the unsaved changes: Undo returns to the file.' : 'Discarded the recovered changes.');
}

export function mountFiles(header) {
  const title = element('span', { className: 'doc-name' });
  const dirty = element('span', { className: 'dirty', textContent: '●', title: 'Unsaved changes' });
  dirty.setAttribute('aria-label', 'unsaved changes');
  const name = element('div', { className: 'doc-title' }, title, dirty);

  const save = () => saveFile('', (message) => ask(message));
  const buttons = {
    fresh: button('New document', startNew),
    example: button('New from example', chooseExample),
    open: button('Open', async () => chooseFile()),
    save: button('Save', save),
    saveAs: button('Save as', saveAs),
    exportButton: button('Export', exportDialog),
    link: button('Copy link', copyLink),
  };
  const group = element('div', { className: 'button-group' }, buttons.fresh, buttons.example, buttons.open, buttons.save,
    buttons.saveAs);
  const out = element('div', { className: 'button-group' }, buttons.exportButton, buttons.link);
  header.prepend(name);
  header.querySelector('.file-buttons').append(group, out);
  mountDesignSize(header.querySelector('.file-buttons'), dialog);

  let offered = false;
  on('doc', (doc) => {
    title.textContent = doc.name;
    dirty.hidden = !doc.dirty;
    document.title = `${doc.dirty ? '• ' : ''}${doc.name} — Texture studio`;
    if (doc.recoveryProblem) status(doc.recoveryProblem, 'warning');
    if (doc.recovery && !offered) {
      offered = true;
      offerRecovery();
    }
  });
  window.addEventListener('beforeunload', (event) => {
    if (store.doc && store.doc.dirty) {
      event.preventDefault();
      event.returnValue = '';
    }
  });
  // A document or listing dropped on the page opens, where files come from the browser.
  document.addEventListener('dragover', (event) => {
    if (event.dataTransfer && [...event.dataTransfer.types].includes('Files')) event.preventDefault();
  });
  document.addEventListener('drop', (event) => {
    const file = event.dataTransfer && event.dataTransfer.files[0];
    if (!file) return;
    event.preventDefault();
    if (!api.browserFiles) {
      status(`To open ${file.name}, put it in the studio's folder and choose Open.`, 'warning');
      return;
    }
    openFromBrowser(file);
  });
  document.addEventListener('keydown', (event) => {
    if ((event.ctrlKey || event.metaKey) && event.key.toLowerCase() === 's') {
      event.preventDefault();
      (event.shiftKey ? saveAs : save)();
    }
  });
}
