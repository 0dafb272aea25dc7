/** A texture document's 22020 bytes, or a listing's text. */
export type Doc = Uint8Array | ArrayBuffer | string;

export interface RenderOptions {
  /** A power of two from 1 to 8192; with height left out too, the document's design size (256 where it stores none). */
  width?: number;
  /** A power of two from 1 to 8192; with width left out too, the document's design size (256 where it stores none). */
  height?: number;
  /** 0 to 4; 4, the finished texture, when left out. */
  layer?: number;
  /** Replay a document whose counts lie outside 0..100 as the viewers do, instead of refusing it. */
  lenient?: boolean;
  /** At another size than the design size, scale lengths and frequencies so that the texture keeps its look (as `texgen render --keep-look`). */
  keepLook?: boolean;
}

export interface Engine {
  /** The layer's pixels: red, green, blue, row after row, top row first. */
  render(doc: Doc, options?: RenderOptions): Uint8Array;
  /** The SHA-256 of those pixels in hexadecimal, as `texgen hash` prints it. */
  hash(doc: Doc, options?: RenderOptions): string;
  /** The document as a listing: one source line per record, layer by layer. */
  listing(doc: Doc): string;
  /** The document as a .tex file holds it: the 22020 bytes of its programs, then its extras (design size, bypassed records) where it has any. */
  document(doc: Doc): Uint8Array;
}

/** Loads the engine; every method throws an Error whose message is one sentence. */
export function createEngine(options?: { wasmBinary?: ArrayBuffer | Uint8Array }): Promise<Engine>;
