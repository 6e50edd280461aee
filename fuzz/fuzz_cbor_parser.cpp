// cbor_next_val over arbitrary bytes, every item compared with the reference reader:
// the record's fields, the cursor, the remaining count and the indefinite flag. An
// item the reference cannot read must give null and leave the cursor just past what
// it consumed (the initial byte, and a string's length bytes).
#include <string>

#include "cbor_parser.h"
#include "cbor_reference.h"
#include "fuzz_support.h"

using cbor_ref::Item;

static std::string record_differs(const Item &ref, const cbor_val *v) {
    if (v->initial_byte != ref.initial || v->major_type != ref.major) return "initial byte or major type";
    const uint64_t u = v->value.u64;
    if (ref.major == 0 || ref.major == 1) {
        const uint64_t want = !ref.has_argument ? 0 : ref.major == 0 ? ref.argument : ~ref.argument;
        return u == want && v->length == 0 ? "" : "integer value";
    }
    if (ref.major == 2 || ref.major == 3) {
        if (!ref.has_argument) return u == 0 && v->length == (ref.indefinite ? -1 : 0) ? "" : "string start";
        if (v->length != static_cast<int64_t>(ref.argument) || v->value.bytes == nullptr) return "string length";
        if (std::memcmp(v->value.bytes, ref.string, ref.argument) != 0) return "string bytes";
        return ref.major == 2 || v->value.bytes[ref.argument] == 0 ? "" : "text not terminated";
    }
    if (ref.major == 4 || ref.major == 5) {
        const int64_t want = ref.indefinite ? -1 : static_cast<int64_t>(ref.argument);
        return u == 0 && v->length == want ? "" : "container count";
    }
    if (v->length != 0) return "length of a single-byte item";
    if (!ref.is_float) return u == 0 ? "" : "value of a single-byte item";
    if (ref.float_nan) return std::isnan(v->value.f64) ? "" : "single NaN";
    return cbor_ref::bits_of(v->value.f64) == ref.float_bits ? "" : "float value";
}

// "" when the parser agrees with the reference over the whole input.
static std::string parser_differs(const uint8_t *data, uint64_t size) {
    cbor_parser *parser = cbor_parser_create(data, size);
    std::string error;
    uint64_t offset = 0;
    uint32_t indefinite = 0;
    while (error.empty()) {
        const Item ref = cbor_ref::read(data + offset, size - offset);
        cbor_val *v = cbor_next_val(parser);
        const uint64_t at = static_cast<uint64_t>(parser->cursor - data);
        if (!ref.ok) {
            if (v != nullptr) error = "unreadable item read";
            else if (at != offset + (ref.consumed > 0 ? ref.consumed : offset < size)) error = "cursor after a failure";
            break;
        }
        if (v == nullptr) error = "readable item refused";
        else error = record_differs(ref, v);
        cbor_val_free(v);
        offset += ref.consumed;
        indefinite = ref.indefinite ? 1 : ref.initial == 0xFF ? 0 : indefinite;
        if (at != offset || cbor_parser_available_bytes(parser) != static_cast<int64_t>(size - offset))
            error = "cursor or remaining count";
        if (parser->indefinite != indefinite) error = "indefinite flag";
    }
    cbor_parser_free(parser);
    return error.empty() ? "" : error + " at offset " + std::to_string(offset) + " of " + cbor_ref::hex(data, size);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string error = parser_differs(data, size);
    FUZZ_CHECK(error.empty(), "%s", error.c_str());
    return 0;
}
