/**
 * A DWEX document's rows, each a list of leaves. Lengths and positions are
 * UTF-16 code units: a leaf's `length`.
 */
export type Table = string[][];

/** Options of the readers. */
export interface ReadOptions {
  /**
   * Give every leaf of 13 units or more characters of its own instead of a
   * view into the document (or the chunk) it was cut from, so that keeping
   * a few rows does not keep the whole input alive. Costs a copy per leaf.
   */
  copy?: boolean;
}

/** A fault of the document: the message and position that `dwex.parse` in Python gives. */
export interface DwexSyntaxError extends SyntaxError {
  /** The fault's UTF-16 position in the document; null for an end of input. */
  position: number | null;
  /**
   * From the byte readers: the offset of the first byte of the UTF-8
   * sequence that holds the unit at `position`; null for an end of input.
   */
  byteOffset?: number | null;
}

/** Bytes that are not UTF-8 (a TypeError, as the fatal TextDecoder throws). */
export interface NotUTF8Error extends TypeError {
  /** The offset of the first byte that does not decode. */
  byteOffset: number;
}

/** Anything that can be a leaf: a string, or a value written as String(value). */
export type Leaf = unknown;

/** Rows of leaves; rows and the table may be any iterables. */
export type Rows = Iterable<Iterable<Leaf>>;

/**
 * The rows of a DWEX document.
 * @throws {DwexSyntaxError} at the first fault.
 */
export function parse(text: string, options?: ReadOptions): Table;

/** The DWEX document of a table; a leaf that is not a string is written as `String(leaf)`. */
export function stringify(rows: Rows): string;

/**
 * The rows of a document stored as UTF-8 (lone surrogates as their
 * three-byte sequences). No bytes are the table with no rows; a byte order
 * mark is a character of the document, and so a fault.
 * @throws {DwexSyntaxError} at the first fault, with its `byteOffset`.
 * @throws {NotUTF8Error} where the bytes are not UTF-8.
 */
export function parseBytes(bytes: Uint8Array | ArrayBuffer | ArrayBufferView, options?: ReadOptions): Table;

/** The UTF-8 of `stringify(rows)`, lone surrogates as their three-byte sequences. */
export function stringifyBytes(rows: Rows): Uint8Array;

/** A source of UTF-8 byte chunks: a `fetch` body, a Node file stream, any (async) iterable. */
export type ByteSource =
  | ReadableStream<Uint8Array>
  | AsyncIterable<Uint8Array | ArrayBuffer | ArrayBufferView>
  | Iterable<Uint8Array | ArrayBuffer | ArrayBufferView>;

/**
 * The rows of a document read from a stream of UTF-8 chunks, each as soon
 * as it is complete, in memory bounded by the longest row. A source of no
 * bytes has no rows. Rows before a fault are handed out, then the fault is
 * thrown, with positions counted from the start of the stream.
 */
export function readRows(source: ByteSource, options?: ReadOptions): AsyncIterableIterator<string[]>;

/**
 * The rows of readRows in batches: each batch the rows that one chunk of
 * the source completed (never empty), one await per batch.
 */
export function readBatches(source: ByteSource, options?: ReadOptions): AsyncIterableIterator<Table>;

/** Options of the Writer. */
export interface WriterOptions {
  /** The UTF-16 units of text to gather before handing their UTF-8 to the stream; 65536 by default. */
  chunkSize?: number;
}

/** Writes a document row by row to a WritableStream of UTF-8 chunks. */
export class Writer {
  constructor(stream: WritableStream<Uint8Array>, options?: WriterOptions);
  /** Adds one row; resolves once it is buffered, or written when the buffer is full. */
  writeRow(row: Iterable<Leaf>): Promise<void>;
  /** Adds every row of an iterable or an async iterable. */
  writeRows(rows: Iterable<Iterable<Leaf>> | AsyncIterable<Iterable<Leaf>>): Promise<void>;
  /** Hands what is buffered to the stream; resolves once the stream has taken it. */
  flush(): Promise<void>;
  /** Flushes and closes the stream. */
  close(): Promise<void>;
  /** Drops what is buffered and aborts the stream. */
  abort(reason?: unknown): Promise<void>;
}
