// The shared vectors (tests/vectors/*.json) checked against the package:
// the same code runs under node --test and in the browser page.

import { parse, parseBytes, readRows, stringify, stringifyBytes } from "../dwex.js";

export const FILES = ["format-guide", "edges", "damaged", "differing", "hostile", "stored", "random"];

// Chunk sizes for readRows: one byte puts a boundary inside every sequence
// and every length field; the whole input puts none.
const CHUNK_SIZES = [1, 2, 3, 7, Infinity];

export function fromHex(hex) {
  const out = new Uint8Array(hex.length / 2);
  for (let i = 0; i < out.length; i++) out[i] = parseInt(hex.substr(2 * i, 2), 16);
  return out;
}

function toHex(bytes) {
  return Array.from(bytes, (b) => b.toString(16).padStart(2, "0")).join("");
}

function outcome(run) {
  try {
    return { rows: run() };
  } catch (error) {
    return failure(error);
  }
}

function failure(error) {
  if (error instanceof SyntaxError) {
    const found = { message: error.message, position: error.position };
    if ("byteOffset" in error) found.byteOffset = error.byteOffset;
    return { error: found };
  }
  if (error instanceof TypeError && "byteOffset" in error) {
    return { notUTF8: { message: error.message, byteOffset: error.byteOffset } };
  }
  throw error;
}

async function* chunked(bytes, size) {
  for (let at = 0; at < bytes.length; at += size) {
    // A copy, as a stream hands out buffers of its own.
    yield bytes.slice(at, Math.min(bytes.length, at + size));
  }
}

async function streamed(bytes, size) {
  const rows = [];
  try {
    for await (const row of readRows(chunked(bytes, size))) rows.push(row);
    return { rows };
  } catch (error) {
    return failure(error);
  }
}

function expected(vector, withBytes) {
  if (vector.notUTF8) return { notUTF8: vector.notUTF8 };
  if (vector.error) {
    const { message, position, byteOffset } = vector.error;
    return { error: withBytes ? { message, position, byteOffset } : { message, position } };
  }
  return { rows: vector.rows };
}

function show(value) {
  return JSON.stringify(value, (key, v) => (typeof v === "string" && v.length > 60 ? v.slice(0, 60) + "..." : v));
}

function same(got, want) {
  return JSON.stringify(got) === JSON.stringify(want);
}

/** The problems the package has with one vector: none when it passes. */
export async function check(vector) {
  const problems = [];
  const report = (what, got, want) => {
    if (!same(got, want)) problems.push(`${vector.name}: ${what} gave ${show(got)}, expected ${show(want)}`);
  };
  if (vector.document !== undefined) {
    const want = expected(vector, false);
    report("parse", outcome(() => parse(vector.document)), want);
    if (want.rows) report("parse with copy", outcome(() => parse(vector.document, { copy: true })), want);
  }
  if (vector.canonical) {
    const table = vector.table ?? vector.rows;
    report("stringify", stringify(table), vector.document);
    report("stringifyBytes", toHex(stringifyBytes(table)), vector.written ?? vector.utf8 ?? "");
  }
  if (vector.utf8 !== undefined) {
    const bytes = fromHex(vector.utf8);
    const want = expected(vector, true);
    report("parseBytes", outcome(() => parseBytes(bytes)), want);
    for (const size of CHUNK_SIZES) {
      report(`readRows in chunks of ${size}`, await streamed(bytes, size), want);
    }
  }
  return problems;
}
