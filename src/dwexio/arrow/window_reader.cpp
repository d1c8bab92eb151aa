// arrow_parallel.cpp: a window of the file read on several threads. The
// window is cut into stretches at guessed row starts (codec/split.hpp); each
// thread builds its stretch's batches. The stretches count in order while
// each begins where the one before ended, and the window's read stops at the
// first that does not, at a fault, or at the row limit: the reader's own loop
// takes over from there, so every fault and its position are the ones one
// thread reading the whole file finds.
#include "dwexio/arrow/reader.hpp"

#include "core/split.hpp"

#include <algorithm>
#include <deque>
#include <vector>

namespace dwexio {
namespace {

using dwex::codec::Reach;
using dwex::codec::Span;

/// Bytes shorter than this share of a window are not worth the threads' start.
constexpr std::int64_t least_share = 16;
/// A window holds at most this share of the bytes read before it (and at
/// least first_window_bytes), so that its bytes, which live beside the
/// batches made from them, add a small share to a table read whole.
constexpr std::int64_t window_share = 8;
constexpr std::int64_t first_window_bytes = 1 << 20;
/// Windows read on one thread at most after windows with wrong guesses.
constexpr std::int64_t most_windows_alone = 16;

/// One stretch's rows, as batches of at most batch_rows rows.
class Stretch {
  public:
    Stretch(arrow::Layout layout, std::int64_t batch_rows, const std::vector<std::size_t>& selected,
            std::size_t columns)
        : builder_(layout, batch_rows, selected), selected_(selected.size()), columns_(columns) {}

    /// Refuses (leaving the row to the reader's loop) a row with the wrong
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
template <typename Job> void on_threads(std::int64_t count, const Job& job) noexcept {
    std::vector<Worker<Job>> workers;
    try {
        workers.reserve(static_cast<std::size_t>(std::max<std::int64_t>(count, 1))); // never moved
    } catch (const std::bad_alloc&) {
        for (std::int64_t k = 0; k < count; ++k) {
            job(k);
        }
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
}

} // namespace

std::int64_t TableReader::window() const noexcept {
    return std::min(window_, std::max(bytes_ / window_share, first_window_bytes));
}

std::int64_t TableReader::least_split() const noexcept {
    return std::max<std::int64_t>(window() / least_share, 2);
}

bool TableReader::window_within_limit() const noexcept {
    // The rows left, at the mean length so far, must fill a window: a small
    // limit is read by the reader's loop, which reads nothing past it.
    if (last_row_ < 0) {
        return true;
    }
    if (row_ == 0) {
        return false;
    }
    return last_row_ - row_ >= window() / std::max<std::int64_t>(bytes_ / row_, 1);
}

void TableReader::read_window() {
    const std::int64_t wanted = window();
    while (!eof_ && static_cast<std::int64_t>(len_ - pos_) < wanted) {
        if (!fill(wanted, 1)) {
            stalled_ = true;
            failed_ = false;
            return;
        }
    }
    const auto begin = static_cast<std::int64_t>(pos_);
    const auto length = static_cast<std::int64_t>(len_);
    if (length - begin < least_split()) {
        return;
    }
    const std::uint8_t* const data = buffer_.data();
    const bool at_eof = eof_;
    const bool narrow_end = eof_ && narrow_end_;
    const dwex::codec::GuessRule rule{static_cast<std::int64_t>(names_.size()), 4};
    try {
        std::vector<std::int64_t> guesses(static_cast<std::size_t>(threads_), -1);
        guesses[0] = begin;
        on_threads(threads_ - 1, [&](std::int64_t k) noexcept {
            const std::int64_t from = begin + (length - begin) * (k + 1) / threads_;
            guesses[static_cast<std::size_t>(k + 1)] =
                dwex::codec::guess_row_start(data, length, from, at_eof, rule).at;
        });
        std::vector<std::int64_t> starts;
        for (const std::int64_t g : guesses) {
            if (g >= 0 && (starts.empty() || g > starts.back())) {
                starts.push_back(g);
            }
        }
        if (starts.size() < 2) {
            // Rows too long for a guess within the window: one thread reads it.
            alone_ = wanted;
            return;
        }
        const auto count = static_cast<std::int64_t>(starts.size());
        const auto until = [&](std::int64_t k) {
            return k + 1 < count ? starts[static_cast<std::size_t>(k + 1)] : length;
        };
        std::deque<Stretch> stretches;
        std::vector<std::size_t> expected(selected_.size());
        for (std::int64_t k = 0; k < count; ++k) {
            stretches.emplace_back(layout_, batch_rows_, selected_, names_.size());
            if (stretch_bytes_ > 0) {
                // The stretch's share of what the stretches before held, a
                // sixteenth more, and no more than one batch's.
                const double share =
                    static_cast<double>(until(k) - starts[static_cast<std::size_t>(k)]) * 17 / 16 /
                    static_cast<double>(stretch_bytes_);
                const double rows = share * static_cast<double>(stretch_rows_);
                const double cut =
                    std::min(1.0, static_cast<double>(batch_rows_) / std::max(rows, 1.0));
                for (std::size_t j = 0; j < expected.size(); ++j) {
                    expected[j] = static_cast<std::size_t>(share * cut *
                                                           static_cast<double>(stretch_data_[j])) +
                                  arrow::copy_slack;
                }
                stretches.back().expect(static_cast<std::size_t>(rows * cut) + 1, expected);
            }
        }
        std::vector<Reach> reaches(starts.size());
        on_threads(count, [&](std::int64_t k) noexcept {
            const auto at = static_cast<std::size_t>(k);
            reaches[at] = dwex::codec::read_stretch(data, length, starts[at], until(k), at_eof,
                                                    narrow_end, stretches[at]);
        });
        bool wrong = false;
        for (std::size_t k = 0; k < starts.size(); ++k) {
            const Reach& reach = reaches[k];
            wrong = reach.begin != static_cast<std::int64_t>(pos_);
            if (wrong || (last_row_ >= 0 && reach.rows > last_row_ - row_) ||
                !stretches[k].hand_out() || !ready_.take(stretches[k].batches)) {
                break;
            }
            pos_ = static_cast<std::size_t>(reach.end);
            const arrow::BatchBuilder& built = stretches[k].builder();
            stretch_bytes_ += reach.end - reach.begin;
            stretch_rows_ += built.rows_out();
            for (std::size_t j = 0; j < stretch_data_.size(); ++j) {
                stretch_data_[j] += built.bytes_out()[j];
            }
            bytes_ += reach.end - reach.begin;
            units_ += reach.units;
            astral_ |= reach.astral;
            row_ += reach.rows;
            if (!reach.ok()) {
                break;
            }
        }
        wrong_windows_ = wrong ? std::min(2 * wrong_windows_ + 1, most_windows_alone) : 0;
        alone_ = wrong_windows_ * wanted;
    } catch (const std::bad_alloc&) {
        // The reader's loop reads on, or finds the memory missing itself.
    }
}

} // namespace dwexio
