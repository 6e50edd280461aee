// cbor_next_val over arbitrary bytes until it returns null, freeing every
// item. Each item is compared with an independent reading of the same bytes
// (cbor_reference.h): the record's fields, the bytes it consumed, the
// remaining count and the indefinite flag; an item the reference can read
// must come back, one it cannot must give null.
#include <cstdint>
#include <cstring>

#include "cbor_parser.h"
#include "cbor_reference.h"
#include "fuzz_support.h"

static void check_item(const fuzz::RefItem &ref, const cbor_val *val) {
    FUZZ_CHECK(val->initial_byte == ref.initial, "initial %02x vs %02x", val->initial_byte, ref.initial);
    FUZZ_CHECK(val->major_type == ref.major, "major %u vs %u", val->major_type, ref.major);
    switch (ref.major) {
    case 0:
        FUZZ_CHECK(val->value.u64 == ref.argument, "uint %llu vs %llu",
                   (unsigned long long)val->value.u64, (unsigned long long)ref.argument);
        FUZZ_CHECK(val->length == 0, "uint length %lld", (long long)val->length);
        break;
    case 1:
        FUZZ_CHECK(val->value.u64 == (ref.has_argument ? ~ref.argument : 0),
                   "negint %llx for argument %llx", (unsigned long long)val->value.u64,
                   (unsigned long long)ref.argument);
        FUZZ_CHECK(val->length == 0, "negint length %lld", (long long)val->length);
        break;
    case 2:
    case 3:
        if (ref.indefinite) {
            FUZZ_CHECK(val->length == -1, "indefinite string length %lld", (long long)val->length);
            FUZZ_CHECK(val->value.bytes == nullptr, "indefinite string with bytes");
        } else if (!ref.has_argument) {
            FUZZ_CHECK(val->length == 0 && val->value.bytes == nullptr, "reserved string head");
        } else {
            FUZZ_CHECK(static_cast<uint64_t>(val->length) == ref.argument, "string length %lld vs %llu",
                       (long long)val->length, (unsigned long long)ref.argument);
            if (ref.argument > 0 || ref.major == 3) {
                FUZZ_CHECK(val->value.bytes != nullptr, "string without its copy");
            }
            if (ref.argument > 0) {
                FUZZ_CHECK(std::memcmp(val->value.bytes, ref.string, ref.argument) == 0, "string bytes differ");
            }
            if (ref.major == 3) {
                FUZZ_CHECK(val->value.bytes[ref.argument] == 0, "text copy not terminated");
            }
        }
        break;
    case 4:
    case 5: {
        int64_t want = ref.indefinite ? -1 : ref.has_argument ? static_cast<int64_t>(ref.argument) : 0;
        FUZZ_CHECK(val->length == want, "container count %lld vs %lld", (long long)val->length, (long long)want);
        FUZZ_CHECK(val->value.u64 == 0, "container value set");
        break;
    }
    case 6:
        FUZZ_CHECK(val->value.u64 == 0 && val->length == 0, "tag record not empty");
        break;
    default:
        if (ref.is_float) {
            uint64_t bits;
            std::memcpy(&bits, &val->value.f64, sizeof bits);
            if (ref.float_nan) {
                FUZZ_CHECK(val->value.f64 != val->value.f64, "NaN single read as %016llx", (unsigned long long)bits);
            } else {
                FUZZ_CHECK(bits == ref.float_bits, "float %02x read as %016llx, expected %016llx", ref.initial,
                           (unsigned long long)bits, (unsigned long long)ref.float_bits);
            }
        } else {
            FUZZ_CHECK(val->value.u64 == 0 && val->length == 0, "simple value record not empty");
        }
        FUZZ_CHECK(val->length == 0, "major 7 length %lld", (long long)val->length);
        break;
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    cbor_parser *parser = cbor_parser_create(data, size);
    FUZZ_CHECK(parser != nullptr, "parser not created");
    uint64_t offset = 0;
    uint32_t indefinite = 0;
    for (;;) {
        FUZZ_CHECK(parser->cursor == data + offset, "cursor at %lld, expected %llu",
                   (long long)(parser->cursor - data), (unsigned long long)offset);
        FUZZ_CHECK(cbor_parser_available_bytes(parser) == static_cast<int64_t>(size - offset),
                   "available %lld at offset %llu of %zu", (long long)cbor_parser_available_bytes(parser),
                   (unsigned long long)offset, size);
        fuzz::RefItem ref = fuzz::ref_item(data + offset, size - offset);
        cbor_val *val = cbor_next_val(parser);
        if (!ref.ok) {
            FUZZ_CHECK(val == nullptr, "item at %llu should not be readable", (unsigned long long)offset);
            // After a failure the cursor may have moved past the head, never
            // past the end of the input.
            FUZZ_CHECK(parser->cursor >= data + offset && parser->cursor <= data + size, "cursor out of range");
            break;
        }
        FUZZ_CHECK(val != nullptr, "readable item %02x at %llu refused", ref.initial, (unsigned long long)offset);
        check_item(ref, val);
        if (ref.indefinite) indefinite = 1;
        if (ref.initial == 0xFF) indefinite = 0;
        FUZZ_CHECK(parser->indefinite == indefinite, "indefinite flag %u, expected %u", parser->indefinite,
                   indefinite);
        cbor_val_free(val);
        offset += ref.consumed;
    }
    cbor_parser_free(parser);
    return 0;
}
