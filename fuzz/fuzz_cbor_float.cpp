// Every 8-byte chunk of the input is a double. All of them go through
// cbor_write_float into one generator, are read back with the parser in the
// same order and compared bit for bit: finite values keep every bit (the sign
// of zero included), every NaN becomes the quiet NaN F9 7E 00 reads as, and
// the infinities keep their sign. The encoded width is checked against the
// shortest exact form, worked out here with plain arithmetic.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "cbor_generator.h"
#include "cbor_parser.h"
#include "fuzz_support.h"

static uint64_t bits_of(double d) {
    uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return b;
}

// 3, 5 or 9 bytes: half precision for zeros and normal halves with at most
// 11 significant bits, single precision for any exact single, else double.
static uint64_t expected_width(double x) {
    if (std::isnan(x) || std::isinf(x) || x == 0.0) return 3;
    double a = std::fabs(x);
    if (a >= std::ldexp(1.0, -14) && a <= 65504.0) {
        int e;
        double m = std::frexp(a, &e); // a = m * 2^e, m in [0.5, 1)
        double scaled = std::ldexp(m, 11);
        if (scaled == std::floor(scaled)) return 3;
    }
    if (a <= FLT_MAX && static_cast<double>(static_cast<float>(x)) == x) return 5;
    return 9;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const size_t count = size / 8;
    std::vector<double> values(count);
    if (count > 0) std::memcpy(values.data(), data, count * 8);

    cbor_generator *gen = cbor_generator_create();
    FUZZ_CHECK(gen != nullptr, "generator not created");
    std::vector<uint64_t> widths;
    for (double x : values) {
        uint64_t before = gen->length;
        int32_t status = cbor_write_float(gen, x);
        bool finite = std::isfinite(x);
        FUZZ_CHECK(status == (finite ? 1 : 0), "status %d for %016llx", status, (unsigned long long)bits_of(x));
        widths.push_back(gen->length - before);
        FUZZ_CHECK(widths.back() == expected_width(x), "%016llx written in %llu bytes, expected %llu",
                   (unsigned long long)bits_of(x), (unsigned long long)widths.back(),
                   (unsigned long long)expected_width(x));
    }

    cbor_parser *parser = cbor_parser_create(gen->output, gen->length);
    FUZZ_CHECK(parser != nullptr, "parser not created");
    for (size_t i = 0; i < count; ++i) {
        const double x = values[i];
        cbor_val *val = cbor_next_val(parser);
        FUZZ_CHECK(val != nullptr, "value %zu not read back", i);
        uint8_t head = widths[i] == 3 ? 0xF9 : widths[i] == 5 ? 0xFA : 0xFB;
        FUZZ_CHECK(val->initial_byte == head, "head %02x, expected %02x", val->initial_byte, head);
        uint64_t want = std::isnan(x) ? 0x7FF8000000000000ull : bits_of(x);
        uint64_t got = bits_of(val->value.f64);
        FUZZ_CHECK(got == want, "%016llx read back as %016llx", (unsigned long long)bits_of(x),
                   (unsigned long long)got);
        cbor_val_free(val);
    }
    FUZZ_CHECK(cbor_next_val(parser) == nullptr, "bytes left after the last value");
    cbor_parser_free(parser);
    cbor_generator_free(gen);
    return 0;
}
