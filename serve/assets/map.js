// The block map: every block of the volume as a cell of a canvas (on big
// volumes a pixel stands for a run of blocks), coloured by its owner.
// The server sends "ZVKM", the total, the length of the owner table, the
// number of runs (32-bit little-endian), the owner table as JSON, then the
// runs as (code, count) pairs: code 0 free, 1 system, 2 lost, 3 bad, 4 + i
// the chain of owner i.
"use strict";

const ZvkMap = (() => {
  const FREE = 0, SYSTEM = 1, LOST = 2, BAD = 3, OWNER = 4;
  // Colours by class, and which class a shared pixel shows (highest wins).
  const CLASS_FREE = 0, CLASS_SYSTEM = 1, CLASS_FILE = 2, CLASS_FOLDER = 3, CLASS_LOST = 4, CLASS_BAD = 5,
    CLASS_LIT = 6;
  const COLOURS = [
    [0xe8, 0xea, 0xed], [0x6b, 0x72, 0x80], [0x3b, 0x82, 0xc4], [0xe0, 0xa0, 0x30],
    [0xd9, 0x48, 0x8f], [0x11, 0x11, 0x11], [0x20, 0xc0, 0x5c],
  ];
  const MAX_HEIGHT = 256;

  // Parse the server's bytes: {total, owners, codes, starts} or null.
  function parse(buffer) {
    const view = new DataView(buffer);
    if (buffer.byteLength < 16 || view.getUint32(0, false) !== 0x5a564b4d) return null;
    const total = view.getUint32(4, true);
    const jsonLength = view.getUint32(8, true);
    const runCount = view.getUint32(12, true);
    if (16 + jsonLength + runCount * 8 > buffer.byteLength) return null;
    const owners = JSON.parse(new TextDecoder().decode(new Uint8Array(buffer, 16, jsonLength)));
    const runs = new Uint32Array(buffer.slice(16 + jsonLength, 16 + jsonLength + runCount * 8));
    const codes = new Uint32Array(runCount);
    const starts = new Float64Array(runCount + 1);
    let at = 0;
    for (let i = 0; i < runCount; i++) {
      codes[i] = runs[2 * i];
      starts[i] = at;
      at += runs[2 * i + 1];
    }
    starts[runCount] = at;
    const byFirst = new Map();
    owners.forEach((o, i) => byFirst.set(o.f, i));
    return { total, owners, codes, starts, byFirst };
  }

  function classOf(map, code, lit) {
    if (code === lit && lit >= OWNER) return CLASS_LIT;
    switch (code) {
      case FREE: return CLASS_FREE;
      case SYSTEM: return CLASS_SYSTEM;
      case LOST: return CLASS_LOST;
      case BAD: return CLASS_BAD;
      default: return map.owners[code - OWNER] && map.owners[code - OWNER].d ? CLASS_FOLDER : CLASS_FILE;
    }
  }

  // How the blocks fall on the canvas: cell size in pixels, cells a row,
  // blocks a cell, rows.
  function layout(total, width) {
    for (const cell of [8, 6, 4, 3, 2]) {
      const perRow = Math.floor(width / cell);
      if (Math.ceil(total / perRow) * cell <= MAX_HEIGHT) {
        return { cell, perRow, per: 1, rows: Math.ceil(total / perRow) };
      }
    }
    const per = Math.max(1, Math.ceil(total / (width * MAX_HEIGHT)));
    return { cell: 1, perRow: width, per, rows: Math.ceil(Math.ceil(total / per) / width) };
  }

  // Draw map on canvas, the chain of the owner with first block litFirst
  // (or none) lit: the milliseconds it took, and what infoAt needs.
  function draw(canvas, map, litFirst) {
    const t0 = performance.now();
    const width = canvas.width;
    const lay = layout(map.total, width);
    const height = Math.max(1, lay.rows * lay.cell);
    if (canvas.height !== height) canvas.height = height;
    const lit = litFirst !== undefined && map.byFirst.has(litFirst) ? OWNER + map.byFirst.get(litFirst) : -1;
    const cells = Math.ceil(map.total / lay.per);
    const cellClass = new Uint8Array(cells);
    const cellCode = new Int32Array(cells).fill(-1);
    for (let i = 0; i < map.codes.length; i++) {
      const code = map.codes[i];
      const cls = classOf(map, code, lit);
      const first = Math.floor(map.starts[i] / lay.per);
      const last = Math.floor((map.starts[i + 1] - 1) / lay.per);
      for (let c = first; c <= last; c++) {
        if (cellCode[c] < 0 || cls > cellClass[c]) {
          cellClass[c] = cls;
          cellCode[c] = code;
        }
      }
    }
    const ctx = canvas.getContext("2d");
    const img = ctx.createImageData(width, height);
    const px = img.data;
    for (let c = 0; c < cells; c++) {
      const colour = COLOURS[cellClass[c]];
      const x0 = (c % lay.perRow) * lay.cell, y0 = Math.floor(c / lay.perRow) * lay.cell;
      // Cells of 3 pixels and more keep a gap, so single blocks stand apart.
      const size = lay.cell >= 3 ? lay.cell - 1 : lay.cell;
      for (let y = y0; y < y0 + size; y++) {
        let o = (y * width + x0) * 4;
        for (let x = 0; x < size; x++, o += 4) {
          px[o] = colour[0];
          px[o + 1] = colour[1];
          px[o + 2] = colour[2];
          px[o + 3] = 255;
        }
      }
    }
    ctx.putImageData(img, 0, 0);
    const ms = performance.now() - t0;
    return { ms, lay, cellCode, cells };
  }

  // What the canvas shows at (x, y) in canvas pixels: a sentence, and the
  // owner's first block (or null).
  function infoAt(map, drawn, x, y) {
    const lay = drawn.lay;
    const col = Math.floor(x / lay.cell), row = Math.floor(y / lay.cell);
    if (col < 0 || col >= lay.perRow || row < 0) return null;
    const c = row * lay.perRow + col;
    if (c >= drawn.cells) return null;
    const b0 = c * lay.per, b1 = Math.min(map.total, b0 + lay.per) - 1;
    const where = b0 === b1 ? `block ${b0}` : `blocks ${b0}–${b1}`;
    const code = drawn.cellCode[c];
    const names = { [FREE]: "free", [SYSTEM]: "system (labels, FAT)", [LOST]: "lost (in use, no entry reaches it)",
      [BAD]: "bad" };
    if (code < OWNER) return { text: `${where}: ${names[code] || "?"}`, first: null };
    const o = map.owners[code - OWNER];
    const more = o.l && o.l.length ? ` (also ${o.l.join(", ")})` : "";
    return { text: `${where}: ${o.p}${o.d ? " (folder)" : ""}${more}, ${o.n} blocks from ${o.f}`, first: o.f };
  }

  return { parse, draw, infoAt };
})();
