// The values dumps accepts, shared by the encoder and the conversion.
#ifndef CORVANTIS_BINDINGS_DUMPS_VALUE_H
#define CORVANTIS_BINDINGS_DUMPS_VALUE_H

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <string_view>
#include <variant>

// What dumps accepts, tried in this order (first match wins, then again
// with implicit conversion). Elements that are not exact built-in types go
// through the same conversion.
using DumpsValue = std::variant<pybind11::bool_, pybind11::float_, pybind11::int_, pybind11::list,
                                pybind11::tuple, pybind11::dict, pybind11::bytes, pybind11::str,
                                pybind11::none, bool, uint64_t, int64_t, std::string_view>;

#endif
