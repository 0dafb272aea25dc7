// texengine: procedural textures from their programs, the same pixels as the
// native engine in every browser and under node.
//
//   const engine = await createEngine();
//   engine.render(doc, { width, height, layer })  RGB bytes, row after row
//   engine.hash(doc, options)                     SHA-256 of those bytes, as `texgen hash` prints it
//   engine.listing(doc)                           the document as a listing
//   engine.document(doc)                          the 22020-byte document
//
// `doc` is a document (Uint8Array or ArrayBuffer) or a listing (string), told
// apart by content as texgen tells files apart. The engine has one state, so
// calls on one engine run one after the other; create one per worker to
// render in parallel.
import createModule from './texengine_wasm.mjs';

// A size of 0 by 0 is the document's design size (256 by 256 where it stores none).
const DEFAULTS = { width: 0, height: 0, layer: 4, lenient: false, keepLook: false };

// The WebAssembly file beside this module: read from disk under node,
// fetched elsewhere.
async function loadWasm() {
  const url = new URL('./texengine_wasm.wasm', import.meta.url);
  if (url.protocol === 'file:' && typeof process === 'object' && process.versions && process.versions.node) {
    const { readFile } = await import('node:fs/promises');
    return readFile(url);
  }
  const response = await fetch(url);
  if (!response.ok) throw new Error(`The engine's WebAssembly file could not be loaded from ${url}.`);
  return response.arrayBuffer();
}

function bytesOf(doc) {
  if (typeof doc === 'string') return new TextEncoder().encode(doc);
  if (doc instanceof ArrayBuffer) return new Uint8Array(doc);
  if (ArrayBuffer.isView(doc)) return new Uint8Array(doc.buffer, doc.byteOffset, doc.byteLength);
  throw new Error('A document is a Uint8Array or an ArrayBuffer, and a listing a string: pass one of these.');
}

function whole(value, name) {
  if (!Number.isInteger(value)) throw new Error(`The ${name} must be a whole number, not ${String(value)}.`);
  return value;
}

export async function createEngine({ wasmBinary } = {}) {
  const module = await createModule({ wasmBinary: wasmBinary || (await loadWasm()) });

  // Copies the input into the module, runs `call`, and returns its result's
  // address, or throws the module's sentence.
  const run = (doc, call) => {
    const bytes = bytesOf(doc);
    module.HEAPU8.set(bytes, module._tex_input(bytes.length));
    const result = call();
    if (!result) throw new Error(module.UTF8ToString(module._tex_error()));
    return result;
  };
  // A side given alone is both; neither is the design size.
  const sized = (options) => {
    const o = { ...DEFAULTS, ...options };
    const width = options.width ?? options.height ?? DEFAULTS.width;
    const height = options.height ?? options.width ?? DEFAULTS.height;
    return [whole(width, 'width'), whole(height, 'height'), whole(o.layer, 'layer'), o.lenient ? 1 : 0, o.keepLook ? 1 : 0];
  };
  const copy = (address) => module.HEAPU8.slice(address, address + module._tex_result_size());

  return {
    render: (doc, options = {}) => copy(run(doc, () => module._tex_render(...sized(options)))),
    hash: (doc, options = {}) => module.UTF8ToString(run(doc, () => module._tex_hash(...sized(options)))),
    listing: (doc) => module.UTF8ToString(run(doc, () => module._tex_listing())),
    document: (doc) => copy(run(doc, () => module._tex_document())),
  };
}
