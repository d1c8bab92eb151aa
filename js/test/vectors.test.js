import assert from "node:assert/strict";
import { readFile } from "node:fs/promises";
import { test } from "node:test";

import { FILES, check } from "./conformance.js";

for (const name of FILES) {
  test(`vectors: ${name}`, async () => {
    const url = new URL(`../../tests/vectors/${name}.json`, import.meta.url);
    const vectors = JSON.parse(await readFile(url, "utf8"));
    assert.ok(vectors.length > 0, `${name}.json holds no vectors`);
    const problems = [];
    for (const vector of vectors) problems.push(...(await check(vector)));
    assert.deepEqual(problems, []);
  });
}
