// Compiled with tsc --strict --noEmit: the declarations accept what the
// package's README shows and refuse what it must not take.
import { parse, parseBytes, readBatches, readRows, stringify, stringifyBytes, Writer } from "dwex";
import type { DwexSyntaxError, NotUTF8Error, Table } from "dwex";

const rows: Table = parse("01a02bc;01d;");
const first: string = rows[0][0];
const text: string = stringify([["a", 1, null], new Set(["x"])]);
const bytes: Uint8Array = stringifyBytes(rows);
const again: string[][] = parseBytes(bytes, { copy: true });

async function read(response: Response): Promise<number> {
  let count = 0;
  for await (const row of readRows(response.body!)) count += row.length;
  for await (const batch of readBatches(response.body!, { copy: true })) count += batch[0].length;
  return count;
}

async function write(stream: WritableStream<Uint8Array>): Promise<void> {
  const writer = new Writer(stream, { chunkSize: 1 << 16 });
  await writer.writeRow(["a", "b"]);
  await writer.writeRows((async function* () { yield ["c"]; })());
  await writer.close();
}

try {
  parse("01a;x");
} catch (error) {
  const fault = error as DwexSyntaxError;
  const position: number | null = fault.position;
  const offset: number | null | undefined = fault.byteOffset;
  const notUtf8 = error as NotUTF8Error;
  const at: number = notUtf8.byteOffset;
  void [position, offset, at];
}

// @ts-expect-error: parse takes a string
parse(new Uint8Array(1));
// @ts-expect-error: the rows read are strings
const wrong: number[][] = parse(";");

void [first, text, again, read, write, wrong];
