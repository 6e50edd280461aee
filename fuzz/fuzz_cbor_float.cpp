// Each 8-byte chunk is a double, written by cbor_write_float and read by the reference reader: the
// same bits (NaN as F9 7E 00), status 1 if finite, in the shortest exact width.
#include <cmath>
#include <cstring>

#include "cbor/cbor_generator.h"
#include "cbor_reference.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    for (size_t at = 0; at + 8 <= size; at += 8) {
        double x;
        std::memcpy(&x, data + at, 8);
        cbor_generator *gen = cbor_generator_create();
        const int32_t status = cbor_write_float(gen, x);
        const cbor_ref::Item it = cbor_ref::read(gen->output, gen->length);
        const unsigned long long bits = cbor_ref::bits_of(x);
        FUZZ_CHECK(status == (std::isfinite(x) ? 1 : 0), "status %d", status);
        FUZZ_CHECK(it.ok && it.is_float && it.consumed == gen->length, "not one float item");
        FUZZ_CHECK(it.float_bits == (std::isnan(x) ? 0x7FF8000000000000ull : bits),
                   "%016llx read back wrong", bits);
        FUZZ_CHECK(gen->length == cbor_ref::shortest_float_size(x), "%016llx in %d bytes", bits,
                   int(gen->length));
        cbor_generator_free(gen);
    }
    return 0;
}
