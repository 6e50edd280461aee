// The `cbor` submodule: its attributes and the declaration of dumps(), whose
// encoder lives in cbor_encoder.
#include <pybind11/pybind11.h>

#include <cstdint>

#include "cbor_encoder.h"
#include "module.h"

namespace py = pybind11;

namespace {

const char *const kModuleDoc = "\n"
                               "            Corvantis cbor\n"
                               "            -----------------------\n"
                               "\n"
                               "            .. currentmodule:: corvantis_cbor\n"
                               "\n"
                               "            .. autosummary::\n"
                               "               :toctree: _generate\n"
                               "\n"
                               "               dumps\n"
                               "        ";

const char *const kDumpsDoc = "\n        Dump a Python object to cbor\n        ";

} // namespace

void corvantis_cbor_init(py::module_ &parent) {
    py::module_ cbor = corvantis_add_submodule(parent, "cbor");
    cbor.attr("__doc__") = kModuleDoc;
    cbor.def("dumps", &cbor_encoder_dumps, kDumpsDoc, py::arg("value"), py::arg("indefinite") = true,
             py::arg("max_depth") = uint64_t{0});
    cbor.attr("__version__") = "dev";
}
