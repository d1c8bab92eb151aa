// types.hpp: what a column's Arrow C format string means to a user:
// its type as pyarrow prints it, and whether pyarrow can give it a text form.
// Messages never show a raw format string ('tsu:', 'd:3,2'), which no user
// has ever typed.
#ifndef DWEXIO_ARROW_TYPES_HPP
#define DWEXIO_ARROW_TYPES_HPP

#include "dwexio/arrow/abi.hpp"

#include <string>

namespace dwexio::arrow {

/// The type of `schema` as pyarrow prints it: "int64", "timestamp[us,
/// tz=UTC]", "decimal128(3, 2)", "list<item: string>".
std::string type_name(const ArrowSchema& schema);

/// Whether pyarrow casts a column of this type to strings: integers,
/// floats, booleans, decimals, dates, times, timestamps, durations, the
/// null type, and dictionaries of any of them.
bool has_text_form(const ArrowSchema& schema) noexcept;

} // namespace dwexio::arrow

#endif
