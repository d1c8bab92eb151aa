// route.hpp: how stringify writes a table: the choice between its writers,
// made in one place (route.cpp).
#ifndef DWEX_CODEC_ROUTE_HPP
#define DWEX_CODEC_ROUTE_HPP

#include <Python.h>

#include "codec/one_pass.hpp"

namespace dwex {

/// The document of `lists` (a new reference), where the table's shape lets
/// an exact writer write it without running any code; otherwise null with
/// no exception set and nothing observable done, and the general writer
/// writes the table from the row that `rest` names, after the text it holds.
PyObject* stringify_exact(PyObject* lists, GeneralFrom& rest) noexcept;

} // namespace dwex

#endif
