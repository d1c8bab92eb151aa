// window_reader.hpp: a window of the file read on several threads, between
// the serial reader's stints. The window is cut into stretches at guessed
// row starts and read by core/split.hpp with WrongGuess::stop: the stretches
// count in order while each begins where the one before ended, and the read
// stops at the first that does not, at a fault, or at the row limit; the
// serial reader takes over from there, so every fault and its position are
// the ones one thread reading the whole file finds.
#ifndef DWEXIO_ARROW_WINDOW_READER_HPP
#define DWEXIO_ARROW_WINDOW_READER_HPP

#include "dwexio/arrow/reader.hpp"

#include <cstdint>
#include <vector>

namespace dwexio {

class WindowReader {
  public:
    /// Throws std::bad_alloc (its queue allocates).
    WindowReader(std::int64_t threads, std::int64_t window) : threads_(threads), window_(window) {}

    /// A batch of the last window's read into `out`, reading the next window
    /// first where it is due; false where there is none, and the serial
    /// reader reads on.
    bool next(SerialReader& serial, ArrowArray* out) noexcept;
    /// The bytes the serial reader reads before a window may be read again.
    std::int64_t stint(const SerialReader& serial) const noexcept;
    /// Counts the bytes the serial reader read alone.
    void read_alone(std::int64_t bytes) noexcept;
    /// Forgets what the stretches of windows held: the columns built change.
    void select(std::size_t columns);

  private:
    /// Reads the next window of the file and as many of its rows as a split
    /// read counts, into ready_. A failing read stalls the serial reader:
    /// the rows read before it come first.
    void read(SerialReader& serial);
    /// The bytes of the next window: growing with the bytes read, up to `window_`.
    std::int64_t window(const SerialReader& serial) const noexcept;
    /// Whether a row limit leaves enough rows to read a window for.
    bool within_limit(const SerialReader& serial) const noexcept;
    /// The fewest bytes worth splitting among threads.
    std::int64_t least_split(const SerialReader& serial) const noexcept;
    /// The rows of each stretch's first batch and its columns' bytes, guessed
    /// from the stretches read so far: the stretch's share of what they held,
    /// a sixteenth more, and no more than one batch's.
    void expect(std::size_t& rows, std::vector<std::size_t>& bytes, std::int64_t length,
                std::int64_t batch_rows) const noexcept;

    std::int64_t threads_;
    std::int64_t window_;
    arrow::BatchQueue ready_; // batches a window's read made, in order
    // After wrong guesses, the bytes to read on one thread before the next
    // window's read, growing while guesses keep failing (leaves holding
    // documents), so that they cost little more than one thread's read.
    std::int64_t alone_ = 0;
    std::int64_t wrong_windows_ = 0;
    // What the counted stretches of windows read so far held: their bytes,
    // rows and data bytes of each selected column, by which a stretch's
    // buffers are sized before it starts (grown buffers leave holes in the heap).
    std::int64_t stretch_bytes_ = 0;
    std::int64_t stretch_rows_ = 0;
    std::vector<std::size_t> stretch_data_;
};

} // namespace dwexio

#endif
