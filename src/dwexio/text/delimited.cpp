// delimited.cpp: CSV and TSV text written straight into a DWEX document.
// Reading it through the csv module costs one str object per field, and
// writing those one more pass; here the fields are measured and copied from
// the input without any object in between. Only text that the csv module
// reads by the common rules is taken; for the rest the caller uses the module.
#include "dwexio/text/delimited.hpp"

#include "core/decimal.hpp"
#include "core/format.hpp"
#include "dwex/leaf_writer.hpp"
#include "dwex/ref.hpp"
#include "dwex/storage.hpp"

#include <cstdint>
#include <cstring>

namespace dwexio {
namespace {

using dwex::Ref;

constexpr std::uint32_t line_feed = U'\n';
constexpr std::uint32_t carriage_return = U'\r';
constexpr std::uint32_t quote = U'"';

/// Calls `field(begin, end, doubled)` for every field of every record and
/// `row()` at the end of each record, reading the text the way the csv module
/// does (doubled quotes inside quoted fields, no escape character, no spaces
/// skipped). A field is the range [begin, end) of the input, without its
/// enclosing quotes, holding `doubled` pairs of quotes that stand for one
/// each. Returns false, possibly half-way, for whatever the csv module reads
/// by rules of its own: a quote inside an unquoted field, text after a
/// closing quote, a carriage return that does not end a line with a line
/// feed, a quoted field still open at the end, or a field that `field`
/// refuses.
template <typename U, typename Field, typename Row>
bool for_each_field(const U* data, std::int64_t length, std::uint32_t delimiter, Field&& field,
                    Row&& row) {
    std::int64_t k = 0;
    // At the start of a record: an empty line is a record without fields.
    while (k < length) {
        if (data[k] == line_feed) {
            row();
            ++k;
            continue;
        }
        if (data[k] == carriage_return) {
            if (k + 1 == length || data[k + 1] != line_feed) {
                return false;
            }
            row();
            k += 2;
            continue;
        }
        for (;;) {
            std::int64_t begin = k;
            std::int64_t end = k;
            std::int64_t doubled = 0;
            if (k < length && data[k] == quote) {
                begin = ++k;
                for (;;) {
                    if (k == length) {
                        return false;
                    }
                    if (data[k] == quote) {
                        if (k + 1 < length && data[k + 1] == quote) {
                            ++doubled;
                            k += 2;
                            continue;
                        }
                        break;
                    }
                    ++k;
                }
                end = k++;
            } else {
                while (k < length && data[k] != delimiter && data[k] != line_feed &&
                       data[k] != carriage_return) {
                    if (data[k] == quote) {
                        return false;
                    }
                    ++k;
                }
                end = k;
            }
            if (!field(begin, end, doubled)) {
                return false;
            }
            // A field ends at a delimiter, at the end of its line or of the text.
            if (k == length) {
                row();
                return true;
            }
            if (data[k] == delimiter) {
                ++k;
                continue;
            }
            if (data[k] == carriage_return && k + 1 < length && data[k + 1] == line_feed) {
                ++k;
            }
            if (data[k] != line_feed) {
                return false;
            }
            ++k;
            row();
            break;
        }
    }
    return true;
}

/// Measures the document, then writes it at the input's own width: every
/// character the document adds is ASCII, and every non-ASCII character of the
/// input is kept, so that width is also the narrowest that holds the result.
template <typename U>
PyObject* convert(PyObject* text, const U* data, std::uint32_t delimiter, std::int64_t limit,
                  const Py_UCS1* alphabet) {
    const std::int64_t length = PyUnicode_GET_LENGTH(text);
    auto units_of = [data](std::int64_t begin, std::int64_t end) {
        return static_cast<std::uint64_t>(
            dwex::format::utf16_length(data + begin, static_cast<std::size_t>(end - begin)));
    };
    std::int64_t total = 0;
    const bool fits = for_each_field(
        data, length, delimiter,
        [&](std::int64_t begin, std::int64_t end, std::int64_t doubled) {
            const std::int64_t n = end - begin - doubled;
            if (n > limit) {
                return false; // the csv module reports this
            }
            total += 1 + dwex::format::decimal_digit_count(units_of(begin, end) - doubled) + n;
            return true;
        },
        [&] { ++total; });
    if (!fits) {
        Py_RETURN_NONE;
    }
    Ref document = Ref::steal(PyUnicode_New(total, PyUnicode_MAX_CHAR_VALUE(text)));
    if (!document) {
        return nullptr;
    }
    U* out = static_cast<U*>(PyUnicode_DATA(document.get()));
    (void)for_each_field(
        data, length, delimiter,
        [&](std::int64_t begin, std::int64_t end, std::int64_t doubled) {
            const std::uint64_t units = units_of(begin, end) - static_cast<std::uint64_t>(doubled);
            const int count = dwex::format::decimal_digit_count(units);
            const auto width = static_cast<U>(alphabet[count - 1]);
            if (doubled == 0) {
                out = dwex::write_item(width, units, count, data + begin,
                                       static_cast<std::size_t>(end - begin), out);
                return true;
            }
            out = dwex::format::write_length_prefix(width, units, count, out);
            for (std::int64_t k = begin; k < end; ++k) {
                *out++ = data[k];
                k += data[k] == quote; // the second quote of a pair
            }
            return true;
        },
        [&] { *out++ = static_cast<U>(dwex::format::row_terminator); });
    return document.release();
}

} // namespace

PyObject* read_delimited(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    constexpr Py_ssize_t alphabet_length = 16;
    if (nargs != 4 || !PyUnicode_Check(args[0]) || !PyUnicode_Check(args[1]) ||
        PyUnicode_GET_LENGTH(args[1]) != 1 || !PyUnicode_Check(args[3]) ||
        !PyUnicode_IS_ASCII(args[3]) || PyUnicode_GET_LENGTH(args[3]) < alphabet_length) {
        PyErr_SetString(PyExc_TypeError,
                        "read_delimited() takes a str, a one-character delimiter, a field size "
                        "limit and an ASCII digit alphabet");
        return nullptr;
    }
    PyObject* text = args[0];
    const std::uint32_t delimiter = PyUnicode_READ_CHAR(args[1], 0);
    const long long limit = PyLong_AsLongLong(args[2]);
    if (limit == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    const Py_UCS1* alphabet = PyUnicode_1BYTE_DATA(args[3]);
    return dwex::with_units(text, [&](const auto* units, std::size_t) {
        return convert(text, units, delimiter, limit, alphabet);
    });
}

} // namespace dwexio
