// 8-bit RGB PNG files from rows of red, green and blue bytes (a layer's
// pixels as the engine keeps them), deflated by the browser's (or node's)
// CompressionStream: every row unfiltered, one IDAT chunk.

const CRC_TABLE = Array.from({ length: 256 }, (_, n) => {
  let c = n;
  for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
  return c >>> 0;
});

function crc32(parts) {
  let c = 0xffffffff;
  for (const part of parts) for (let i = 0; i < part.length; i++) c = CRC_TABLE[(c ^ part[i]) & 255] ^ (c >>> 8);
  return (c ^ 0xffffffff) >>> 0;
}

function chunk(type, ...data) {
  const name = new TextEncoder().encode(type);
  const length = data.reduce((sum, part) => sum + part.length, 0);
  const head = new Uint8Array(4);
  new DataView(head.buffer).setUint32(0, length);
  const tail = new Uint8Array(4);
  new DataView(tail.buffer).setUint32(0, crc32([name, ...data]));
  return [head, name, ...data, tail];
}

async function chunksOf(readable) {
  const chunks = [];
  const reader = readable.getReader();
  for (;;) {
    const { done, value } = await reader.read();
    if (done) return chunks;
    chunks.push(value);
  }
}

// A Blob holding the PNG file; `progress` gets the fraction of rows done.
export async function encodePng(rgb, width, height, progress = () => {}) {
  const header = new Uint8Array(13);
  const view = new DataView(header.buffer);
  view.setUint32(0, width);
  view.setUint32(4, height);
  header.set([8, 2, 0, 0, 0], 8);  // 8 bits, RGB, deflate, adaptive filters (all none), no interlace
  const stream = new CompressionStream('deflate');
  const compressed = chunksOf(stream.readable);
  const writer = stream.writable.getWriter();
  const rowBytes = width * 3;
  const rowsPerWrite = Math.max(1, Math.floor((1 << 20) / (rowBytes + 1)));
  for (let y = 0; y < height; y += rowsPerWrite) {
    const rows = Math.min(rowsPerWrite, height - y);
    const block = new Uint8Array(rows * (rowBytes + 1));
    for (let r = 0; r < rows; r++) block.set(rgb.subarray((y + r) * rowBytes, (y + r + 1) * rowBytes), r * (rowBytes + 1) + 1);
    await writer.write(block);
    progress((y + rows) / height);
  }
  await writer.close();
  const signature = new Uint8Array([137, 80, 78, 71, 13, 10, 26, 10]);
  return new Blob([signature, ...chunk('IHDR', header), ...chunk('IDAT', ...(await compressed)), ...chunk('IEND')],
    { type: 'image/png' });
}
