// The page's state in one place: the document as the server last sent it,
// the operations, the selection and how the preview is viewed. It changes
// only through the commands below; each region listens and redraws itself.
//
// Edits go to the server one at a time, each on the revision the previous
// one produced; while a slider is dragged only the newest value waits, so
// the page never queues stale work.
import * as api from './api.js';

export const store = {
  doc: null,             // {revision, name, designSize, dirty, canUndo, canRedo, recovery, warnings, layers: [{count, warning, records}]}
  operations: [],        // from the server's opcode table
  byOpcode: new Map(),
  selection: { layer: 4, index: -1, perLayer: [-1, -1, -1, -1, -1] },
  view: { texture: false, width: 256, height: 256, zoom: 'fit', tile: false },
  editing: false,        // an edit is on its way
  sent: 0,               // edits sent so far: a render asked for after one shows it or a newer state
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

function setDoc(doc) {
  const before = store.doc;
  store.doc = doc;
  // The preview starts at the design size, and follows it when it changes.
  const design = doc.designSize;
  if (!before || before.name !== doc.name || before.designSize.width !== design.width ||
      before.designSize.height !== design.height)
    setView({ width: Math.min(design.width, 8192), height: Math.min(design.height, 8192) });
  // Keep each layer's selection inside its program.
  const { selection } = store;
  selection.perLayer = selection.perLayer.map((index, layer) => Math.min(index, doc.layers[layer].records.length - 1));
  selection.index = selection.perLayer[selection.layer];
  emit('doc', doc);
  emit('selection', selection);
}

export function select(layer, index) {
  const { selection } = store;
  const count = records(layer).length;
  selection.layer = layer;
  selection.index = Math.max(-1, Math.min(index, count - 1));
  selection.perLayer[layer] = selection.index;
  emit('selection', selection);
}

export function selectLayer(layer) {
  const remembered = store.selection.perLayer[layer];
  select(layer, remembered >= 0 ? remembered : records(layer).length - 1);
}

export function setView(changes) {
  Object.assign(store.view, changes);
  emit('view', store.view);
}

export async function load() {
  const [operations, doc] = await Promise.all([api.operations(), api.state()]);
  store.operations = operations.operations;
  store.byOpcode = new Map(store.operations.map((operation) => [operation.opcode, operation]));
  setDoc(doc);
  selectLayer(4);
}

export async function reload() {
  setDoc(await api.state());
}

// Runs `work` after every edit before it; reports failures in the status region.
let chain = Promise.resolve();
function serially(work) {
  const run = chain.then(async () => {
    store.editing = true;
    try {
      return await work();
    } catch (error) {
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

// A drag sends its newest value only: values that arrive while one is on
// its way replace each other, and the whole drag is one undo step.
let pendingDrag = null;
export function drag(fields) {
  const waiting = pendingDrag !== null;
  pendingDrag = fields;
  if (waiting) return;
  serially(async () => {
    const latest = pendingDrag;
    pendingDrag = null;
    setDoc(await send({ command: 'set', ...latest }));
  });
}

export const undo = () => edit('undo');
export const redo = () => edit('redo');

// `source`: where the browser holds the file (a File or a picker's handle),
// for a session whose files come from the browser.
export function openFile(name, source) {
  return serially(async () => {
    const doc = await api.open(name, source);
    store.selection.perLayer = [-1, -1, -1, -1, -1];
    setDoc(doc);
    selectLayer(4);
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

// Saves; `ask` decides whether to overwrite when the server reports a
// conflict; `handle` is the file the browser's save dialog chose, if any.
// Answers the name saved, or null.
export function saveFile(name, ask, handle) {
  return serially(async () => {
    let doc;
    try {
      doc = await api.save(name, false, handle);
    } catch (error) {
      if (!error.conflict || !(await ask(error.message))) throw error.conflict ? new Error('Not saved.') : error;
      doc = await api.save(name, true, handle);
    }
    setDoc(doc);
    status(`Saved ${doc.saved}.`);
    return doc.saved;
  });
}
