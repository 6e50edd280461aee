// The conversion of an object that is not an exact built-in type to a
// DumpsValue, for dumps.
//
// It is pybind11's two-pass variant conversion of DumpsValue (its casters for
// each alternative, first without implicit conversion, then with it), spelled
// out so that an exception raised by the object's own code (__bool__,
// __index__, __int__) is kept as the cause of a failed conversion instead of
// being cleared.
#ifndef CORVANTIS_BINDINGS_DUMPS_CONVERSION_H
#define CORVANTIS_BINDINGS_DUMPS_CONVERSION_H

#include <pybind11/pybind11.h>

#include <cstdint>

#include "dumps_value.h"

// The first exception raised by the converted object's own code; it becomes
// the __cause__ of the error that a failed conversion raises.
class DumpsCause {
  public:
    // Takes the pending exception; `raised_by_object` says whether the
    // object's own code raised it, rather than the conversion refusing the
    // object. Interrupts, exits and MemoryError are never taken: they
    // propagate as themselves.
    void take(bool raised_by_object);

    // Raises `type` with `message`, chained from the kept exception if any.
    [[noreturn]] void raise(PyObject *type, const char *message);

  private:
    pybind11::object exception_;
};

// pybind11's conversion of `value` to uint64_t or int64_t.
bool dumps_conversion_load_uint64(PyObject *value, bool convert, uint64_t &out, DumpsCause &cause);
bool dumps_conversion_load_int64(PyObject *value, bool convert, int64_t &out, DumpsCause &cause);

// Converts `value` by the first DumpsValue alternative that accepts it.
bool dumps_conversion_convert(PyObject *value, DumpsValue &out, DumpsCause &cause);

#endif
