// The web studio's worker: the studio's document session compiled to
// WebAssembly (session_worker.cpp), answering the page's API module with
// messages instead of HTTP. What the session leaves to its transport is
// here: deflating links with the browser's own zlib streams, encoding PNG
// files, and keeping the session in IndexedDB after every edit so that a
// closed tab loses at most the edit in flight.
//
// Messages in: {id, route, body, bytes?}; out: {id, value, bytes?} or
// {id, error, stale?}, and {id, progress} while an export renders.
// Requests are handled one at a time, in the order they came.
//
// A cross-origin isolated page (SharedArrayBuffer) gets the session built
// with threads, whose operations split their work over a pool of workers,
// one per hardware thread; any other page gets the single-threaded one.
// Both give the same bytes.
import { encodePng } from './png.js';

// A link holds a document's programs and at most 64 KiB of its extras.
const LINK_LIMIT = 22020 + (1 << 16);
const KEPT = { database: 'texture-studio', store: 'session', key: 'current' };

let module;
let current = 0;   // the id of the request being handled, for its progress
let kept = null;   // a session kept by an earlier visit, until restored or discarded

// ---- Streams --------------------------------------------------------------

async function collect(readable, limit = Infinity) {
  const chunks = [];
  let size = 0;
  const reader = readable.getReader();
  for (;;) {
    const { done, value } = await reader.read();
    if (done) break;
    chunks.push(value);
    size += value.length;
    if (size > limit) {
      reader.cancel().catch(() => {});
      break;
    }
  }
  const bytes = new Uint8Array(size);
  let at = 0;
  for (const chunk of chunks) {
    bytes.set(chunk, at);
    at += chunk.length;
  }
  return bytes;
}

// zlib streams, as texgen studio's links and PNG files hold them.
const deflate = (bytes) => collect(new Blob([bytes]).stream().pipeThrough(new CompressionStream('deflate')));

// At most `limit` + 1 bytes come out, so that a hostile stream cannot fill
// memory; a damaged stream gives what came before the damage.
async function inflate(bytes, limit) {
  try {
    return await collect(new Blob([bytes]).stream().pipeThrough(new DecompressionStream('deflate')), limit);
  } catch {
    return new Uint8Array(0);
  }
}

// ---- IndexedDB ------------------------------------------------------------

function database() {
  return new Promise((resolve, reject) => {
    const request = indexedDB.open(KEPT.database, 1);
    request.onupgradeneeded = () => request.result.createObjectStore(KEPT.store);
    request.onsuccess = () => resolve(request.result);
    request.onerror = () => reject(request.error);
  });
}

async function keep(value) {
  const db = await database();
  await new Promise((resolve, reject) => {
    const transaction = db.transaction(KEPT.store, 'readwrite');
    const store = transaction.objectStore(KEPT.store);
    if (value) store.put(value, KEPT.key);
    else store.delete(KEPT.key);
    transaction.oncomplete = resolve;
    transaction.onerror = () => reject(transaction.error);
  });
  db.close();
}

async function keptSession() {
  const db = await database();
  const value = await new Promise((resolve, reject) => {
    const request = db.transaction(KEPT.store).objectStore(KEPT.store).get(KEPT.key);
    request.onsuccess = () => resolve(request.result);
    request.onerror = () => reject(request.error);
  });
  db.close();
  return value ? inflate(value, 256 << 20) : null;
}

// Keeps the session after an edit. Writes never overlap: an edit made while
// one is on its way is kept by the next, which takes the newest session.
let keeping = false, again = false;
async function keepSoon() {
  if (kept) return;  // an earlier visit's session waits for the author's answer
  if (keeping) {
    again = true;
    return;
  }
  keeping = true;
  try {
    do {
      again = false;
      const { bytes } = call('snapshot', {});
      await keep(bytes.length ? await deflate(bytes) : null);
    } while (again);
  } catch {
    // Storage refused (private browsing, quota): the session goes on unkept.
  } finally {
    keeping = false;
  }
}

// ---- The session ----------------------------------------------------------

class Refusal extends Error {
  constructor(answer) {
    super(answer.error);
    this.stale = !!answer.stale;
  }
}

// One request to the module; answers {value, bytes} or throws its sentence.
function call(route, body, bytes) {
  if (bytes) {
    const at = module._studio_input(bytes.length);
    heap().set(bytes, at);
  }
  const routeText = new TextEncoder().encode(route + '\0');
  const bodyText = new TextEncoder().encode(JSON.stringify(body) + '\0');
  const at = module._studio_text(routeText.length + bodyText.length);
  heap().set(routeText, at);
  heap().set(bodyText, at + routeText.length);
  const answer = JSON.parse(module.UTF8ToString(module._studio_request(at, at + routeText.length)));
  if ('error' in answer) throw new Refusal(answer);
  const output = heap().slice(module._studio_output(), module._studio_output() + module._studio_output_size());
  return { value: answer.ok, bytes: output };
}

// The module's memory as bytes. With threads the memory is shared, and when
// another thread grows it this thread's view stays at the old size until
// it is made anew.
function heap() {
  const memory = module.wasmMemory;
  return memory && module.HEAPU8.buffer !== memory.buffer ? new Uint8Array(memory.buffer) : module.HEAPU8;
}

// The state as the page sees it: a kept session is offered like a recovery file.
function state(value) {
  if (kept && value && 'layers' in value) return { ...value, recovery: true, recoveryName: kept.name };
  return value;
}

const EDITS = new Set(['edit', 'open', 'save', 'new']);

async function handle(route, body, bytes) {
  switch (route) {
    case 'edit':
      if (body.command === 'import') {
        const { bytes: deflated } = call('linkPayload', body);
        const inflated = await inflate(deflated, LINK_LIMIT);
        return call('edit', body, inflated);
      }
      if (body.command === 'recovery' && kept) {
        const snapshot = kept.bytes;
        kept = null;
        return body.restore ? call('resume', {}, snapshot) : call('state', {});
      }
      return call('edit', body);
    case 'threads': {
      // With the pool's workers that run the engine's threads now.
      const answer = call('threads', body);
      answer.value.workers = module.PThread ? module.PThread.runningWorkers.length : 0;
      return answer;
    }
    case 'link': {
      const { bytes: document } = call('link', {});
      return call('fragment', {}, await deflate(document));
    }
    case 'exportPng': {
      const answer = call('exportPng', body);
      const { width, height } = answer.value;
      const blob = await encodePng(answer.bytes, width, height, (fraction) => {
        postMessage({ id: current, progress: 0.8 + 0.2 * fraction });
      });
      return { value: answer.value, blob };
    }
    default:
      return call(route, body, bytes);
  }
}

// The name a kept session had, from its first bytes (length, then the name).
function keptName(bytes) {
  const length = new DataView(bytes.buffer, bytes.byteOffset).getUint32(0, true);
  return new TextDecoder().decode(bytes.subarray(4, 4 + Math.min(length, 255)));
}

// A module's factory and its compiled code, fetched side by side.
async function moduleParts(name) {
  const wasm = async () => {
    const response = await fetch(new URL(`./${name}.wasm`, import.meta.url));
    if (!response.ok) throw new Error(`${name}.wasm did not load`);
    return response.arrayBuffer();
  };
  const [{ default: create }, wasmBinary] = await Promise.all([import(`./${name}.mjs`), wasm()]);
  return { create, wasmBinary };
}

// The threaded module answers once every worker of its pool has loaded, so
// that no render waits for a thread that is still starting. A worker that
// fails to load, an abort, or a pool that has not loaded after
// THREADS_START_MS gives way to the single-threaded module.
const THREADS_START_MS = 20000;

async function threadedModule() {
  const { create, wasmBinary } = await moduleParts('studio_wasm_threads');
  const workers = [];
  let timer, starting = true;
  const started = new Promise((resolve, reject) => {
    const settings = { wasmBinary, onAbort: (what) => reject(new Error(String(what))) };
    timer = setTimeout(() => reject(new Error('the threads did not start in time')), THREADS_START_MS);
    // The pool's workers are made while the factory runs: each is watched
    // for a script that does not load. Until the pool has started such a
    // failure is handled here alone: the module's own handler, which comes
    // after this one, would throw it again as this worker's uncaught error,
    // which the page takes for a session that could not start.
    const Worker = self.Worker;
    self.Worker = function (...args) {
      const worker = new Worker(...args);
      worker.addEventListener('error', (event) => {
        if (!starting) return;
        event.preventDefault();
        event.stopImmediatePropagation();
        reject(new Error('a thread did not start'));
      });
      workers.push(worker);
      return worker;
    };
    try {
      create(settings).then(resolve, reject);
    } catch (error) {
      reject(error);
    } finally {
      self.Worker = Worker;
    }
  });
  try {
    return await started;
  } catch (error) {
    for (const worker of workers) worker.terminate();
    throw error;
  } finally {
    starting = false;
    clearTimeout(timer);
  }
}

async function singleThreadedModule() {
  const { create, wasmBinary } = await moduleParts('studio_wasm');
  return create({ wasmBinary });
}

async function start() {
  module = null;
  if (self.crossOriginIsolated) {
    try {
      module = await threadedModule();
    } catch (error) {
      console.warn(`The studio runs on one thread: ${error.message}.`);
    }
  }
  if (!module) module = await singleThreadedModule();
  // Records done of an export's render, reported while it runs.
  module.progress = (done, total) => postMessage({ id: current, progress: total ? 0.8 * done / total : 0 });
  try {
    const bytes = await keptSession();
    if (bytes && bytes.length) kept = { bytes, name: keptName(bytes) };
  } catch {
    // no storage: nothing was kept
  }
}

const ready = start();
let queue = Promise.resolve();

onmessage = ({ data: { id, route, body, bytes } }) => {
  queue = queue.then(async () => {
    current = id;
    try {
      await ready;
      const answer = await handle(route, body || {}, bytes);
      const reply = { id, value: state(answer.value), bytes: answer.bytes, blob: answer.blob };
      postMessage(reply, answer.bytes ? [answer.bytes.buffer] : []);
      if (EDITS.has(route)) keepSoon();
    } catch (error) {
      postMessage({ id, error: error instanceof Refusal ? error.message : `The studio failed: ${error.message}.`,
        stale: !!error.stale });
    }
  });
};
