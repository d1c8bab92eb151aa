// window_reader.cpp: the window reader, each stretch of a window building its
// own batches on a thread of its own, and TableReader, which hands out the
// window reader's batches and the serial reader's in the file's order.
#include "dwexio/arrow/window_reader.hpp"

#include "core/read_sizes.hpp"
#include "core/split.hpp"

#include <algorithm>
#include <deque>
#include <new>
#include <vector>

namespace dwexio {
namespace {

namespace codec = dwex::codec;
using codec::Reach;
using codec::Span;

/// Bytes shorter than this share of a window are not worth the threads' start.
constexpr std::int64_t least_share = 16;
/// Windows read on one thread at most after windows with wrong guesses.
constexpr std::int64_t most_windows_alone = 16;

/// One stretch's rows, as batches of at most batch_rows rows.
class Stretch {
  public:
    explicit Stretch(const SerialReader& serial)
        : builder_(serial.layout(), serial.batch_rows(), serial.selected()),
          selected_(serial.selected().size()), columns_(serial.columns()) {}

    /// Refuses (leaving the row to the serial reader) a row with the wrong
    /// number of cells, one a full column cannot take, and any allocation failure.
    bool row(const std::uint8_t* start, const std::vector<Span>& cells) noexcept {
        if (cells.size() != columns_ || (builder_.full() && !hand_out()) ||
            (!builder_.open() && !builder_.start())) {
            return false;
        }
        const std::size_t done = builder_.append(start, cells.data());
        if (done != selected_) {
            builder_.unwind(cells.data(), done);
            return false;
        }
        builder_.added();
        return true;
    }
    void reset() noexcept { batches.clear(); }
    void expect(std::size_t rows, const std::vector<std::size_t>& bytes) noexcept {
        builder_.expect(rows, bytes);
    }
    const arrow::BatchBuilder& builder() const noexcept { return builder_; }
    /// Hands out the batch being built, if it holds a row.
    bool hand_out() noexcept {
        if (builder_.rows() == 0) {
            return true;
        }
        ArrowArray batch;
        return builder_.emit(&batch) && batches.push(batch);
    }

    arrow::BatchQueue batches;

  private:
    arrow::BatchBuilder builder_;
    std::size_t selected_;
    std::size_t columns_;
};

/// A job's thread: job(k), then `done` released for the caller to take.
template <typename Job> struct Worker {
    const Job* job;
    std::int64_t k;
    PyThread_type_lock done;
};

template <typename Job> void run_worker(void* arg) noexcept {
    auto* w = static_cast<Worker<Job>*>(arg);
    (*w->job)(w->k);
    PyThread_release_lock(w->done);
}

/// Runs job(k) for k in [0, count), each on a thread of its own but the
/// first, which runs on the caller's; a job whose thread cannot be started
/// runs on the caller's too. The threads are the interpreter's own (which
/// need no GIL to start or wait for), not the C++ runtime's: a wheel's
/// module must not need a C library newer than the one it was built for.
constexpr auto on_threads = []<typename Job>(std::int64_t count, const Job& job) noexcept {
    std::vector<Worker<Job>> workers;
    try {
        workers.reserve(static_cast<std::size_t>(std::max<std::int64_t>(count, 1))); // never moved
    } catch (const std::bad_alloc&) {
        codec::in_turn(count, job);
        return;
    }
    for (std::int64_t k = 1; k < count; ++k) {
        PyThread_type_lock done = PyThread_allocate_lock();
        if (done == nullptr) {
            job(k);
            continue;
        }
        PyThread_acquire_lock(done, WAIT_LOCK);
        workers.push_back(Worker<Job>{&job, k, done});
        if (PyThread_start_new_thread(run_worker<Job>, &workers.back()) ==
            PYTHREAD_INVALID_THREAD_ID) {
            workers.pop_back();
            PyThread_release_lock(done);
            PyThread_free_lock(done);
            job(k);
        }
    }
    if (count > 0) {
        job(0);
    }
    for (Worker<Job>& w : workers) {
        PyThread_acquire_lock(w.done, WAIT_LOCK);
        PyThread_release_lock(w.done);
        PyThread_free_lock(w.done);
    }
};

} // namespace

std::int64_t WindowReader::window(const SerialReader& serial) const noexcept {
    return std::min(window_, std::max(serial.cursor().bytes / codec::sizes::window_share,
                                      codec::sizes::first_window_bytes));
}

std::int64_t WindowReader::least_split(const SerialReader& serial) const noexcept {
    return std::max<std::int64_t>(window(serial) / least_share, 2);
}

std::int64_t WindowReader::stint(const SerialReader& serial) const noexcept {
    return std::max(least_split(serial), alone_);
}

void WindowReader::read_alone(std::int64_t bytes) noexcept {
    alone_ = std::max<std::int64_t>(alone_ - bytes, 0);
}

void WindowReader::select(std::size_t columns) {
    stretch_data_.assign(columns, 0);
    stretch_bytes_ = stretch_rows_ = 0;
}

bool WindowReader::within_limit(const SerialReader& serial) const noexcept {
    // The rows left, at the mean length so far, must fill a window: a small
    // limit is read by the serial reader, which reads nothing past it.
    const SerialReader::Cursor& at = serial.cursor();
    if (serial.last_row() < 0) {
        return true;
    }
    if (at.row == 0) {
        return false;
    }
    return serial.last_row() - at.row >=
           window(serial) / std::max<std::int64_t>(at.bytes / at.row, 1);
}

bool WindowReader::next(SerialReader& serial, ArrowArray* out) noexcept {
    const SerialReader::State state = serial.state();
    if (ready_.empty() && alone_ == 0 &&
        (state == SerialReader::State::reading || state == SerialReader::State::ended) &&
        serial.between_batches() && within_limit(serial)) {
        read(serial);
    }
    if (ready_.empty()) {
        return false;
    }
    ready_.pop(out);
    return true;
}

void WindowReader::expect(std::size_t& rows, std::vector<std::size_t>& bytes, std::int64_t length,
                          std::int64_t batch_rows) const noexcept {
    const double share =
        static_cast<double>(length) * 17 / 16 / static_cast<double>(stretch_bytes_);
    const double all = share * static_cast<double>(stretch_rows_);
    const double cut = std::min(1.0, static_cast<double>(batch_rows) / std::max(all, 1.0));
    for (std::size_t j = 0; j < bytes.size(); ++j) {
        bytes[j] = static_cast<std::size_t>(share * cut * static_cast<double>(stretch_data_[j])) +
                   arrow::copy_slack;
    }
    rows = static_cast<std::size_t>(all * cut) + 1;
}

void WindowReader::read(SerialReader& serial) {
    const std::int64_t wanted = window(serial);
    if (!serial.buffer(wanted)) {
        return;
    }
    const codec::Window w = serial.buffered();
    if (w.length - w.begin < least_split(serial)) {
        return;
    }
    const codec::SplitPolicy policy{
        codec::GuessRule{static_cast<std::int64_t>(serial.columns()), codec::sizes::guess_rows},
        threads_, codec::WrongGuess::stop};
    try {
        const std::vector<std::int64_t> starts = codec::stretch_starts(w, policy, on_threads);
        if (starts.size() < 2) {
            // Rows too long for a guess within the window: one thread reads it.
            alone_ = wanted;
            return;
        }
        std::deque<Stretch> stretches;
        std::vector<std::size_t> bytes(serial.selected().size());
        for (std::size_t k = 0; k < starts.size(); ++k) {
            stretches.emplace_back(serial);
            if (stretch_bytes_ > 0) {
                const std::int64_t until = k + 1 < starts.size() ? starts[k + 1] : w.length;
                std::size_t rows = 0;
                expect(rows, bytes, until - starts[k], serial.batch_rows());
                stretches.back().expect(rows, bytes);
            }
        }
        const codec::SplitRead read = codec::read_stretches(
            w, starts, stretches, policy.wrong, on_threads,
            [&](std::size_t k, const Reach& reach) noexcept {
                const std::int64_t last = serial.last_row();
                if ((last >= 0 && reach.rows > last - serial.cursor().row) ||
                    !stretches[k].hand_out() || !ready_.take(stretches[k].batches)) {
                    return false;
                }
                const arrow::BatchBuilder& built = stretches[k].builder();
                stretch_bytes_ += reach.end - reach.begin;
                stretch_rows_ += built.rows_out();
                for (std::size_t j = 0; j < stretch_data_.size(); ++j) {
                    stretch_data_[j] += built.bytes_out()[j];
                }
                serial.advance(reach);
                return true;
            });
        wrong_windows_ =
            read.wrong_guess ? std::min(2 * wrong_windows_ + 1, most_windows_alone) : 0;
        alone_ = wrong_windows_ * wanted;
    } catch (const std::bad_alloc&) {
        // The serial reader reads on, or finds the memory missing itself.
    }
}

// --- TableReader ---------------------------------------------------------------

std::unique_ptr<TableReader> TableReader::open(PyObject* file, const ReadOptions& options) {
    std::unique_ptr<TableReader> reader;
    try {
        reader.reset(new TableReader);
        if (options.threads > 1) {
            reader->windows_ = std::make_unique<WindowReader>(options.threads, options.window);
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
    reader->serial_ = SerialReader::open(file, options);
    if (!reader->serial_) {
        return nullptr;
    }
    try {
        if (reader->windows_) {
            reader->windows_->select(reader->serial_->selected().size());
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return nullptr;
    }
    return reader;
}

TableReader::~TableReader() = default;

bool TableReader::select(const std::vector<std::size_t>& columns) {
    if (!serial_->select(columns)) {
        return false;
    }
    try {
        if (windows_) {
            windows_->select(columns.size());
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

bool TableReader::next(ArrowArray* out) noexcept {
    out->release = nullptr;
    if (!windows_) {
        return serial_->next(out, -1);
    }
    if (windows_->next(*serial_, out)) {
        return true;
    }
    const std::int64_t before = serial_->cursor().bytes;
    const bool ok = serial_->next(out, windows_->stint(*serial_));
    windows_->read_alone(serial_->cursor().bytes - before);
    return ok;
}

} // namespace dwexio
