// The encoder behind cbor.dumps: walks a tree of Python values and writes
// CBOR straight into the result bytes object.
#ifndef CORVANTIS_BINDINGS_CBOR_ENCODER_H
#define CORVANTIS_BINDINGS_CBOR_ENCODER_H

#include <pybind11/pybind11.h>

#include <cstdint>

#include "dumps_value.h"

// The value argument of dumps: any object, converted by the encoder as it
// converts every element, so that a failed conversion can carry the
// exception that caused it. Shown in the signature as DumpsValue.
struct DumpsArg {
    PyObject *object = nullptr;
};

namespace pybind11 {
namespace detail {
template <>
struct type_caster<DumpsArg> {
    PYBIND11_TYPE_CASTER(DumpsArg, make_caster<DumpsValue>::name);

    // The caller's argument tuple keeps the object alive for the call.
    bool load(handle src, bool) {
        value.object = src.ptr();
        return true;
    }
};
} // namespace detail
} // namespace pybind11

// Encodes `value`; max_depth 0 means no depth limit.
pybind11::bytes cbor_encoder_dumps(const DumpsArg &value, bool indefinite, uint64_t max_depth);

#endif
