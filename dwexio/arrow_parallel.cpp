// arrow_parallel.cpp: a window of the file read on several threads. The
// window is cut into stretches at guessed row starts (codec/split.hpp); each
// thread builds its stretch's batches. The stretches count in order while
// each begins where the one before ended, and the window's read stops at the
// first that does not, at a fault, or at the row limit: the reader's own loop
// takes over from there, so every fault and its position are the ones one
// thread reading the whole file finds.
#include "arrow_reader.hpp"

#include "codec/split.hpp"

#include <deque>
#include <functional>
#include <system_error>
#include <thread>

namespace dwexio {
namespace {

using dwex::codec::Reach;
using dwex::codec::Span;

/// Bytes shorter than this share of a window are not worth the threads' start.
constexpr std::int64_t least_share = 16;
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

/// Runs job(k) for k in [0, count), each on a thread of its own but the
/// first, which runs on the caller's; a thread that cannot be started runs
/// its job on the caller's too.
template <typename Job> void on_threads(std::int64_t count, const Job& job) noexcept {
    std::deque<std::thread> threads;
    for (std::int64_t k = 1; k < count; ++k) {
        try {
            threads.emplace_back(std::cref(job), k);
        } catch (const std::exception&) {
            job(k);
        }
    }
    if (count > 0) {
        job(0);
    }
    for (std::thread& t : threads) {
        t.join();
    }
}

} // namespace

std::int64_t TableReader::least_split() const noexcept {
    return std::max<std::int64_t>(window_ / least_share, 2);
}

bool TableReader::read_window() {
    while (!eof_ && static_cast<std::int64_t>(len_ - pos_) < window_) {
        if (!fill(window_, 1)) {
            return false;
        }
    }
    const auto begin = static_cast<std::int64_t>(pos_);
    const auto length = static_cast<std::int64_t>(len_);
    if (length - begin < least_split()) {
        return true;
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
            return true;
        }
        const auto count = static_cast<std::int64_t>(starts.size());
        const auto until = [&](std::int64_t k) {
            return k + 1 < count ? starts[static_cast<std::size_t>(k + 1)] : length;
        };
        std::deque<Stretch> stretches;
        for (std::int64_t k = 0; k < count; ++k) {
            stretches.emplace_back(layout_, batch_rows_, selected_, names_.size());
        }
        std::vector<Reach> reaches(starts.size());
        on_threads(count, [&](std::int64_t k) noexcept {
            const auto at = static_cast<std::size_t>(k);
            reaches[at] = dwex::codec::read_stretch(data, length, starts[at], until(k), at_eof, narrow_end,
                                                    stretches[at]);
        });
        bool wrong = false;
        for (std::size_t k = 0; k < starts.size(); ++k) {
            const Reach& reach = reaches[k];
            wrong = reach.begin != static_cast<std::int64_t>(pos_);
            if (wrong || (last_row_ >= 0 && reach.rows > last_row_ - row_) || !stretches[k].hand_out() ||
                !ready_.take(stretches[k].batches)) {
                break;
            }
            pos_ = static_cast<std::size_t>(reach.end);
            bytes_ += reach.end - reach.begin;
            units_ += reach.units;
            astral_ |= reach.astral;
            row_ += reach.rows;
            if (!reach.ok()) {
                break;
            }
        }
        wrong_windows_ = wrong ? std::min(2 * wrong_windows_ + 1, most_windows_alone) : 0;
        alone_ = wrong_windows_ * window_;
    } catch (const std::bad_alloc&) {
        // The reader's loop reads on, or finds the memory missing itself.
    }
    return true;
}

} // namespace dwexio
