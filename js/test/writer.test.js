// The Writer's output as it comes: chunks reach the stream while rows are
// still being written, and together they are the document.

import assert from "node:assert/strict";
import { test } from "node:test";

import { Writer, stringifyBytes } from "../dwex.js";

function sink(options = {}) {
  const chunks = [];
  const events = [];
  const stream = new WritableStream({
    async write(chunk) {
      if (options.delay) await new Promise((resolve) => setTimeout(resolve, options.delay));
      if (options.fail && chunks.length === options.fail) throw new Error("disk full");
      chunks.push(chunk);
      events.push(`chunk ${chunk.length}`);
    },
    close() {
      events.push("close");
    },
    abort(reason) {
      events.push(`abort ${reason}`);
    },
  });
  const bytes = () => {
    const out = new Uint8Array(chunks.reduce((n, c) => n + c.length, 0));
    let at = 0;
    for (const c of chunks) {
      out.set(c, at);
      at += c.length;
    }
    return out;
  };
  return { stream, chunks, events, bytes };
}

const ROWS = Array.from({ length: 500 }, (_, i) => [`row ${i}`, "é".repeat(i % 7), i % 50 === 0 ? "\ud83d" : "😀", i]);

test("rows go out in chunks as they are written, and make the document", async () => {
  const out = sink();
  const writer = new Writer(out.stream, { chunkSize: 1000 });
  let seenBeforeEnd = 0;
  for (const row of ROWS) {
    await writer.writeRow(row);
    seenBeforeEnd = out.chunks.length;
  }
  assert.ok(seenBeforeEnd > 5, `only ${seenBeforeEnd} chunks before the last row`);
  for (const chunk of out.chunks) assert.ok(chunk.length >= 1000 && chunk.length < 1000 * 3 + 100);
  await writer.close();
  assert.deepEqual(out.bytes(), stringifyBytes(ROWS));
  assert.equal(out.events.at(-1), "close");
});

test("flush hands over what is buffered; nothing is written before", async () => {
  const out = sink();
  const writer = new Writer(out.stream);
  await writer.writeRow(["a"]);
  assert.equal(out.chunks.length, 0);
  await writer.flush();
  assert.deepEqual(out.chunks, [new Uint8Array([0x30, 0x31, 0x61, 0x3b])]);
  await writer.flush();
  assert.equal(out.chunks.length, 1, "an empty flush wrote a chunk");
  await writer.writeRows([[], ["\udc00"]]);
  await writer.close();
  assert.deepEqual(out.bytes(), stringifyBytes([["a"], [], ["\udc00"]]));
});

test("rows from an async iterable, with a slow stream holding the writer back", async () => {
  const out = sink({ delay: 2 });
  const writer = new Writer(out.stream, { chunkSize: 200 });
  let produced = 0;
  async function* rows() {
    for (const row of ROWS.slice(0, 100)) {
      produced++;
      yield row;
    }
  }
  await writer.writeRows(rows());
  assert.equal(produced, 100);
  await writer.close();
  assert.deepEqual(out.bytes(), stringifyBytes(ROWS.slice(0, 100)));
});

test("a failing stream fails the write that reaches it", async () => {
  const out = sink({ fail: 1 });
  const writer = new Writer(out.stream, { chunkSize: 10 });
  await writer.writeRow(["0123456789"]);
  await assert.rejects(writer.writeRow(["0123456789"]), /disk full/);
});

test("abort drops the buffer and aborts the stream", async () => {
  const out = sink();
  const writer = new Writer(out.stream);
  await writer.writeRow(["unsent"]);
  await writer.abort("stop");
  assert.equal(out.chunks.length, 0);
  assert.deepEqual(out.events, ["abort stop"]);
});

test("a row that is not an iterable of leaves is refused", async () => {
  const writer = new Writer(sink().stream);
  await assert.rejects(writer.writeRow("ab"), TypeError);
  await assert.rejects(writer.writeRow(7), TypeError);
  assert.throws(() => new Writer({}), TypeError);
});
