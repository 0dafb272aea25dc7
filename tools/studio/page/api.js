// The server's API, all in one place. Every request carries the studio's
// token in a header; the token came in the address's fragment (which
// browsers never send) and is kept in this tab's sessionStorage, so that a
// reload works and no address the page shows or copies contains it.
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

const TOKEN_KEY = 'texture-studio-token';

export const THUMBNAIL = 64;

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
  if (token) sessionStorage.setItem(TOKEN_KEY, token);
  const doc = params.get('doc');
  if (location.hash) history.replaceState(null, '', location.pathname);
  return doc ? 'doc=' + doc : '';
}

export function hasToken() {
  return !!sessionStorage.getItem(TOKEN_KEY);
}

async function request(method, path, body) {
  let response;
  try {
    response = await fetch(path, {
      method,
      headers: {
        'X-Studio-Token': sessionStorage.getItem(TOKEN_KEY) || '',
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

export const operations = () => json('GET', '/api/operations');
export const state = () => json('GET', '/api/state');
export const edit = (fields) => json('POST', '/api/edit', fields);
export const open = (name) => json('POST', '/api/open', { name });
export const save = (name, overwrite) => json('POST', '/api/save', { name, overwrite });
export const files = () => json('GET', '/api/files');
export const newDocument = (example) => json('POST', '/api/new', example ? { example } : {});
export const examples = () => json('GET', '/api/examples');
export const link = () => json('GET', '/api/link');
export const exportProgress = () => json('GET', '/api/export/progress');
// A PNG export shrunk for the page (preview=SIDE), as a Blob.
export const exportPreview = async (params) =>
  (await request('GET', '/api/export/png?' + new URLSearchParams(params))).blob();

// The layer's RGB bytes of the studio's newest revision (at least
// `revision`), which it answers: right after `record` of the layer's program
// when given, and with `compare` ({layer, index}) also without that record;
// the five thumbnails when the whole texture was rendered.
export async function render({ revision, layer, width, height, record, compare, focus }) {
  const query = new URLSearchParams({ revision, layer, width, height });
  if (record !== undefined) query.set('record', record);
  if (focus !== undefined) query.set('focus', focus);
  if (compare) {
    query.set('compareLayer', compare.layer);
    query.set('compareRecord', compare.index);
  }
  const response = await request('GET', '/api/render?' + query);
  const rendered = Number(response.headers.get('X-Studio-Revision'));
  const bytes = new Uint8Array(await response.arrayBuffer());
  const size = width * height * 3;
  const images = compare ? 2 : 1;
  let thumbs = null;
  if (response.headers.get('X-Studio-Thumbnails') === '1') {
    thumbs = [];
    for (let i = 0; i < 5; i++) {
      const start = images * size + i * THUMBNAIL * THUMBNAIL * 3;
      thumbs.push(bytes.subarray(start, start + THUMBNAIL * THUMBNAIL * 3));
    }
  }
  return {
    pixels: bytes.subarray(0, size), without: compare ? bytes.subarray(size, 2 * size) : null, thumbs, revision: rendered,
  };
}

// Calls `changed` with the state whenever another page changes it, until
// the studio stops answering; waits again after each answer.
export async function watch(generation, changed) {
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
}

// Fetches an export and hands it to the browser as a download; `progress`
// gets the fraction received while it arrives.
export async function download(path, params, progress = () => {}) {
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
  const url = URL.createObjectURL(new Blob(chunks, { type: response.headers.get('Content-Type') || '' }));
  const anchor = document.createElement('a');
  anchor.href = url;
  anchor.download = name;
  document.body.append(anchor);
  anchor.click();
  anchor.remove();
  setTimeout(() => URL.revokeObjectURL(url), 10000);
  return name;
}
