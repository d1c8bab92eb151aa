// hex_digits.hpp: the width digits that the dwex module's HEX gives, read
// once for a whole write, and for each count of length digits what
// dwex.stringify makes of it: a text to write, an error to raise where a
// leaf needs it, or an element that is not a str, which stringify reports
// once every leaf is written.
#ifndef DWEXIO_ARROW_HEX_DIGITS_HPP
#define DWEXIO_ARROW_HEX_DIGITS_HPP

#include "dwexio/arrow/cells.hpp"

#include "core/format.hpp"
#include "dwex/ref.hpp"

#include <array>
#include <string>

namespace dwexio {

class HexDigits {
  public:
    /// What HEX gives for one count of length digits.
    struct Digit {
        std::string text; ///< UTF-8, lone surrogates kept
        dwex::Ref error;  ///< what looking it up raised, or null
        dwex::Ref other;  ///< an element that is not a str, or null
    };

    /// Looks HEX up as stringify does (the module's globals, then the
    /// builtins) and takes its element for every count. False with an
    /// exception set only where that cannot be done at all (memory, an
    /// interrupt); an error of HEX's own is kept for the counts it hits.
    bool read() noexcept;

    /// Every count has a text: no leaf can fail.
    bool complete() const noexcept { return complete_; }
    /// Every count's text is one ASCII character, and these are they.
    bool single_bytes() const noexcept { return single_bytes_; }
    const arrow::ByteDigits& bytes() const noexcept { return bytes_; }

    /// The digit of a length field of `count` digits.
    const Digit& of(int count) const noexcept;

  private:
    /// Takes HEX's element for `count` into digits_; false as read().
    bool take(PyObject* hex, int count) noexcept;

    std::array<Digit, dwex::format::max_length_digits + 1> digits_; // index 1 to the last count
    arrow::ByteDigits bytes_;
    bool complete_ = false;
    bool single_bytes_ = false;
};

} // namespace dwexio

#endif
