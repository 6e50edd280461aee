#include "cbor/cbor_reader_walk.h"

namespace {

/* Adapts a C callback to the walk's sink. */
struct CallbackSink {
    cbor_reader_callback callback;
    void *context;
    bool event(const cbor_reader_event &ev) { return callback(context, &ev) == 0; }
};

} // namespace

cbor_reader_status cbor_reader_walk(const uint8_t *data, uint64_t size, uint64_t max_depth,
                                    cbor_reader_callback callback, void *context,
                                    uint64_t *offset) {
    CallbackSink sink{callback, context};
    return cbor_reader_run(data, size, max_depth, sink, offset);
}

int32_t cbor_reader_utf8_check(const uint8_t *data, uint64_t size) {
    return cbor_reader_detail::utf8_check(data, size);
}

const char *cbor_reader_status_text(cbor_reader_status status) {
    switch (status) {
    case CBOR_READER_OK: return "ok";
    case CBOR_READER_TRUNCATED: return "truncated input";
    case CBOR_READER_RESERVED_INFO: return "reserved additional information (28 to 30)";
    case CBOR_READER_MISPLACED_BREAK: return "break code out of place";
    case CBOR_READER_INDEFINITE_ITEM: return "indefinite length on an integer, tag or simple value";
    case CBOR_READER_BAD_CHUNK: return "chunk of the wrong type in an indefinite-length string";
    case CBOR_READER_BAD_SIMPLE: return "two-byte simple value below 32";
    case CBOR_READER_INVALID_UTF8: return "invalid UTF-8 in a text string";
    case CBOR_READER_TRAILING_BYTES: return "bytes after the item";
    case CBOR_READER_TOO_DEEP: return "nesting deeper than max_depth";
    case CBOR_READER_NO_MEMORY: return "out of memory";
    case CBOR_READER_STOPPED: return "stopped by the builder";
    }
    return "unknown status";
}
