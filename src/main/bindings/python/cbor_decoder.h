// The builder behind cbor.loads: turns the core reader's events into Python
// objects.
#ifndef CORVANTIS_BINDINGS_CBOR_DECODER_H
#define CORVANTIS_BINDINGS_CBOR_DECODER_H

#include <pybind11/pybind11.h>

#include <cstdint>

// The Python classes loads returns or raises, created by the cbor submodule
// before loads can be called.
struct CborDecoderTypes {
    PyObject *decode_error; // CBORDecodeError(ValueError)
    PyObject *tag;          // Tag(tag, value)
    PyObject *simple;       // Simple(value)
    PyObject *undefined;    // the undefined singleton
};

void cbor_decoder_set_types(const CborDecoderTypes &types);

// Decodes the one item that must fill the buffer `data`; max_depth 0 means
// no depth limit.
pybind11::object cbor_decoder_loads(const pybind11::handle &data, uint64_t max_depth);

#endif
