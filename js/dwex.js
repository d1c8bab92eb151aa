// DWEX documents in JavaScript: tables of strings to one text and back, over
// strings, UTF-8 bytes and streams. Lengths and positions are UTF-16 code
// units, which is what a JavaScript string indexes, so a leaf is cut out of
// the document with one slice and never looked at.

const SEMICOLON = 59;
const HEX = "0123456789abcdef";
const END_OF_INPUT = "Unexpected end of input";
const utf8 = new TextDecoder("utf-8", { fatal: true, ignoreBOM: true });

// ---------------------------------------------------------------- errors

function endOfInput() {
  const error = new SyntaxError(END_OF_INPUT);
  error.position = null;
  return error;
}

// The character at `i`, whole when it is a surrogate pair.
function unexpected(text, i, base) {
  const position = base + i;
  const error = new SyntaxError(
    `Unexpected token '${String.fromCodePoint(text.codePointAt(i))}' at position ${position}`);
  error.position = position;
  return error;
}

const PAIR = /[\uD800-\uDBFF][\uDC00-\uDFFF]/;

// ---------------------------------------------------------------- reading

// What scan leaves for its caller besides the index it returns: the row it
// was in the middle of, and how many units of text it needs before it can
// go on (when it stopped for want of input rather than at the end).
let scanRow = null;
let scanNeed = 0;
// The leaves of the row being read. Emptied after every read: a leaf left
// here would keep its document alive.
let cells = [];

// Where length digits that start at `j` with `left` of them still to come
// (the character at `j` among them) stand. Returns -1 when a fault among
// them is certain (the caller throws at `j`'s non-digit), otherwise the
// number of units the text must hold before anything can be decided, or 0
// for an end of input. The digits are counted in characters: a surrogate
// pair among them is one character, and one non-digit.
function digitsVerdict(text, j, left, final, pairsBefore) {
  const n = text.length;
  for (; left > 0; left--) {
    if (j >= n) return final ? 0 : n + 1;
    const c = text.charCodeAt(j);
    if (c < 48 || c > 57) {
      // Count the characters from here, up to one past the digits' end.
      let chars = 0;
      let k = j;
      while (k < n && chars <= left) {
        const u = text.charCodeAt(k);
        k += (u & 0xfc00) === 0xd800 && k + 1 < n && (text.charCodeAt(k + 1) & 0xfc00) === 0xdc00 ? 2 : 1;
        chars++;
      }
      if (chars > left) return -1;
      if (!final) return n + 1;
      if (chars < left) return 0;
      // The digits end on the last character: read them only in a document
      // holding a character above U+FFFF.
      return pairsBefore || PAIR.test(text) ? -1 : 0;
    }
    j++;
  }
  // Every digit is there and nothing follows them.
  return final ? 0 : n + 1;
}

// Reads the rows of text[i..] into `rows`, continuing `row`; `base` is the
// position of text[0] in the document, for messages. With `final`, the text
// is the rest of the document: it must end with a row's ';', and scan throws
// otherwise. Without it, scan stops before the first item it cannot finish
// and returns that item's index, with scanRow and scanNeed set. Throws
// SyntaxError at the first fault it can be sure of.
function scan(text, i, final, rows, row, base, copy, pairsBefore) {
  const n = text.length;
  // The row's leaves gather in `cells`, and a row is cut to its size once
  // complete: an array grown by push() holds room for 17 leaves after its
  // first, which rows of a few leaves would carry to the caller.
  let k = 0;
  for (; k < row.length; k++) cells[k] = row[k];
  for (;;) {
    if (i >= n) {
      if (final) throw endOfInput();
      scanRow = cells.slice(0, k);
      scanNeed = n + 1;
      return i;
    }
    const c = text.charCodeAt(i);
    if (c === SEMICOLON) {
      rows.push(k === 0 ? [] : cells.slice(0, k));
      k = 0;
      if (++i === n && final) return i;
      continue;
    }
    let h = c - 48;
    if (h < 0 || h > 9) {
      h = (c | 32) - 87;
      if (h < 10 || h > 15) {
        if (!final && i === n - 1 && (c & 0xfc00) === 0xd800) {
          scanRow = cells.slice(0, k);
          scanNeed = n + 1;
          return i;
        }
        throw unexpected(text, i, base);
      }
    }
    const de = i + h + 2;
    let len = 0;
    let j = i + 1;
    if (h === 0 && de < n) {
      // One length digit, the commonest field.
      len = text.charCodeAt(j) - 48;
      if (len >= 0 && len <= 9) j = de;
      else len = 0;
    } else if (de < n) {
      for (; j < de; j++) {
        const d = text.charCodeAt(j) - 48;
        if (d < 0 || d > 9) break;
        len = len * 10 + d;
      }
    }
    if (j !== de) {
      const verdict = digitsVerdict(text, j, de - j, final, pairsBefore);
      if (verdict < 0) {
        let k = j;
        while (text.charCodeAt(k) >= 48 && text.charCodeAt(k) <= 57) k++;
        throw unexpected(text, k, base);
      }
      if (verdict === 0) throw endOfInput();
      scanRow = cells.slice(0, k);
      scanNeed = verdict;
      return i;
    }
    const ce = de + len;
    if (ce >= n) {
      if (final) throw endOfInput();
      scanRow = cells.slice(0, k);
      scanNeed = ce + 1;
      return i;
    }
    if (len === 0) {
      cells[k++] = "";
      i = ce;
      continue;
    }
    // A length that ends between the halves of a pair: the low half is the
    // fault, before asking whether anything follows the content.
    if ((text.charCodeAt(ce) & 0xfc00) === 0xdc00 && (text.charCodeAt(ce - 1) & 0xfc00) === 0xd800) {
      throw unexpected(text, ce, base);
    }
    cells[k++] = copy ? copied(text.slice(de, ce)) : text.slice(de, ce);
    i = ce;
  }
}

// A leaf that does not keep its document alive. V8 cuts a slice of 13 units
// or more as a view into the string it came from; flattening a new
// concatenation copies the characters into a string of their own.
function copied(leaf) {
  return leaf.length < 13 ? leaf : (" " + leaf).slice(1);
}

function options(given) {
  return given != null && given.copy === true;
}

/**
 * The rows of a DWEX document.
 * @param {string} text
 * @param {{copy?: boolean}} [opts]
 * @returns {string[][]}
 */
export function parse(text, opts) {
  if (typeof text !== "string") throw new TypeError(`parse() takes a string, not ${describe(text)}`);
  const rows = [];
  try {
    scan(text, 0, true, rows, [], 0, options(opts), false);
  } finally {
    cells.length = 0;
  }
  return rows;
}

function describe(value) {
  return value === null ? "null" : Array.isArray(value) ? "an array" : typeof value;
}

// ---------------------------------------------------------------- writing

// The length fields of the commonest lengths, made once.
const PREFIXES = [];
for (let n = 0; n < 4096; n++) PREFIXES.push(HEX[String(n).length - 1] + n);

function lengthField(n) {
  if (n < 4096) return PREFIXES[n];
  const digits = String(n);
  return HEX[digits.length - 1] + digits;
}

// The character read to flatten stringify's rope, kept so that no compiler
// drops the read.
let probe = 0;

// What the first leaves of a table say of the rest: whether they are ASCII,
// and their mean length. Each way of writing the text wins on some tables:
// UTF-8 bytes decoded once on ASCII, UTF-16 units decoded once on short
// leaves of wider characters, the rope on longer ones, whose characters it
// copies with no loop over them in JavaScript.
let sampledAscii = true;
let sampledLength = 0;
const SAMPLE_UNITS = 512;
const SHORT_LEAF = 8;

function sample(rows) {
  let units = 0;
  let leaves = 0;
  sampledAscii = true;
  for (let r = 0; r < rows.length && units < SAMPLE_UNITS; r++) {
    const row = rows[r];
    if (!Array.isArray(row)) break;
    for (let k = 0; k < row.length && units < SAMPLE_UNITS; k++) {
      const leaf = row[k];
      if (typeof leaf !== "string") continue;
      leaves++;
      units += leaf.length;
      if (sampledAscii) {
        for (let j = 0; j < leaf.length; j++) {
          if (leaf.charCodeAt(j) >= 0x80) {
            sampledAscii = false;
            break;
          }
        }
      }
    }
  }
  sampledLength = leaves === 0 ? 0 : units / leaves;
}

// The document's text from its UTF-16 units, or null where a leaf holds a
// lone surrogate, which a UTF-16 decoder would replace.
let unitScratch = new Uint16Array(1 << 15);
const utf16 = new TextDecoder("utf-16le", { ignoreBOM: true });

function writeUnits(rows) {
  let b = unitScratch;
  let o = 0;
  for (let r = 0; r < rows.length; r++) {
    const row = rows[r];
    if (!Array.isArray(row)) return null;
    for (let k = 0; k < row.length; k++) {
      let leaf = row[k];
      if (typeof leaf !== "string") leaf = String(leaf);
      const n = leaf.length;
      if (o + n + 18 > b.length) b = grownUnits(b, o, o + n + 18);
      o = writeField(b, o, n);
      for (let j = 0; j < n; j++) {
        const c = leaf.charCodeAt(j);
        b[o++] = c;
        if ((c & 0xf800) === 0xd800) {
          const d = j + 1 < n ? leaf.charCodeAt(j + 1) : 0;
          if (c >= 0xdc00 || (d & 0xfc00) !== 0xdc00) return null;
          b[o++] = d;
          j++;
        }
      }
    }
    if (o + 1 > b.length) b = grownUnits(b, o, o + 1);
    b[o++] = SEMICOLON;
  }
  if (b.length <= KEEP) unitScratch = b;
  return utf16.decode(b.subarray(0, o));
}

function grownUnits(units, used, need) {
  let size = units.length * 2;
  while (size < need) size *= 2;
  const bigger = new Uint16Array(size);
  bigger.set(units.subarray(0, used));
  return bigger;
}

// `text` with one row added: a length field and the leaf for every leaf,
// then the terminator. Each piece goes onto one rope, which V8 copies once,
// when the whole is flattened: on long leaves several times quicker than
// JSON.stringify, where an array of parts and join(), or a rope per row,
// cost more than the rope itself.
function appendRow(text, row) {
  if (Array.isArray(row)) {
    for (let k = 0; k < row.length; k++) {
      let leaf = row[k];
      if (typeof leaf !== "string") leaf = String(leaf);
      text += lengthField(leaf.length);
      text += leaf;
    }
  } else if (row != null && typeof row !== "string" && typeof row[Symbol.iterator] === "function") {
    for (let leaf of row) {
      if (typeof leaf !== "string") leaf = String(leaf);
      text += lengthField(leaf.length);
      text += leaf;
    }
  } else {
    throw new TypeError(`a row must be an iterable of leaves, not ${describe(row)}`);
  }
  return text + ";";
}

/**
 * The DWEX document of a table: rows of leaves, each any iterable; a leaf
 * that is not a string is written as String(leaf).
 * @param {Iterable<Iterable<unknown>>} rows
 * @returns {string}
 */
export function stringify(rows) {
  if (Array.isArray(rows)) {
    sample(rows);
    if (sampledAscii) {
      // ASCII text decodes from its bytes at the speed of a copy, and
      // writing the bytes beats the rope's node a piece on short leaves.
      const size = writeTable(rows);
      const bytes = written;
      written = null;
      if (!lone) return utf8.decode(bytes.subarray(0, size));
    } else if (sampledLength < SHORT_LEAF) {
      // Wider short leaves: their units, decoded once as UTF-16.
      const text = writeUnits(rows);
      if (text !== null) return text;
    }
  }
  let text = "";
  if (Array.isArray(rows)) {
    for (let r = 0; r < rows.length; r++) text = appendRow(text, rows[r]);
  } else if (rows != null && typeof rows !== "string" && typeof rows[Symbol.iterator] === "function") {
    for (const row of rows) text = appendRow(text, row);
  } else {
    throw new TypeError(`the rows must be an iterable, not ${describe(rows)}`);
  }
  // Reading a character flattens the rope here, where the caller asked for
  // the document, rather than at its first use of it, and every later
  // access finds one flat string. The character is kept, so that no
  // compiler drops the read.
  probe = text.charCodeAt(text.length >> 1);
  return text;
}

// ---------------------------------------------------------------- writing UTF-8

// stringifyBytes puts the document's UTF-8 straight into a byte buffer: on
// tables of short leaves that is quicker than encoding the text, and a lone
// surrogate is written as it stands. A buffer of up to KEEP bytes is kept
// for the next call.
const KEEP = 1 << 22;
const encoder = new TextEncoder();
let scratch = new Uint8Array(1 << 16);
let written = null; // the buffer the last writeTable filled
let lone = false; // whether it wrote a lone surrogate, which no text decoder gives back
// Leaves longer than this go through TextEncoder.encodeInto, whose cost per
// call a loop over a short leaf's units does not pay.
const LOOP_UNITS = 64;

function grown(buffer, used, need) {
  let size = buffer.length * 2;
  while (size < need) size *= 2;
  const bigger = new Uint8Array(size);
  bigger.set(buffer.subarray(0, used));
  return bigger;
}

// Writes the length field of a leaf of `n` units at `o` of `b` (code units
// or bytes: the field is ASCII), which has room for it; returns its end.
// Small enough to be inlined into the writers' loops.
function writeField(b, o, n) {
  if (n < 10) {
    b[o++] = 48;
    b[o++] = 48 + n;
  } else if (n < 100) {
    b[o++] = 49;
    b[o++] = 48 + ((n / 10) | 0);
    b[o++] = 48 + (n % 10);
  } else {
    let digits = 3;
    for (let p = 1000; p <= n; p *= 10) digits++;
    b[o++] = HEX.charCodeAt(digits - 1);
    for (let k = o + digits - 1, m = n; k >= o; k--, m = Math.floor(m / 10)) b[k] = 48 + (m % 10);
    o += digits;
  }
  return o;
}

// Writes one leaf at `o` of `b`, which has room for it; returns the end.
function writeLeaf(b, o, leaf) {
  const n = leaf.length;
  o = writeField(b, o, n);
  if (n > LOOP_UNITS) {
    // encodeInto would put U+FFFD for a lone surrogate.
    if (leaf.isWellFormed()) return o + encoder.encodeInto(leaf, b.subarray(o)).written;
  }
  for (let j = 0; j < n; j++) {
    let c = leaf.charCodeAt(j);
    if (c < 0x80) {
      b[o++] = c;
    } else if (c < 0x800) {
      b[o++] = 0xc0 | (c >> 6);
      b[o++] = 0x80 | (c & 0x3f);
    } else if ((c & 0xf800) !== 0xd800) {
      b[o++] = 0xe0 | (c >> 12);
      b[o++] = 0x80 | ((c >> 6) & 0x3f);
      b[o++] = 0x80 | (c & 0x3f);
    } else {
      const d = j + 1 < n ? leaf.charCodeAt(j + 1) : 0;
      if (c < 0xdc00 && (d & 0xfc00) === 0xdc00) {
        j++;
        c = 0x10000 + ((c & 0x3ff) << 10) + (d & 0x3ff);
        b[o++] = 0xf0 | (c >> 18);
        b[o++] = 0x80 | ((c >> 12) & 0x3f);
        b[o++] = 0x80 | ((c >> 6) & 0x3f);
        b[o++] = 0x80 | (c & 0x3f);
      } else {
        // A lone surrogate: its three-byte sequence, as "surrogatepass".
        lone = true;
        b[o++] = 0xe0 | (c >> 12);
        b[o++] = 0x80 | ((c >> 6) & 0x3f);
        b[o++] = 0x80 | (c & 0x3f);
      }
    }
  }
  return o;
}

// Writes the UTF-8 of the document into `written`; returns its length.
function writeTable(rows) {
  let b = scratch;
  let o = 0;
  lone = false;
  const add = (leaf) => {
    if (typeof leaf !== "string") leaf = String(leaf);
    // The length field, at most three bytes a unit, the terminator.
    const need = o + 3 * leaf.length + 18;
    if (need > b.length) b = grown(b, o, need);
    o = writeLeaf(b, o, leaf);
  };
  const row1 = (row) => {
    if (Array.isArray(row)) {
      for (let k = 0; k < row.length; k++) add(row[k]);
    } else if (row != null && typeof row !== "string" && typeof row[Symbol.iterator] === "function") {
      for (const leaf of row) add(leaf);
    } else {
      throw new TypeError(`a row must be an iterable of leaves, not ${describe(row)}`);
    }
    if (o + 1 > b.length) b = grown(b, o, o + 1);
    b[o++] = SEMICOLON;
  };
  if (Array.isArray(rows)) {
    for (let r = 0; r < rows.length; r++) {
      const row = rows[r];
      if (!Array.isArray(row)) {
        row1(row);
        continue;
      }
      // The common case, written out here rather than through the closures.
      for (let k = 0; k < row.length; k++) {
        let leaf = row[k];
        if (typeof leaf !== "string") leaf = String(leaf);
        if (o + 3 * leaf.length + 18 > b.length) b = grown(b, o, o + 3 * leaf.length + 18);
        o = writeLeaf(b, o, leaf);
      }
      if (o + 1 > b.length) b = grown(b, o, o + 1);
      b[o++] = SEMICOLON;
    }
  } else if (rows != null && typeof rows !== "string" && typeof rows[Symbol.iterator] === "function") {
    for (const row of rows) row1(row);
  } else {
    throw new TypeError(`the rows must be an iterable, not ${describe(rows)}`);
  }
  if (b.length <= KEEP) scratch = b;
  written = b;
  return o;
}

// ---------------------------------------------------------------- UTF-8


// The text of bytes[from..to] as Python's "utf-8" with "surrogatepass"
// decodes it: a surrogate's three-byte sequence is that surrogate. Returns
// the text of the valid bytes before the first sequence that is not UTF-8,
// and that sequence's offset in `bad` (-1 when there is none). The strict
// decoder does nearly all documents; this walk is for the rest.
let badOffset = -1;
// The indices in the text of the high surrogates that stood alone in the
// bytes: followed by a low one, they read as a pair of six bytes, not four.
let looseHighs = [];

function decodeLoose(bytes, from, to) {
  badOffset = -1;
  looseHighs = [];
  try {
    return utf8.decode(from === 0 && to === bytes.length ? bytes : bytes.subarray(from, to));
  } catch {
    // not strict UTF-8: a lone surrogate, or bytes that are not UTF-8 at all
  }
  const units = new Uint16Array(to - from);
  let u = 0;
  let p = from;
  while (p < to) {
    const b = bytes[p];
    if (b < 0x80) {
      units[u++] = b;
      p++;
      continue;
    }
    let need;
    let cp;
    let low = 0x80;
    let high = 0xbf;
    if (b >= 0xc2 && b <= 0xdf) {
      need = 1;
      cp = b & 0x1f;
    } else if (b >= 0xe0 && b <= 0xef) {
      need = 2;
      cp = b & 0x0f;
      if (b === 0xe0) low = 0xa0;
    } else if (b >= 0xf0 && b <= 0xf4) {
      need = 3;
      cp = b & 0x07;
      if (b === 0xf0) low = 0x90;
      else if (b === 0xf4) high = 0x8f;
    } else {
      badOffset = p;
      break;
    }
    if (p + need >= to) {
      badOffset = p;
      break;
    }
    let q = p + 1;
    let ok = true;
    for (let k = 0; k < need; k++, q++) {
      const t = bytes[q];
      if (t < (k === 0 ? low : 0x80) || t > (k === 0 ? high : 0xbf)) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (t & 0x3f);
    }
    if (!ok) {
      badOffset = p;
      break;
    }
    if (cp > 0xffff) {
      cp -= 0x10000;
      units[u++] = 0xd800 | (cp >> 10);
      units[u++] = 0xdc00 | (cp & 0x3ff);
    } else {
      if ((cp & 0xfc00) === 0xd800) looseHighs.push(u);
      units[u++] = cp;
    }
    p = q;
  }
  // fromCharCode keeps lone surrogates, which a UTF-16 TextDecoder replaces.
  let out = "";
  for (let k = 0; k < u; k += 8192) out += String.fromCharCode.apply(null, units.subarray(k, Math.min(u, k + 8192)));
  return out;
}

// The number of bytes of bytes[from..to] that hold whole UTF-8 sequences: a
// chunk of a stream may end inside one.
function wholeSequences(bytes, from, to) {
  let k = to - 1;
  const stop = Math.max(from, to - 4);
  while (k >= stop && (bytes[k] & 0xc0) === 0x80) k--;
  if (k < stop) return to;
  const b = bytes[k];
  const size = b < 0x80 ? 1 : b >= 0xf0 ? 4 : b >= 0xe0 ? 3 : b >= 0xc0 ? 2 : 1;
  return k + size > to ? k : to;
}

// The UTF-8 of a string, a lone surrogate as its three-byte sequence, as
// Python's "surrogatepass" writes it (TextEncoder would put U+FFFD there).
function encodeText(text) {
  if (text.isWellFormed()) return encoder.encode(text);
  const out = new Uint8Array(text.length * 3);
  let o = 0;
  for (let i = 0; i < text.length; i++) {
    let c = text.charCodeAt(i);
    if (c < 0x80) {
      out[o++] = c;
    } else if (c < 0x800) {
      out[o++] = 0xc0 | (c >> 6);
      out[o++] = 0x80 | (c & 0x3f);
    } else if ((c & 0xfc00) === 0xd800 && i + 1 < text.length && (text.charCodeAt(i + 1) & 0xfc00) === 0xdc00) {
      c = 0x10000 + ((c & 0x3ff) << 10) + (text.charCodeAt(++i) & 0x3ff);
      out[o++] = 0xf0 | (c >> 18);
      out[o++] = 0x80 | ((c >> 12) & 0x3f);
      out[o++] = 0x80 | ((c >> 6) & 0x3f);
      out[o++] = 0x80 | (c & 0x3f);
    } else {
      out[o++] = 0xe0 | (c >> 12);
      out[o++] = 0x80 | ((c >> 6) & 0x3f);
      out[o++] = 0x80 | (c & 0x3f);
    }
  }
  return out.slice(0, o);
}

// The byte offset, in bytes starting at `from`, of the sequence holding
// UTF-16 unit `position`.
function byteOffsetOf(bytes, from, position) {
  let units = 0;
  let p = from;
  for (;;) {
    const b = bytes[p];
    const size = b < 0x80 ? 1 : b >= 0xf0 ? 4 : b >= 0xe0 ? 3 : 2;
    units += size === 4 ? 2 : 1;
    if (units > position) return p;
    p += size;
  }
}

function notUTF8(bytes, at, offset, row) {
  const error = new TypeError(
    `'utf-8' codec can't decode byte 0x${bytes[at].toString(16).padStart(2, "0")} in position ${offset}: ` +
      `not UTF-8 in row ${row}`);
  error.byteOffset = offset;
  return error;
}

function asBytes(data, what) {
  if (data instanceof Uint8Array) return data;
  if (data instanceof ArrayBuffer) return new Uint8Array(data);
  if (ArrayBuffer.isView(data)) return new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
  throw new TypeError(`${what} takes bytes (a Uint8Array), not ${describe(data)}`);
}

/**
 * The rows of a DWEX document stored as UTF-8, as dwexio.load reads a file:
 * no bytes are the table with no rows.
 * @param {Uint8Array | ArrayBuffer} data
 * @param {{copy?: boolean}} [opts]
 * @returns {string[][]}
 */
export function parseBytes(data, opts) {
  const bytes = asBytes(data, "parseBytes()");
  if (bytes.length === 0) return [];
  const text = decodeLoose(bytes, 0, bytes.length);
  const bad = badOffset;
  const rows = [];
  try {
    if (bad < 0) {
      scan(text, 0, true, rows, [], 0, options(opts), false);
      return rows;
    }
    // The bytes before the fault still read as far as they go: a fault in
    // the document before them comes first.
    scan(text, 0, false, rows, [], 0, false, false);
  } catch (error) {
    error.byteOffset = error.position === null ? null : byteOffsetOf(bytes, 0, error.position);
    throw error;
  } finally {
    cells.length = 0;
  }
  throw notUTF8(bytes, bad, bad, rows.length + 1);
}

/**
 * The DWEX document of a table, as UTF-8 bytes (lone surrogates as Python's
 * "surrogatepass" writes them).
 * @param {Iterable<Iterable<unknown>>} rows
 * @returns {Uint8Array}
 */
export function stringifyBytes(rows) {
  const size = writeTable(rows);
  const bytes = written;
  written = null;
  return bytes === scratch ? bytes.slice(0, size) : bytes.subarray(0, size);
}

// ---------------------------------------------------------------- streams

async function* chunksOf(source) {
  if (source != null && typeof source.getReader === "function" && !(Symbol.asyncIterator in source)) {
    const reader = source.getReader();
    let finished = false;
    try {
      for (;;) {
        const { done, value } = await reader.read();
        if (done) {
          finished = true;
          return;
        }
        yield value;
      }
    } finally {
      // Left early (a fault, or the caller stopped): the rest is not wanted.
      if (!finished) await reader.cancel();
      reader.releaseLock();
    }
  } else if (source != null && (typeof source[Symbol.asyncIterator] === "function" ||
                                typeof source[Symbol.iterator] === "function")) {
    yield* source;
  } else {
    throw new TypeError(`readRows() takes a ReadableStream or an async iterable of byte chunks, not ${describe(source)}`);
  }
}

// The UTF-8 length of text[from..], a pair four bytes and any other unit
// up to three.
function utf8Length(text, from) {
  let size = 0;
  for (let i = from; i < text.length; i++) {
    const c = text.charCodeAt(i);
    if (c < 0x80) size += 1;
    else if (c < 0x800) size += 2;
    else if ((c & 0xfc00) === 0xd800 && (text.charCodeAt(i + 1) & 0xfc00) === 0xdc00) {
      size += 4;
      i++;
    } else size += 3;
  }
  return size;
}

/**
 * The rows of a DWEX document read from a stream of UTF-8 byte chunks, each
 * as soon as it is complete; memory holds the unfinished row and the chunk
 * being read. A stream of no bytes has no rows.
 * @param {ReadableStream<Uint8Array> | AsyncIterable<Uint8Array> | Iterable<Uint8Array>} source
 * @param {{copy?: boolean}} [opts]
 * @returns {AsyncIterableIterator<string[]>}
 */
export function readRows(source, opts) {
  return new RowReader(source, options(opts), false);
}

/**
 * readRows' rows in batches, each batch the rows that one read of the
 * source completed: one await per batch instead of one per row.
 * @param {ReadableStream<Uint8Array> | AsyncIterable<Uint8Array> | Iterable<Uint8Array>} source
 * @param {{copy?: boolean}} [opts]
 * @returns {AsyncIterableIterator<string[][]>}
 */
export function readBatches(source, opts) {
  return new RowReader(source, options(opts), true);
}

const DONE = Object.freeze({ value: undefined, done: true });

// An async iterator written out rather than an async generator: a row that
// is already read is handed out with one resolved promise, where a
// generator's yield costs several.
class RowReader {
  #source;
  #chunks = null;
  #copy;
  #rows = []; // the rows read and not yet handed out, from #next
  #next = 0;
  #fault = null; // thrown once the rows before it are handed out
  #ended = false;
  #text = ""; // from the first item of the unfinished row that is not read yet
  #row = []; // the unfinished row's leaves before #text
  #pieces = []; // decoded text after #text, not joined yet
  #held = 0; // #text.length plus the pieces' lengths
  #need = 1; // the length #held must reach before reading again
  #units = 0; // the document's units before #text[0]
  #bytes = 0; // the bytes decoded
  #carry = null; // the start of a sequence that the last chunk cut
  #pairs = false; // whether the text read so far held a pair
  #highs = []; // the document positions of loose high surrogates in #text
  #count = 0; // the rows read
  #batches; // whether to hand out all the rows read at once

  constructor(source, copy, batches) {
    this.#source = source;
    this.#copy = copy;
    this.#batches = batches;
  }

  [Symbol.asyncIterator]() {
    return this;
  }

  next() {
    if (this.#next < this.#rows.length && !this.#batches) {
      return Promise.resolve({ value: this.#rows[this.#next++], done: false });
    }
    return this.#more();
  }

  async return(value) {
    this.#ended = true;
    this.#rows = [];
    const chunks = this.#chunks;
    this.#chunks = null;
    if (chunks !== null && typeof chunks.return === "function") await chunks.return();
    return { value, done: true };
  }

  async #more() {
    for (;;) {
      if (this.#next < this.#rows.length) {
        if (!this.#batches) return { value: this.#rows[this.#next++], done: false };
        this.#next = this.#rows.length;
        return { value: this.#rows, done: false };
      }
      if (this.#fault !== null) {
        const fault = this.#fault;
        this.#fault = null;
        this.#ended = true;
        await this.return();
        throw fault;
      }
      if (this.#ended) return DONE;
      this.#rows = [];
      this.#next = 0;
      await this.#pull();
    }
  }

  // Reads chunks until some rows, a fault or the end.
  async #pull() {
    if (this.#chunks === null) this.#chunks = chunksOf(this.#source)[Symbol.asyncIterator]();
    for (;;) {
      const { value, done } = await this.#chunks.next();
      if (done) {
        this.#finish();
        return;
      }
      let data = asBytes(value, "readRows()");
      if (data.length === 0) continue;
      if (this.#carry !== null) {
        const joined = new Uint8Array(this.#carry.length + data.length);
        joined.set(this.#carry);
        joined.set(data, this.#carry.length);
        data = joined;
        this.#carry = null;
      }
      const whole = wholeSequences(data, 0, data.length);
      if (whole < data.length) this.#carry = data.slice(whole);
      const piece = decodeLoose(data, 0, whole);
      const bad = badOffset;
      for (const k of looseHighs) this.#highs.push(this.#units + this.#held + k);
      if (piece.length > 0) {
        this.#pieces.push(piece);
        this.#held += piece.length;
        this.#bytes += bad < 0 ? whole : bad;
      }
      if (bad >= 0 || this.#held >= this.#need) {
        this.#read(false);
        if (this.#fault === null && bad >= 0) this.#fault = notUTF8(data, bad, this.#bytes, this.#count + 1);
        if (this.#rows.length > 0 || this.#fault !== null) return;
      }
    }
  }

  #finish() {
    this.#ended = true;
    this.#chunks = null;
    if (this.#carry !== null) {
      // The input ends inside a sequence: everything before it must read.
      this.#read(false);
      this.#fault ??= notUTF8(this.#carry, 0, this.#bytes, this.#count + 1);
      return;
    }
    // Nothing left: no bytes at all, or a document read up to its final ';'.
    if (this.#held > 0) this.#read(true);
  }

  // Reads what is held into #rows; a fault is kept for after them.
  #read(final) {
    const pieces = this.#pieces;
    if (pieces.length > 0) {
      const added = pieces.length === 1 ? pieces[0] : pieces.join("");
      this.#text = this.#text.length > 0 ? this.#text + added : added;
      pieces.length = 0;
    }
    const text = this.#text;
    if (!this.#pairs && PAIR.test(text)) this.#pairs = true;
    const rows = this.#rows;
    let stop;
    try {
      stop = scan(text, 0, final, rows, this.#row, this.#units, this.#copy, this.#pairs);
    } catch (error) {
      this.#count += rows.length;
      this.#fault = this.#locate(error);
      return;
    } finally {
      cells.length = 0;
    }
    this.#count += rows.length;
    if (final) return;
    this.#row = scanRow;
    this.#need = scanNeed - stop;
    this.#units += stop;
    this.#text = stop === 0 ? text : text.slice(stop);
    this.#held = this.#text.length;
    if (this.#highs.length > 0) this.#highs = this.#highs.filter((high) => high >= this.#units);
  }

  // The error with the byte offset of its position, within #text.
  #locate(error) {
    if (error.position === null) {
      error.byteOffset = null;
      return error;
    }
    const text = this.#text;
    let at = error.position - this.#units;
    if ((text.charCodeAt(at) & 0xfc00) === 0xdc00 && at > 0 && (text.charCodeAt(at - 1) & 0xfc00) === 0xd800 &&
        !this.#highs.includes(this.#units + at - 1)) {
      at--; // the low half of a four-byte sequence
    }
    let size = utf8Length(text, at);
    for (const high of this.#highs) {
      const k = high - this.#units;
      if (k >= at && (text.charCodeAt(k + 1) & 0xfc00) === 0xdc00) size += 2;
    }
    error.byteOffset = this.#bytes - size;
    return error;
  }
}

// ---------------------------------------------------------------- writer

/**
 * Writes a DWEX document row by row to a WritableStream of byte chunks. Rows
 * go out as one UTF-8 chunk whenever `chunkSize` units of text (65536) are
 * buffered, and every row written is out once flush() or close() resolves.
 */
export class Writer {
  #writer;
  #text = "";
  #chunkSize;

  /**
   * @param {WritableStream<Uint8Array>} stream
   * @param {{chunkSize?: number}} [opts]
   */
  constructor(stream, opts) {
    if (stream == null || typeof stream.getWriter !== "function") {
      throw new TypeError(`Writer takes a WritableStream, not ${describe(stream)}`);
    }
    this.#chunkSize = opts?.chunkSize ?? 65536;
    this.#writer = stream.getWriter();
  }

  /** Adds one row; resolves once it is buffered or, when the buffer is full, written. */
  async writeRow(row) {
    this.#text = appendRow(this.#text, row);
    if (this.#text.length >= this.#chunkSize) await this.flush();
  }

  /** Adds every row of an iterable or an async iterable. */
  async writeRows(rows) {
    if (rows != null && typeof rows[Symbol.asyncIterator] === "function") {
      for await (const row of rows) await this.writeRow(row);
    } else {
      for (const row of rows) await this.writeRow(row);
    }
  }

  /** Writes what is buffered; resolves once the stream has taken it. */
  async flush() {
    if (this.#text.length === 0) return;
    const bytes = encodeText(this.#text);
    this.#text = "";
    await this.#writer.write(bytes);
  }

  /** Writes what is buffered and closes the stream. */
  async close() {
    await this.flush();
    await this.#writer.close();
  }

  /** Drops what is buffered and aborts the stream. */
  async abort(reason) {
    this.#text = "";
    await this.#writer.abort(reason);
  }
}
