// The page's state in one place: the document as the server last sent it,
// the operations, the selection and how the preview is viewed. It changes
// only through the commands below; each region listens and redraws itself.
//
// Edits go to the server one at a time, each on the revision the previous
// one produced. A drag sends its next value only once the preview has drawn
// the frame for the previous one, so no render is abandoned for a value
// nobody would see, and its last value always goes.
import * as api from './api.js';

const VIEW_KEY = 'texture-studio-view';

export const store = {
  doc: null,             // {revision, generation, name, designSize, dirty, canUndo, canRedo, recovery, warnings, layers: [{count, warning, records}]}
  operations: [],        // from the server's opcode table
  byOpcode: new Map(),
  // index: the selected record (-1: none); anchor: the other end of a
  // selected run of records (Shift+click), equal to index for one record.
  selection: { layer: 4, index: -1, anchor: -1, perLayer: [-1, -1, -1, -1, -1] },
  // mode: 'layer' (the selected layer), 'record' (after the selected record), 'texture'
  view: { mode: 'layer', width: 256, height: 256, zoom: 'fit', tile: false, compare: false, split: 0.5 },
  editing: false,        // an edit is on its way
  sent: 0,               // edits sent so far: a render asked for after one shows it or a newer state
  refusal: null,         // the last refused edit's error, for the field that sent it
};

const listeners = new Map();

export function on(topic, listener) {
  if (!listeners.has(topic)) listeners.set(topic, []);
  listeners.get(topic).push(listener);
}

export function emit(topic, detail) {
  for (const listener of listeners.get(topic) || []) listener(detail);
}

// Status messages: one sentence, for the status region.
export function status(message, kind = 'info') {
  emit('status', { message, kind });
}

export function records(layer = store.selection.layer) {
  return store.doc ? store.doc.layers[layer].records : [];
}

export function selectedRecord() {
  const { layer, index } = store.selection;
  return index >= 0 ? records(layer)[index] || null : null;
}

// The selected run of records as [first, last], or null.
export function selectedRange() {
  const { index, anchor } = store.selection;
  if (index < 0) return null;
  const other = anchor >= 0 && anchor < records().length ? anchor : index;
  return [Math.min(index, other), Math.max(index, other)];
}

function setDoc(doc) {
  const before = store.doc;
  store.doc = doc;
  // The preview starts at the design size, and follows it when it changes.
  const design = doc.designSize;
  // A reload keeps the size the page showed before it.
  const reloaded = !before && kept.view.width !== undefined;
  if (!reloaded && (!before || before.name !== doc.name || before.designSize.width !== design.width ||
      before.designSize.height !== design.height))
    setView({ width: Math.min(design.width, 8192), height: Math.min(design.height, 8192) });
  // Keep each layer's selection inside its program.
  const { selection } = store;
  selection.perLayer = selection.perLayer.map((index, layer) => Math.min(index, doc.layers[layer].records.length - 1));
  selection.index = selection.perLayer[selection.layer];
  selection.anchor = Math.min(selection.anchor, selection.index);
  if (selection.anchor < 0) selection.anchor = selection.index;
  emit('doc', doc);
  emit('selection', selection);
}

// Selects record `index` of `layer`; `extend` keeps the anchor, selecting the run between.
export function select(layer, index, extend = false) {
  const { selection } = store;
  const count = records(layer).length;
  const keepAnchor = extend && layer === selection.layer && selection.anchor >= 0;
  selection.layer = layer;
  selection.index = Math.max(-1, Math.min(index, count - 1));
  if (!keepAnchor) selection.anchor = selection.index;
  selection.perLayer[layer] = selection.index;
  remember();
  emit('selection', selection);
}

export function selectLayer(layer) {
  const remembered = store.selection.perLayer[layer];
  select(layer, remembered >= 0 ? remembered : records(layer).length - 1);
}

export function setView(changes) {
  Object.assign(store.view, changes);
  remember();
  emit('view', store.view);
}

// The selected layer and how the preview is viewed survive a reload; what
// the last page kept is read before anything is written.
let loaded = false;
function remember() {
  if (!loaded) return;
  const { mode, width, height, zoom, tile } = store.view;
  try {
    localStorage.setItem(VIEW_KEY, JSON.stringify({ layer: store.selection.layer, mode, width, height, zoom, tile }));
  } catch {
    // a page without storage forgets
  }
}

function remembered() {
  try {
    const kept = JSON.parse(localStorage.getItem(VIEW_KEY) || '{}');
    const side = (n) => Number.isInteger(n) && n >= 1 && n <= 8192 && (n & (n - 1)) === 0;
    const view = {};
    if (['layer', 'record', 'texture'].includes(kept.mode)) view.mode = kept.mode;
    if (side(kept.width) && side(kept.height)) Object.assign(view, { width: kept.width, height: kept.height });
    if (kept.zoom === 'fit' || (Number(kept.zoom) >= 0.05 && Number(kept.zoom) <= 64)) view.zoom = kept.zoom;
    if (typeof kept.tile === 'boolean') view.tile = kept.tile;
    return { view, layer: Number.isInteger(kept.layer) && kept.layer >= 0 && kept.layer < 5 ? kept.layer : 4 };
  } catch {
    return { view: {}, layer: 4 };
  }
}

const kept = remembered();

export async function load() {
  const [operations, doc] = await Promise.all([api.operations(), api.state()]);
  store.operations = operations.operations;
  store.byOpcode = new Map(store.operations.map((operation) => [operation.opcode, operation]));
  Object.assign(store.view, kept.view);
  setDoc(doc);
  loaded = true;
  selectLayer(kept.layer);
  emit('view', store.view);
  // Another page's changes arrive here.
  api.watch(doc.generation, (state) => {
    if (state.revision > store.doc.revision || state.generation > store.doc.generation) setDoc(state);
  });
}

export async function reload() {
  setDoc(await api.state());
}

// Runs `work` after every edit before it; reports failures in the status
// region, and clears an error shown there once an action succeeds.
let chain = Promise.resolve();
function serially(work) {
  const run = chain.then(async () => {
    store.editing = true;
    try {
      const result = await work();
      store.refusal = null;
      emit('succeeded');
      return result;
    } catch (error) {
      store.refusal = error;
      if (error.stale) {
        await reload().catch(() => {});
      }
      status(error.message, 'error');
      return null;
    } finally {
      store.editing = false;
    }
  });
  chain = run.then(() => {}, () => {});
  return run;
}

// Sends an edit on the current revision. The preview may ask for a render
// at once: the studio renders its newest state, so it need not wait for the answer.
function send(fields) {
  const answer = api.edit({ revision: store.doc.revision, ...fields });
  store.sent++;
  emit('sent');
  return answer;
}

// One edit command; answers the new document, or null when it was refused.
export function edit(command, fields = {}) {
  return serially(async () => {
    const doc = await send({ command, ...fields });
    setDoc(doc);
    return doc;
  });
}

// Frames the preview has drawn: a drag waits for the one of its last value.
let drawnRevision = 0;
let frameWaiters = [];
export function frameDrawn(revision) {
  drawnRevision = Math.max(drawnRevision, revision);
  frameWaiters = frameWaiters.filter(([wanted, resolve]) => (wanted <= drawnRevision ? (resolve(), false) : true));
}

function frameFor(revision) {
  if (revision <= drawnRevision) return Promise.resolve();
  return new Promise((resolve) => {
    frameWaiters.push([revision, resolve]);
    // A preview that draws nothing (hidden, failed) does not hold a drag up for long.
    setTimeout(resolve, 1000);
  });
}

// A drag sends its newest value only: values that arrive while one is on
// its way, or while its frame is drawn, replace each other; the whole drag
// is one undo step. `fields` are those of a set command.
let pendingDrag = null;
let dragging = false;
export async function drag(fields) {
  pendingDrag = fields;
  if (dragging) return;
  dragging = true;
  try {
    while (pendingDrag) {
      const latest = pendingDrag;
      pendingDrag = null;
      const doc = await edit('set', latest);
      if (!doc) break;
      await frameFor(doc.revision);
    }
  } finally {
    pendingDrag = null;
    dragging = false;
  }
}

export const undo = () => edit('undo');
export const redo = () => edit('redo');

function opened(doc) {
  store.selection.perLayer = [-1, -1, -1, -1, -1];
  setDoc(doc);
  selectLayer(4);
}

// `source`: where the browser holds the file (a File or a picker's handle),
// for a session whose files come from the browser.
export function openFile(name, source) {
  return serially(async () => {
    const doc = await api.open(name, source);
    opened(doc);
    const warnings = doc.warnings || [];
    status(
      warnings.length
        ? `Opened ${doc.name} with the warnings texgen info gives: ${warnings.join('; ')}.`
        : `Opened ${doc.name}.`,
      warnings.length ? 'warning' : 'info',
    );
    return doc;
  });
}

// A new untitled document: empty, or a copy of a gallery example.
export function newDocument(example, title) {
  return serially(async () => {
    const doc = await api.newDocument(example);
    opened(doc);
    status(example ? `Started ${doc.name} from the example ${title}: save it to keep it.` : `Started ${doc.name}.`);
    return doc;
  });
}

// Saves; `ask` decides whether to overwrite when the server reports a
// conflict. Answers the name saved, or null; `failed` gets a refusal's
// sentence instead of the status region; `handle` is the file the
// browser's save dialog chose, if any.
export function saveFile(name, ask, failed, handle) {
  return serially(async () => {
    let doc;
    try {
      doc = await api.save(name, false, handle);
    } catch (error) {
      if (error.conflict && (await ask(error.message))) {
        doc = await api.save(name, true, handle);
      } else if (failed && !error.conflict) {
        failed(error.message);
        return null;
      } else {
        throw error.conflict ? new Error('Not saved.') : error;
      }
    }
    setDoc(doc);
    status(`Saved ${doc.saved}.`);
    return doc.saved;
  });
}
