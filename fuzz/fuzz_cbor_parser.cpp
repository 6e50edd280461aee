// cbor_next_val against the reference reader: record fields, cursor, remaining count, indefinite
// flag. An unreadable item gives null, cursor just past what it consumed (initial, length bytes).
#include <cmath>
#include <cstring>

#include "cbor/cbor_parser.h"
#include "cbor_reference.h"
#include "fuzz_support.h"

static void check_record(const cbor_ref::Item &ref, const cbor_val *v) {
    FUZZ_CHECK(v->initial_byte == ref.initial && v->major_type == ref.major,
               "initial byte or major type");
    const uint64_t u = v->value.u64;
    if (ref.major <= 1) {
        FUZZ_CHECK(u == (!ref.has_argument ? 0
                         : ref.major == 0  ? ref.argument
                                           : ~ref.argument) &&
                       !v->length,
                   "integer");
    } else if (ref.major <= 3 && !ref.has_argument) {
        FUZZ_CHECK(u == 0 && v->length == (ref.indefinite ? -1 : 0), "string start");
    } else if (ref.major <= 3) {
        FUZZ_CHECK(v->length == static_cast<int64_t>(ref.argument) && v->value.bytes != nullptr,
                   "string length");
        FUZZ_CHECK(std::memcmp(v->value.bytes, ref.string, ref.argument) == 0, "string bytes");
        FUZZ_CHECK(ref.major == 2 || v->value.bytes[ref.argument] == 0, "text not terminated");
    } else if (ref.major <= 5) {
        FUZZ_CHECK(u == 0 &&
                       v->length == (ref.indefinite ? -1 : static_cast<int64_t>(ref.argument)),
                   "container count");
    } else {
        FUZZ_CHECK(v->length == 0, "length of a single-byte item");
        const bool same_float = ref.float_nan ? std::isnan(v->value.f64)
                                              : cbor_ref::bits_of(v->value.f64) == ref.float_bits;
        FUZZ_CHECK(ref.is_float ? same_float : u == 0, "value of a single-byte item or float");
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    cbor_parser *parser = cbor_parser_create(data, size);
    uint32_t indefinite = 0;
    for (uint64_t offset = 0;;) {
        const cbor_ref::Item ref = cbor_ref::read(data + offset, size - offset);
        cbor_val *v = cbor_next_val(parser);
        const uint64_t at = static_cast<uint64_t>(parser->cursor - data);
        if (!ref.ok) {
            FUZZ_CHECK(v == nullptr, "unreadable item read");
            FUZZ_CHECK(at == offset + (ref.consumed > 0 ? ref.consumed : offset < size),
                       "cursor after a failure");
            break;
        }
        FUZZ_CHECK(v != nullptr, "readable item refused");
        check_record(ref, v);
        cbor_val_free(v);
        offset += ref.consumed;
        indefinite = ref.indefinite ? 1 : ref.initial == 0xFF ? 0 : indefinite;
        FUZZ_CHECK(at == offset &&
                       cbor_parser_available_bytes(parser) == static_cast<int64_t>(size - offset),
                   "cursor");
        FUZZ_CHECK(parser->indefinite == indefinite, "indefinite flag");
    }
    cbor_parser_free(parser);
    return 0;
}
