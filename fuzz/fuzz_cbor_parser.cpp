// cbor_next_val over arbitrary bytes, every item compared with the
// reference reader (cbor_parser_check.h).
#include "cbor_parser_check.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string error = cbor_ref::parser_differs(data, size);
    FUZZ_CHECK(error.empty(), "%s", error.c_str());
    return 0;
}
