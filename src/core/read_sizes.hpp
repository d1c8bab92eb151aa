// read_sizes.hpp: how much of a document its readers take at a time, named
// once for the native readers and, through dwexio._native, for the Python
// ones (dwexio._tables.read, dwexio.dask, the dwex command's CSV reader).
// Interpreter-free.
#ifndef DWEX_CODEC_READ_SIZES_HPP
#define DWEX_CODEC_READ_SIZES_HPP

#include <cstdint>

namespace dwex::codec::sizes {

/// Bytes asked of a file at a time: large enough that the calls into Python
/// cost nothing beside the copying, small enough to stay in cache.
inline constexpr std::int64_t chunk_bytes = 256 * 1024;

/// The most bytes of a file that the threaded reader cuts among its threads
/// at once: memory holds one window and the batches made from it.
inline constexpr std::int64_t window_bytes = 8 * 1024 * 1024;

/// The first window: windows grow from it to window_bytes with the bytes read
/// before them, at most a window_share of those.
inline constexpr std::int64_t first_window_bytes = 1024 * 1024;
inline constexpr std::int64_t window_share = 8;

/// The bytes around a cut that a planner reads first to guess a row start
/// there, and the bytes past a part's planned end it reads first for the
/// part's last row. Both are widened `widening` times while too short.
inline constexpr std::int64_t guess_window_bytes = chunk_bytes;
inline constexpr std::int64_t overrun_bytes = 1024 * 1024;
inline constexpr std::int64_t widening = 4;

/// The rows after a ';' that must read, with the table's column count, for
/// the ';' to be taken for a row end (codec::GuessRule).
inline constexpr std::int64_t guess_rows = 4;

} // namespace dwex::codec::sizes

#endif
