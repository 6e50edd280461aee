// Module entry of corvantis_core.
//
// The top-level module is only a namespace: it carries the `cbor` and `delta`
// submodules and nothing of its own. PYBIND11_MODULE supplies the interpreter
// version check (the module refuses any interpreter but 3.12), single-phase
// creation without per-module state, and the translation of a failing
// initialiser into ImportError ("initialization failed" chained from a Python
// error, the exception's own text for any other standard exception).
#include <pybind11/pybind11.h>

#include <string>

#include "module.h"

namespace py = pybind11;

py::module_ corvantis_add_submodule(py::module_ &parent, const char *name) {
    const char *parent_name = PyModule_GetName(parent.ptr());
    if (parent_name == nullptr) {
        throw py::error_already_set();
    }
    const std::string full_name = std::string(parent_name) + "." + name;
    // The module table keeps the submodule alive; the reference we get is borrowed.
    PyObject *submodule = PyImport_AddModule(full_name.c_str());
    if (submodule == nullptr) {
        throw py::error_already_set();
    }
    auto result = py::reinterpret_borrow<py::module_>(submodule);
    parent.attr(name) = result;
    return result;
}

PYBIND11_MODULE(corvantis_core, m) {
    corvantis_cbor_init(m);
    corvantis_delta_init(m);
}
