// The studio's API, all in one place, and the only module that knows which
// transport carries it: HTTP to a local `texgen studio`, or messages to the
// web studio's worker (worker.js), which runs the same document session in
// WebAssembly. The site marks its page with <meta name="texture-studio"
// content="web">; the page texgen serves carries no such mark.
//
// Over HTTP every request carries the studio's token in a header; the token
// came in the address's fragment (which browsers never send) and is kept in
// this browser's localStorage for the studio's address, so that a reload and
// any other tab of that studio work, and no address the page shows or copies
// contains it.
//
//   GET  /api/operations            operations with their arguments' names, kinds and slider ranges
//   GET  /api/state                 the document and its revision
//   POST /api/edit   {revision, command, ...}   insert, duplicate, delete, move, set, newSeed,
//                                   bypass, clear, paste, undo, redo, recovery, import;
//                                   answers the new state
//   POST /api/open   {name}         POST /api/save {name?, overwrite?}
//   POST /api/new    {example?}     GET /api/examples: the gallery of starting documents
//   GET  /api/wait   ?generation    the state once it changed (another page's edit), or 204
//   GET  /api/files                 documents and listings of the working folder
//   GET  /api/render ?revision&layer&width&height&record?&compareLayer?&compareRecord?&focus?
//                                   RGB bytes (and the same without the compared record), then
//                                   five 64x64 thumbnails unless stopped at a record, of the
//                                   newest revision (X-Studio-Revision)
//   GET  /api/export/listing, /api/export/cpp?function, /api/export/png?layer&width&height[&keepLook=1][&preview=SIDE]
//   GET  /api/export/progress       GET /api/link {fragment}
// Refusals answer {error: one sentence}, and 409 with stale or conflict.
//
// The worker takes the same requests as messages {id, route, body, bytes}
// and answers {id, value, bytes, blob} or {id, error, stale}; files come and
// go through the browser: opened from a picker or a drop, saved through the
// File System Access API where there is one, downloaded otherwise.

const TOKEN_KEY = 'texture-studio-token';

export const THUMBNAIL = 64;

// Whether this page is the web studio, with its session in a worker.
const web = !!document.querySelector('meta[name="texture-studio"][content="web"]');
// Whether files come from the browser (a picker, a drop) and go back to it,
// rather than from the studio's working folder.
export const browserFiles = web;

// An error for the author: always one plain sentence.
export class ApiError extends Error {
  constructor(message, details = {}) {
    super(message);
    this.stale = !!details.stale;
    this.conflict = !!details.conflict;
  }
}

// Takes the token (and a shared document) out of the address. Returns the
// fragment's doc=... part, if any.
export function takeFragment() {
  const params = new URLSearchParams(location.hash.slice(1));
  const token = params.get('token');
  if (token && !web) localStorage.setItem(TOKEN_KEY, token);
  const doc = params.get('doc');
  if (location.hash) history.replaceState(null, '', location.pathname);
  return doc ? 'doc=' + doc : '';
}

// Whether the page can reach its session: the web studio always can.
export function hasToken() {
  return web || !!localStorage.getItem(TOKEN_KEY);
}

// Hands bytes to the browser as a download named `name`.
export function saveDownload(blob, name) {
  const url = URL.createObjectURL(blob);
  const anchor = document.createElement('a');
  anchor.href = url;
  anchor.download = name;
  document.body.append(anchor);
  anchor.click();
  anchor.remove();
  setTimeout(() => URL.revokeObjectURL(url), 10000);
  return name;
}

// ---- HTTP to texgen studio --------------------------------------------------

async function request(method, path, body) {
  let response;
  try {
    response = await fetch(path, {
      method,
      headers: {
        'X-Studio-Token': localStorage.getItem(TOKEN_KEY) || '',
        ...(body === undefined ? {} : { 'Content-Type': 'application/json' }),
      },
      body: body === undefined ? undefined : JSON.stringify(body),
      cache: 'no-store',
    });
  } catch {
    throw new ApiError('The studio does not answer: start texgen studio again and reload this page.');
  }
  if (response.ok) return response;
  let details = {};
  try {
    details = await response.json();
  } catch {
    // no sentence in the body
  }
  throw new ApiError(details.error || 'The studio refused the request.', details);
}

const json = async (method, path, body) => (await request(method, path, body)).json();

// Fetches an export and hands it to the browser as a download; `progress`
// gets the fraction received while it arrives.
async function download(path, params, progress = () => {}) {
  const response = await request('GET', path + (params ? '?' + new URLSearchParams(params) : ''));
  const total = Number(response.headers.get('Content-Length')) || 0;
  const reader = response.body.getReader();
  const chunks = [];
  let received = 0;
  for (;;) {
    const { done, value } = await reader.read();
    if (done) break;
    chunks.push(value);
    received += value.length;
    if (total) progress(received / total);
  }
  const disposition = response.headers.get('Content-Disposition') || '';
  const name = (disposition.match(/filename="([^"]+)"/) || [])[1] || 'download';
  return saveDownload(new Blob(chunks, { type: response.headers.get('Content-Type') || '' }), name);
}

const http = {
  exportPreview: async (params) => (await request('GET', '/api/export/png?' + new URLSearchParams(params))).blob(),
  operations: () => json('GET', '/api/operations'),
  state: () => json('GET', '/api/state'),
  edit: (fields) => json('POST', '/api/edit', fields),
  open: (name) => json('POST', '/api/open', { name }),
  save: (name, overwrite) => json('POST', '/api/save', { name, overwrite }),
  files: () => json('GET', '/api/files'),
  newDocument: (example) => json('POST', '/api/new', example ? { example } : {}),
  examples: () => json('GET', '/api/examples'),
  link: () => json('GET', '/api/link'),

  async render({ revision, layer, width, height, record, compare, focus }) {
    const query = new URLSearchParams({ revision, layer, width, height });
    if (record !== undefined) query.set('record', record);
    if (focus !== undefined) query.set('focus', focus);
    if (compare) {
      query.set('compareLayer', compare.layer);
      query.set('compareRecord', compare.index);
    }
    const response = await request('GET', '/api/render?' + query);
    return {
      bytes: new Uint8Array(await response.arrayBuffer()),
      revision: Number(response.headers.get('X-Studio-Revision')),
      thumbnails: response.headers.get('X-Studio-Thumbnails') === '1',
    };
  },

  // Calls `changed` with the state whenever another page changes it, until
  // the studio stops answering; waits again after each answer.
  async watch(generation, changed) {
    for (;;) {
      let response;
      try {
        response = await request('GET', '/api/wait?' + new URLSearchParams({ generation }));
      } catch {
        await new Promise((resolve) => setTimeout(resolve, 2000));
        continue;
      }
      if (response.status === 204) continue;
      const state = await response.json();
      generation = state.generation;
      changed(state);
      // A burst of changes (a drag) is followed in a few steps, not one per change.
      await new Promise((resolve) => setTimeout(resolve, 200));
    }
  },

  async exportFile(kind, params, progress) {
    if (kind !== 'png') return download(`/api/export/${kind}`, params);
    // The studio reports records done while it renders; the download follows.
    const timer = setInterval(async () => {
      try {
        const p = await json('GET', '/api/export/progress');
        if (p.active && p.total) progress(0.9 * p.done / p.total);
      } catch {
        // progress is only shown
      }
    }, 250);
    try {
      return await download('/api/export/png', params, (fraction) => progress(0.9 + 0.1 * fraction));
    } finally {
      clearInterval(timer);
    }
  },
};

// ---- Messages to the web studio's worker -------------------------------------

let worker = null;
const waiting = new Map();  // id -> {resolve, reject, progress}
let nextId = 1;

function post(route, body = {}, bytes, progress) {
  if (!worker) {
    worker = new Worker(new URL('worker.js', location.href), { type: 'module' });
    worker.onmessage = ({ data }) => {
      const pending = waiting.get(data.id);
      if (!pending) return;
      if ('progress' in data) return pending.progress(data.progress);
      waiting.delete(data.id);
      if ('error' in data) pending.reject(new ApiError(data.error, data));
      else pending.resolve(data);
    };
    worker.onerror = (event) => {
      event.preventDefault();
      for (const pending of waiting.values())
        pending.reject(new ApiError('The studio could not start in this browser: reload the page.'));
      waiting.clear();
    };
  }
  const id = nextId++;
  return new Promise((resolve, reject) => {
    waiting.set(id, { resolve, reject, progress: progress || (() => {}) });
    worker.postMessage({ id, route, body, bytes });
  });
}

const value = async (...args) => (await post(...args)).value;

// Parameters as the worker takes them: numbers as numbers, whether the
// page's controls gave them as text or not.
const numbers = (params) =>
  Object.fromEntries(Object.entries(params).map(([key, v]) => [key, typeof v === 'string' && /^\d+$/.test(v) ? Number(v) : v]));

// The file the document was opened from or last saved to, where the browser
// lets the page write it again (File System Access API).
let fileHandle = null;

const messages = {
  operations: () => value('operations'),
  state: () => value('state'),
  edit: (fields) => value('edit', fields),
  files: async () => ({ folder: null, files: [] }),

  // `source` is a File, or a handle from the browser's file picker.
  async open(name, source) {
    const file = source && source.getFile ? await source.getFile() : source;
    const doc = await value('open', { name: name || file.name }, new Uint8Array(await file.arrayBuffer()));
    fileHandle = source && source.getFile ? source : null;
    return doc;
  },

  // Writes to `handle`, else to the file opened or saved last where the
  // browser allows it, else downloads under the document's name.
  async save(name, overwrite, handle) {
    const { value: doc, bytes } = await post('save', { name: handle ? handle.name : name });
    const target = handle || (name ? null : fileHandle);
    if (target) {
      const writable = await target.createWritable();
      await writable.write(bytes);
      await writable.close();
      fileHandle = target;
    } else {
      saveDownload(new Blob([bytes], { type: 'application/octet-stream' }), doc.saved);
    }
    return doc;
  },

  newDocument: (example) => value('new', example ? { example } : {}),
  examples: () => value('examples'),
  link: () => value('link'),

  async render({ revision, layer, width, height, record, compare, focus }) {
    const { value: answer, bytes } = await post('render', {
      revision, layer, width, height, ...(record !== undefined ? { record } : {}), ...(focus !== undefined ? { focus } : {}),
      ...(compare ? { compareLayer: compare.layer, compareRecord: compare.index } : {}),
    });
    return { bytes, revision: answer.revision, thumbnails: answer.thumbnails };
  },

  // Only this page edits the worker's session: nothing else changes it.
  watch: () => new Promise(() => {}),

  async exportPreview(params) {
    return (await post('exportPng', numbers(params))).blob;
  },

  async exportFile(kind, params, progress) {
    const route = { listing: 'exportListing', cpp: 'exportCpp', png: 'exportPng' }[kind];
    const { value: answer, bytes, blob } = await post(route, numbers(params), undefined, progress);
    const types = { listing: 'text/plain', cpp: 'text/x-c++src' };
    return saveDownload(blob || new Blob([bytes], { type: types[kind] }), answer.name);
  },
};

const transport = web ? messages : http;

export const operations = () => transport.operations();
export const state = () => transport.state();
export const edit = (fields) => transport.edit(fields);
export const open = (name, source) => transport.open(name, source);
export const save = (name, overwrite, handle) => transport.save(name, overwrite, handle);
export const files = () => transport.files();
export const link = () => transport.link();
export const newDocument = (example) => transport.newDocument(example);
export const examples = () => transport.examples();
export const watch = (generation, changed) => transport.watch(generation, changed);
// A PNG export shrunk for the page (preview=SIDE), as a Blob.
export const exportPreview = (params) => transport.exportPreview(params);

// Exports a listing, C++ source ({function}) or PNG ({layer, width, height})
// as a download; `progress` gets the fraction done. Answers the file's name.
export const exportFile = (kind, params = {}, progress = () => {}) => transport.exportFile(kind, params, progress);

// The layer's RGB bytes of the session's newest revision (at least
// `revision`), which it answers: right after `record` of the layer's program
// when given, and with `compare` ({layer, index}) also without that record;
// the five thumbnails when the whole texture was rendered.
export async function render(want) {
  const { bytes, revision, thumbnails } = await transport.render(want);
  const size = want.width * want.height * 3;
  const images = want.compare ? 2 : 1;
  let thumbs = null;
  if (thumbnails) {
    thumbs = [];
    for (let i = 0; i < 5; i++) {
      const start = images * size + i * THUMBNAIL * THUMBNAIL * 3;
      thumbs.push(bytes.subarray(start, start + THUMBNAIL * THUMBNAIL * 3));
    }
  }
  return { pixels: bytes.subarray(0, size), without: want.compare ? bytes.subarray(size, 2 * size) : null, thumbs, revision };
}

// The web studio keeps its files for offline use.
if (web && 'serviceWorker' in navigator) navigator.serviceWorker.register('sw.js').catch(() => {});
