// The `cbor` submodule: its attributes, the declarations of dumps() and
// loads(), whose encoder and builder live in cbor_encoder and cbor_decoder,
// and the small Python classes loads returns.
#include <pybind11/eval.h>
#include <pybind11/pybind11.h>

#include <cstdint>

#include "arg_errors.h"
#include "cbor_decoder.h"
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
                               "               loads\n"
                               "        ";

const char *const kDumpsDoc = "\n        Dump a Python object to cbor\n        ";

const char *const kLoadsDoc =
    "Decode the one CBOR item that fills data, a C-contiguous buffer of bytes.\n\n"
    "Integers, bignums (tags 2 and 3) and floats become int and float, strings\n"
    "bytes and str, arrays list (tuple inside a map key), maps dict, other tags\n"
    "Tag, undefined the undefined object and other simple values Simple.\n"
    "max_depth=0 sets no nesting limit; otherwise the elements of the top-level\n"
    "container are at level 1. Malformed input raises CBORDecodeError, a\n"
    "ValueError whose message names the problem and its byte offset.";

// Plain Python classes: loads creates few of them, and Python gives them
// equality, hashing and repr in a few lines.
const char *const kTypesSource = R"py(
class CBORDecodeError(ValueError):
    """Raised by loads for input that is not one well-formed CBOR item."""


class Tag:
    """A tagged item without a Python type of its own: .tag is the tag number, .value the item."""

    __slots__ = ("tag", "value")

    def __init__(self, tag, value):
        self.tag = tag
        self.value = value

    def __eq__(self, other):
        if not isinstance(other, Tag):
            return NotImplemented
        return self.tag == other.tag and self.value == other.value

    def __hash__(self):
        return hash((self.tag, self.value))

    def __repr__(self):
        return f"Tag({self.tag!r}, {self.value!r})"


class Simple:
    """A simple value without a Python counterpart (0 to 19, 24 to 31 reserved, 32 to 255)."""

    __slots__ = ("value",)

    def __init__(self, value):
        self.value = value

    def __eq__(self, other):
        if not isinstance(other, Simple):
            return NotImplemented
        return self.value == other.value

    def __hash__(self):
        return hash(("Simple", self.value))

    def __repr__(self):
        return f"Simple({self.value!r})"


class UndefinedType:
    """The type of undefined, which loads returns for the CBOR undefined value (F7)."""

    __slots__ = ()

    def __repr__(self):
        return "undefined"

    def __bool__(self):
        return False


undefined = UndefinedType()
)py";

} // namespace

void corvantis_cbor_init(py::module_ &parent) {
    py::module_ cbor = corvantis_add_submodule(parent, "cbor");
    cbor.attr("__doc__") = kModuleDoc;
    arg_errors_def(cbor, "dumps", "dumps", &cbor_encoder_dumps, kDumpsDoc, py::arg("value"),
                   py::arg("indefinite") = true, py::arg("max_depth") = uint64_t{0});
    arg_errors_def(cbor, "loads", "loads", &cbor_decoder_loads, kLoadsDoc, py::arg("data"),
                   py::kw_only(), py::arg("max_depth") = uint64_t{0});

    py::dict scope;
    scope["__name__"] = cbor.attr("__name__");
    scope["__builtins__"] = py::module_::import("builtins");
    py::exec(kTypesSource, scope);
    for (const char *name : {"CBORDecodeError", "Tag", "Simple", "UndefinedType", "undefined"}) {
        cbor.attr(name) = scope[name];
    }
    // The module keeps these alive; the builder borrows them for good.
    cbor_decoder_set_types(CborDecoderTypes{scope["CBORDecodeError"].ptr(), scope["Tag"].ptr(),
                                            scope["Simple"].ptr(), scope["undefined"].ptr()});
    cbor.attr("__version__") = "dev";
}
