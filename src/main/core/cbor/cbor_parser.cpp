#include "cbor/cbor_parser.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <initializer_list>

#include "base/alloc.h"
#include "cbor/cbor_head.h"

cbor_parser *cbor_parser_create(const void *data, uint64_t length) {
    cbor_parser *parser = static_cast<cbor_parser *>(core_calloc(1, sizeof(cbor_parser)));
    if (!parser) return nullptr;
    parser->start = static_cast<const uint8_t *>(data);
    parser->length = length;
    parser->cursor = parser->start;
    parser->indefinite = 0;
    return parser;
}

void cbor_parser_free(cbor_parser *parser) { free(parser); }

/* The count is taken from the distance already travelled rather than from
 * start + length, so no pointer past the input is ever formed and the
 * arithmetic holds for any input size. */
static uint64_t remaining(const cbor_parser *parser) {
    if (!parser || !parser->cursor || parser->cursor < parser->start) return 0;
    uint64_t consumed = static_cast<uint64_t>(parser->cursor - parser->start);
    return parser->length - std::min(consumed, parser->length);
}

int64_t cbor_parser_available_bytes(const cbor_parser *parser) {
    return static_cast<int64_t>(std::min(remaining(parser), static_cast<uint64_t>(INT64_MAX)));
}

cbor_val *cbor_val_create(void) {
    return static_cast<cbor_val *>(core_calloc(1, sizeof(cbor_val)));
}

void cbor_val_free(cbor_val *val) {
    if (!val) return;
    if (val->major_type == 2 || val->major_type == 3) free(val->value.bytes);
    free(val);
}

cbor_val *cbor_next_val(cbor_parser *parser) {
    if (remaining(parser) < 1) return nullptr;
    uint8_t initial = *parser->cursor;
    cbor_val *val = cbor_val_create();
    if (!val) return nullptr;
    val->initial_byte = initial;
    val->major_type = initial >> 5;
    if (cbor_jump_table[initial](parser, val) < 0) {
        cbor_val_free(val);
        return nullptr;
    }
    return val;
}

/* ---- arguments ---------------------------------------------------------- */

/* Skips the initial byte and reads a `width`-byte big-endian argument. The
 * handlers are exported, so each one checks for its initial byte too rather
 * than trusting that cbor_next_val has looked at it. */
static bool read_argument(cbor_parser *parser, unsigned width, uint64_t *out) {
    const uint64_t left = remaining(parser);
    if (left < 1) return false;
    cbor_head head;
    const int32_t n = cbor_head_read_sized(parser->cursor, left, width, &head);
    if (n < 0) {
        /* A cut-short argument still consumes the initial byte. */
        parser->cursor++;
        return false;
    }
    parser->cursor += n;
    *out = head.argument;
    return true;
}

int32_t cbor_parse_uint_small(cbor_parser *parser, cbor_val *val) {
    if (remaining(parser) < 1) return -1;
    val->value.u64 = *parser->cursor & 0x1Fu;
    parser->cursor++;
    return 0;
}

static int32_t parse_uint_width(cbor_parser *parser, cbor_val *val, unsigned width) {
    uint64_t v;
    if (!read_argument(parser, width, &v)) return -1;
    val->value.u64 = v;
    return 0;
}

int32_t cbor_parse_uint8(cbor_parser *parser, cbor_val *val) {
    return parse_uint_width(parser, val, 1);
}
int32_t cbor_parse_uint16(cbor_parser *parser, cbor_val *val) {
    return parse_uint_width(parser, val, 2);
}
int32_t cbor_parse_uint32(cbor_parser *parser, cbor_val *val) {
    return parse_uint_width(parser, val, 4);
}
int32_t cbor_parse_uint64(cbor_parser *parser, cbor_val *val) {
    return parse_uint_width(parser, val, 8);
}

/* The heads of the other major types read their argument through the
 * unsigned handlers, into a scratch record so that `val` only receives what
 * belongs to its own kind. */
static bool read_head_argument(cbor_parser *parser, cbor_parse_fn reader, uint64_t *out) {
    cbor_val scratch = {};
    if (reader(parser, &scratch) < 0) return false;
    *out = scratch.value.u64;
    return true;
}

/* ---- negative integers ---------------------------------------------------- */

static int32_t parse_negint(cbor_parser *parser, cbor_val *val, cbor_parse_fn reader) {
    uint64_t n;
    if (!read_head_argument(parser, reader, &n)) return -1;
    val->value.u64 = ~n;
    return 0;
}

int32_t cbor_parse_negint_small(cbor_parser *parser, cbor_val *val) {
    return parse_negint(parser, val, cbor_parse_uint_small);
}
int32_t cbor_parse_negint8(cbor_parser *parser, cbor_val *val) {
    return parse_negint(parser, val, cbor_parse_uint8);
}
int32_t cbor_parse_negint16(cbor_parser *parser, cbor_val *val) {
    return parse_negint(parser, val, cbor_parse_uint16);
}
int32_t cbor_parse_negint32(cbor_parser *parser, cbor_val *val) {
    return parse_negint(parser, val, cbor_parse_uint32);
}
int32_t cbor_parse_negint64(cbor_parser *parser, cbor_val *val) {
    return parse_negint(parser, val, cbor_parse_uint64);
}

/* ---- strings -------------------------------------------------------------- */

/* The declared length is checked against the bytes actually left before
 * anything is allocated, so a lying length never costs more than the input.
 * Every copy carries a terminating 00: a text is then a C string, and even
 * an empty byte string has a block, so its pointer is never null. */
static int32_t parse_string(cbor_parser *parser, cbor_val *val, cbor_parse_fn reader) {
    uint64_t n;
    if (!read_head_argument(parser, reader, &n)) return -1;
    val->length = static_cast<int64_t>(n);
    if (n > remaining(parser)) return -1;
    uint8_t *copy = static_cast<uint8_t *>(core_malloc64(n + 1));
    if (!copy) return -1;
    if (n) memcpy(copy, parser->cursor, static_cast<size_t>(n));
    copy[n] = 0;
    val->value.bytes = copy;
    parser->cursor += n;
    return 0;
}

int32_t cbor_parse_byte_string_small(cbor_parser *parser, cbor_val *val) {
    return parse_string(parser, val, cbor_parse_uint_small);
}
int32_t cbor_parse_byte_string_uint8(cbor_parser *parser, cbor_val *val) {
    return parse_string(parser, val, cbor_parse_uint8);
}
int32_t cbor_parse_byte_string_uint16(cbor_parser *parser, cbor_val *val) {
    return parse_string(parser, val, cbor_parse_uint16);
}
int32_t cbor_parse_byte_string_uint32(cbor_parser *parser, cbor_val *val) {
    return parse_string(parser, val, cbor_parse_uint32);
}
int32_t cbor_parse_byte_string_uint64(cbor_parser *parser, cbor_val *val) {
    return parse_string(parser, val, cbor_parse_uint64);
}

int32_t cbor_parse_text_string_small(cbor_parser *parser, cbor_val *val) {
    return parse_string(parser, val, cbor_parse_uint_small);
}
int32_t cbor_parse_text_string_uint8(cbor_parser *parser, cbor_val *val) {
    return parse_string(parser, val, cbor_parse_uint8);
}
int32_t cbor_parse_text_string_uint16(cbor_parser *parser, cbor_val *val) {
    return parse_string(parser, val, cbor_parse_uint16);
}
int32_t cbor_parse_text_string_uint32(cbor_parser *parser, cbor_val *val) {
    return parse_string(parser, val, cbor_parse_uint32);
}
int32_t cbor_parse_text_string_uint64(cbor_parser *parser, cbor_val *val) {
    return parse_string(parser, val, cbor_parse_uint64);
}

/* ---- containers ------------------------------------------------------------- */

static int32_t parse_count(cbor_parser *parser, cbor_val *val, cbor_parse_fn reader) {
    uint64_t n;
    if (!read_head_argument(parser, reader, &n)) return -1;
    val->length = static_cast<int64_t>(n);
    return 0;
}

int32_t cbor_parse_array_small(cbor_parser *parser, cbor_val *val) {
    return parse_count(parser, val, cbor_parse_uint_small);
}
int32_t cbor_parse_array_uint8(cbor_parser *parser, cbor_val *val) {
    return parse_count(parser, val, cbor_parse_uint8);
}
int32_t cbor_parse_array_uint16(cbor_parser *parser, cbor_val *val) {
    return parse_count(parser, val, cbor_parse_uint16);
}
int32_t cbor_parse_array_uint32(cbor_parser *parser, cbor_val *val) {
    return parse_count(parser, val, cbor_parse_uint32);
}
int32_t cbor_parse_array_uint64(cbor_parser *parser, cbor_val *val) {
    return parse_count(parser, val, cbor_parse_uint64);
}

int32_t cbor_parse_map_small(cbor_parser *parser, cbor_val *val) {
    return parse_count(parser, val, cbor_parse_uint_small);
}
int32_t cbor_parse_map_uint8(cbor_parser *parser, cbor_val *val) {
    return parse_count(parser, val, cbor_parse_uint8);
}
int32_t cbor_parse_map_uint16(cbor_parser *parser, cbor_val *val) {
    return parse_count(parser, val, cbor_parse_uint16);
}
int32_t cbor_parse_map_uint32(cbor_parser *parser, cbor_val *val) {
    return parse_count(parser, val, cbor_parse_uint32);
}
int32_t cbor_parse_map_uint64(cbor_parser *parser, cbor_val *val) {
    return parse_count(parser, val, cbor_parse_uint64);
}

static int32_t parse_indefinite(cbor_parser *parser, cbor_val *val) {
    if (remaining(parser) < 1) return -1;
    val->length = -1;
    parser->indefinite = 1;
    parser->cursor++;
    return 0;
}

int32_t cbor_parse_byte_string_indefinite(cbor_parser *parser, cbor_val *val) {
    return parse_indefinite(parser, val);
}
int32_t cbor_parse_text_string_indefinite(cbor_parser *parser, cbor_val *val) {
    return parse_indefinite(parser, val);
}
int32_t cbor_parse_array_indefinite(cbor_parser *parser, cbor_val *val) {
    return parse_indefinite(parser, val);
}
int32_t cbor_parse_map_indefinite(cbor_parser *parser, cbor_val *val) {
    return parse_indefinite(parser, val);
}

/* ---- single bytes ------------------------------------------------------------ */

static int32_t skip_one(cbor_parser *parser) {
    if (remaining(parser) < 1) return -1;
    parser->cursor++;
    return 0;
}

/* Tags are passed over with their initial byte only: the tag number's bytes,
 * if any, come back as the next item. */
int32_t cbor_parse_semantic_tag(cbor_parser *parser, cbor_val *) { return skip_one(parser); }
int32_t cbor_parse_reserved(cbor_parser *parser, cbor_val *) { return skip_one(parser); }
int32_t cbor_parse_false(cbor_parser *parser, cbor_val *) { return skip_one(parser); }
int32_t cbor_parse_true(cbor_parser *parser, cbor_val *) { return skip_one(parser); }
int32_t cbor_parse_null(cbor_parser *parser, cbor_val *) { return skip_one(parser); }
int32_t cbor_parse_undefined(cbor_parser *parser, cbor_val *) { return skip_one(parser); }

int32_t cbor_parse_unimplemented(cbor_parser *parser, cbor_val *) {
    if (remaining(parser) < 1) return -1;
    fprintf(stderr, "Unimplemented CBOR code: %02x\n", static_cast<unsigned>(*parser->cursor));
    parser->cursor++;
    return 0;
}

int32_t cbor_parse_break(cbor_parser *parser, cbor_val *) {
    if (skip_one(parser) < 0) return -1;
    parser->indefinite = 0;
    return 0;
}

/* ---- floats ------------------------------------------------------------------- */

static double from_bits64(uint64_t bits) {
    double d;
    memcpy(&d, &bits, sizeof d);
    return d;
}

static const uint64_t QUIET_NAN_BITS = 0x7FF8000000000000ull;

int32_t cbor_parse_float16(cbor_parser *parser, cbor_val *val) {
    uint64_t h;
    if (!read_argument(parser, 2, &h)) return -1;
    unsigned e = (h >> 10) & 31u;
    unsigned m = h & 0x3FFu;
    double magnitude;
    if (e == 0)
        magnitude = ldexp(static_cast<double>(m), -24);
    else if (e == 31)
        magnitude = m == 0 ? INFINITY : from_bits64(QUIET_NAN_BITS);
    else
        magnitude = ldexp(static_cast<double>(m + 1024), static_cast<int>(e) - 25);
    val->value.f64 = (h & 0x8000u) ? -magnitude : magnitude;
    return 0;
}

int32_t cbor_parse_float32(cbor_parser *parser, cbor_val *val) {
    uint64_t bits;
    if (!read_argument(parser, 4, &bits)) return -1;
    /* An infinity widens to itself; this one NaN becomes the canonical one. */
    if (bits == 0x7FFC0000u) {
        val->value.f64 = from_bits64(QUIET_NAN_BITS);
    } else {
        uint32_t b32 = static_cast<uint32_t>(bits);
        float f;
        memcpy(&f, &b32, sizeof f);
        val->value.f64 = static_cast<double>(f);
    }
    return 0;
}

int32_t cbor_parse_float64(cbor_parser *parser, cbor_val *val) {
    uint64_t bits;
    if (!read_argument(parser, 8, &bits)) return -1;
    val->value.f64 = from_bits64(bits);
    return 0;
}

/* ---- dispatch ------------------------------------------------------------------ */

/* Constant-initialised, so the table is usable from any static initialiser.
 * The entries are counted at compile time: a miscount would otherwise leave
 * silently null entries at the end. */
#define X4(f) f, f, f, f
#define X20(f) X4(f), X4(f), X4(f), X4(f), X4(f)
#define X24(f) X20(f), X4(f)
#define X28(f) X24(f), X4(f)

#define JUMP_TABLE_ENTRIES                                                                         \
    /* 00 */ X24(cbor_parse_uint_small), /* 18 */ cbor_parse_uint8, cbor_parse_uint16,             \
        cbor_parse_uint32, cbor_parse_uint64, /* 1C */ X4(cbor_parse_reserved),                    \
        /* 20 */ X24(cbor_parse_negint_small), /* 38 */ cbor_parse_negint8, cbor_parse_negint16,   \
        cbor_parse_negint32, cbor_parse_negint64, /* 3C */ X4(cbor_parse_reserved),                \
        /* 40 */ X24(cbor_parse_byte_string_small), /* 58 */ cbor_parse_byte_string_uint8,         \
        cbor_parse_byte_string_uint16, cbor_parse_byte_string_uint32,                              \
        cbor_parse_byte_string_uint64, /* 5C */ cbor_parse_reserved, cbor_parse_reserved,          \
        cbor_parse_reserved, /* 5F */ cbor_parse_byte_string_indefinite,                           \
        /* 60 */ X24(cbor_parse_text_string_small), /* 78 */ cbor_parse_text_string_uint8,         \
        cbor_parse_text_string_uint16, cbor_parse_text_string_uint32,                              \
        cbor_parse_text_string_uint64, /* 7C */ cbor_parse_reserved, cbor_parse_reserved,          \
        cbor_parse_reserved, /* 7F */ cbor_parse_text_string_indefinite,                           \
        /* 80 */ X24(cbor_parse_array_small), /* 98 */ cbor_parse_array_uint8,                     \
        cbor_parse_array_uint16, cbor_parse_array_uint32, cbor_parse_array_uint64,                 \
        /* 9C */ cbor_parse_reserved, cbor_parse_reserved, cbor_parse_reserved,                    \
        /* 9F */ cbor_parse_array_indefinite, /* A0 */ X24(cbor_parse_map_small),                  \
        /* B8 */ cbor_parse_map_uint8, cbor_parse_map_uint16, cbor_parse_map_uint32,               \
        cbor_parse_map_uint64, /* BC */ cbor_parse_reserved, cbor_parse_reserved,                  \
        cbor_parse_reserved, /* BF */ cbor_parse_map_indefinite,                                   \
        /* C0 */ X28(cbor_parse_semantic_tag), /* DC */ X4(cbor_parse_reserved),                   \
        /* E0 */ X20(cbor_parse_unimplemented), /* F4 */ cbor_parse_false, cbor_parse_true,        \
        cbor_parse_null, cbor_parse_undefined, /* F8 */ cbor_parse_unimplemented,                  \
        cbor_parse_float16, cbor_parse_float32, cbor_parse_float64, /* FC */ cbor_parse_reserved,  \
        cbor_parse_reserved, cbor_parse_reserved, /* FF */ cbor_parse_break,

static constexpr size_t count_entries(std::initializer_list<cbor_parse_fn> entries) {
    return entries.size();
}
static_assert(count_entries({JUMP_TABLE_ENTRIES}) == 256, "one handler per initial byte");

const cbor_parse_fn cbor_jump_table[] = {JUMP_TABLE_ENTRIES};

#undef JUMP_TABLE_ENTRIES

#undef X4
#undef X20
#undef X24
#undef X28
