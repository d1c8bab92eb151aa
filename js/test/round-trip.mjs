// One half of the round trip between the languages, run by
// tests/python/core/test_javascript.py: for each NAME given, reads
// DIR/NAME.dwex (written by dwexio.dump) and DIR/NAME.json (the same table as
// JSON), checks that the document reads as the table, whole and streamed from
// the file, and writes DIR/NAME.js.dwex from the JSON table for Python to read.

import { createReadStream } from "node:fs";
import { readFile, writeFile } from "node:fs/promises";
import { isDeepStrictEqual } from "node:util";

import { parseBytes, readRows, stringifyBytes } from "../dwex.js";

const [dir, ...names] = process.argv.slice(2);
let failed = false;
for (const name of names) {
  const table = JSON.parse(await readFile(`${dir}/${name}.json`, "utf8"));
  const document = await readFile(`${dir}/${name}.dwex`);
  if (!isDeepStrictEqual(parseBytes(document), table)) {
    console.log(`${name}: parseBytes does not give the table`);
    failed = true;
  }
  const streamed = [];
  for await (const row of readRows(createReadStream(`${dir}/${name}.dwex`, { highWaterMark: 4093 }))) streamed.push(row);
  if (!isDeepStrictEqual(streamed, table)) {
    console.log(`${name}: readRows does not give the table`);
    failed = true;
  }
  await writeFile(`${dir}/${name}.js.dwex`, stringifyBytes(table));
}
process.exit(failed ? 1 : 0);
