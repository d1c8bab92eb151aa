// readRows across chunk boundaries: every split point of short documents
// whose boundaries fall inside multi-byte characters and length fields, and
// the stream's behaviour as a source (rows handed out as they complete,
// nothing waited for past the input's end).

import assert from "node:assert/strict";
import { test } from "node:test";

import { parse, parseBytes, readBatches, readRows, stringifyBytes } from "../dwex.js";

const encoder = new TextEncoder();

async function collect(chunks) {
  const rows = [];
  try {
    for await (const row of readRows(chunks)) rows.push(row);
    return { rows };
  } catch (error) {
    return { rows, error: { name: error.name, message: error.message, position: error.position, byteOffset: error.byteOffset } };
  }
}

function whole(bytes) {
  try {
    return { rows: parseBytes(bytes) };
  } catch (error) {
    return { error: { name: error.name, message: error.message, position: error.position, byteOffset: error.byteOffset } };
  }
}

// Documents with a boundary worth cutting at almost every byte: two-, three-
// and four-byte characters in leaves and where a token must stand, length
// fields of several digits, a lone surrogate, faults after multi-byte text.
const DOCUMENTS = [
  ["multi-byte leaves", encoder.encode("02é€;11" + "ab😀cdefgh" + "0" + ";;")],
  ["long length fields", encoder.encode("2100" + "x".repeat(100) + "a00000000002ok;")],
  ["lone surrogate", stringifyBytes([["\ud83d", "a\udfff"], ["😀"]])],
  ["fault after astral", encoder.encode("02😀;0😀")],
  ["token after multi-byte", encoder.encode("01€;€")],
  ["length ending inside a pair", encoder.encode("01é;01😀;")],
  ["digits at the end", encoder.encode("02😀;0x")],
  ["not UTF-8 after rows", new Uint8Array([...encoder.encode("01a;02é"), 0xc3, 0x28, 0x3b])],
  ["cut sequence at the end", new Uint8Array([...encoder.encode("01a;01"), 0xf0, 0x9f, 0x98])],
];

for (const [name, bytes] of DOCUMENTS) {
  test(`every split in two: ${name}`, async () => {
    const want = whole(bytes);
    for (let k = 0; k <= bytes.length; k++) {
      const got = await collect([bytes.slice(0, k), bytes.slice(k)]);
      if (!want.error) assert.deepEqual(got, want, `split at ${k}`);
      else assert.deepEqual(got.error, want.error, `split at ${k}`);
    }
  });

  test(`every split in three: ${name}`, async () => {
    const want = whole(bytes);
    for (let i = 0; i <= bytes.length; i++) {
      for (let j = i; j <= bytes.length; j++) {
        const got = await collect([bytes.slice(0, i), bytes.slice(i, j), bytes.slice(j)]);
        assert.deepEqual(got.error, want.error, `split at ${i}, ${j}`);
        if (!want.error) assert.deepEqual(got.rows, want.rows, `split at ${i}, ${j}`);
      }
    }
  });
}

test("readBatches hands out readRows' rows, a batch per chunk that completes some", async () => {
  const bytes = encoder.encode("01a;;02bc;0é".replace("0é", "01é;"));
  for (let k = 0; k <= bytes.length; k++) {
    const batches = [];
    for await (const batch of readBatches([bytes.slice(0, k), bytes.slice(k)])) batches.push(batch);
    assert.ok(batches.length >= 1 && batches.length <= 2 && batches.every((b) => b.length > 0), `split at ${k}`);
    assert.deepEqual(batches.flat(), [["a"], [], ["bc"], ["é"]], `split at ${k}`);
  }
});

test("rows before a fault are handed out, positions counted across chunks", async () => {
  const bytes = encoder.encode("01a;03é😀;03xyz;x");
  for (let k = 1; k < bytes.length; k++) {
    const got = await collect([bytes.slice(0, k), bytes.slice(k)]);
    assert.deepEqual(got.rows, [["a"], ["é😀"], ["xyz"]]);
    assert.deepEqual(got.error, {
      name: "SyntaxError", message: "Unexpected token 'x' at position 16", position: 16, byteOffset: 19,
    });
  }
});

// A source that hands out its chunks one at a time, each only when the test
// releases it, and records how far it has been read.
function gated(chunks) {
  const state = { given: 0 };
  const gate = new Promise((resolve) => (state.release = resolve));
  state.source = (async function* () {
    for (const chunk of chunks) {
      if (state.given > 0) await gate;
      state.given++;
      yield chunk;
    }
  })();
  return state;
}

test("a row is handed out as soon as its chunk arrives", async () => {
  const gate = gated([encoder.encode("01a;02b"), encoder.encode("c;")]);
  const rows = readRows(gate.source);
  assert.deepEqual((await rows.next()).value, ["a"]);
  assert.equal(gate.given, 1, "the first row waited for the second chunk");
  gate.release();
  assert.deepEqual((await rows.next()).value, ["bc"]);
  assert.equal((await rows.next()).done, true);
});

test("a declared length beyond the input is an end of input once the input ends", async () => {
  const chunks = [encoder.encode("01a;f9999999999999999"), encoder.encode("x".repeat(1000))];
  const got = await collect(chunks);
  assert.deepEqual(got.rows, [["a"]]);
  assert.equal(got.error.message, "Unexpected end of input");
});

test("a ReadableStream is read and released; breaking off cancels it", async () => {
  const bytes = stringifyBytes([["a", "é"], ["😀"], []]);
  const stream = new ReadableStream({
    start(controller) {
      for (const b of bytes) controller.enqueue(new Uint8Array([b]));
      controller.close();
    },
  });
  const got = await collect(stream);
  assert.deepEqual(got, { rows: [["a", "é"], ["😀"], []] });

  let cancelled = false;
  const endless = new ReadableStream({
    pull(controller) {
      controller.enqueue(encoder.encode("01a;"));
    },
    cancel() {
      cancelled = true;
    },
  });
  for await (const row of readRows(endless)) {
    assert.deepEqual(row, ["a"]);
    break;
  }
  assert.ok(cancelled);
});

test("a long item over many chunks reads in time linear in its length", async () => {
  // Each chunk that leaves the item unfinished must not rescan it: a
  // quadratic reader would take minutes here, not milliseconds.
  const leaf = "é".repeat(4_000_000);
  const bytes = stringifyBytes([[leaf, "b"]]);
  const chunks = [];
  for (let at = 0; at < bytes.length; at += 1000) chunks.push(bytes.subarray(at, at + 1000));
  const got = await collect(chunks);
  assert.equal(got.rows.length, 1);
  assert.equal(got.rows[0][0] === leaf, true);
  assert.deepEqual(got.rows[0][1], "b");
});

test("no bytes are no rows; the empty text is no document", async () => {
  assert.deepEqual(await collect([]), { rows: [] });
  assert.deepEqual(await collect([new Uint8Array(0), new Uint8Array(0)]), { rows: [] });
  assert.deepEqual(parseBytes(new Uint8Array(0)), []);
  assert.throws(() => parse(""), { name: "SyntaxError", message: "Unexpected end of input" });
});

test("chunks other than bytes are refused", async () => {
  const got = await collect(["01a;"]);
  assert.equal(got.error.name, "TypeError");
  await assert.rejects(readRows(42).next(), TypeError);
});
