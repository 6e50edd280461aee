// Shared declarations of the binding layer: the submodule initialisers that
// the module entry calls, in this order, with the new top-level module.
#ifndef CORVANTIS_BINDINGS_MODULE_H
#define CORVANTIS_BINDINGS_MODULE_H

#include <pybind11/pybind11.h>

// Creates (or fetches) `<parent>.<name>` in the interpreter's module table,
// binds it as an attribute of the parent and returns it.
pybind11::module_ corvantis_add_submodule(pybind11::module_ &parent, const char *name);

void corvantis_cbor_init(pybind11::module_ &parent);
void corvantis_delta_init(pybind11::module_ &parent);

#endif
