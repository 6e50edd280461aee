// Every 8-byte chunk of the input is a double, written with cbor_write_float
// and read back by the reference reader: the same bits (every NaN as F9 7E 00),
// status 1 for a finite value and 0 otherwise, in the shortest exact width
// (worked out here from the value by converting to float and half).
#include <cmath>
#include <cstring>

#include "cbor_generator.h"
#include "cbor_reference.h"
#include "fuzz_support.h"

static uint64_t expected_width(double x) {
    const double a = std::fabs(x);
    if (!std::isfinite(x) || x == 0.0) return 3;
    const double significand = std::ldexp(a, 10 - std::ilogb(a));  // 11 bits for a half
    if (a >= 0x1p-14 && a <= 65504.0 && significand == std::floor(significand)) return 3;
    return a <= 3.4028234663852886e38 && static_cast<double>(static_cast<float>(x)) == x ? 5 : 9;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    for (size_t at = 0; at + 8 <= size; at += 8) {
        double x;
        std::memcpy(&x, data + at, 8);
        cbor_generator *gen = cbor_generator_create();
        const int32_t status = cbor_write_float(gen, x);
        const cbor_ref::Item it = cbor_ref::read(gen->output, gen->length);
        const uint64_t want = std::isnan(x) ? 0x7FF8000000000000ull : cbor_ref::bits_of(x);
        FUZZ_CHECK(status == (std::isfinite(x) ? 1 : 0), "status %d", status);
        FUZZ_CHECK(it.ok && it.is_float && it.consumed == gen->length, "not one float item");
        FUZZ_CHECK(it.float_bits == want, "%016llx read back as %016llx", (unsigned long long)cbor_ref::bits_of(x),
                   (unsigned long long)it.float_bits);
        FUZZ_CHECK(gen->length == expected_width(x), "%016llx in %llu bytes", (unsigned long long)cbor_ref::bits_of(x),
                   (unsigned long long)gen->length);
        cbor_generator_free(gen);
    }
    return 0;
}
