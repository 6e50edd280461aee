/* bare_reader: reads a bare delta item by item, as the applier applies it.
 *
 * A copy is two unsigned integers (offset, then length); an insert is a
 * definite byte or text string; every other readable item is skipped. The
 * reader reads items the way the CBOR parser consumes them: a tag takes its
 * initial byte only (its number comes back as the next item), F8 and E0 to F3
 * take one byte, a head with reserved additional information takes one byte.
 * It checks no copy against the old value; that is the caller's. Internal to
 * the library: not exported. */
#ifndef CORVANTIS_BARE_READER_H
#define CORVANTIS_BARE_READER_H

#include <stdint.h>

typedef enum bare_item_kind {
    BARE_ITEM_COPY = 0,   /* offset, length */
    BARE_ITEM_INSERT = 1, /* bytes, length */
    BARE_ITEM_SKIP = 2,   /* an item that adds nothing */
} bare_item_kind;

typedef struct bare_item {
    bare_item_kind kind;
    uint64_t offset;
    uint64_t length;
    const uint8_t *bytes; /* within the delta */
} bare_item;

typedef enum bare_read_status {
    BARE_READ_ITEM = 0,                /* *item holds the next item */
    BARE_READ_END = 1,                 /* no bytes left */
    BARE_READ_UNREADABLE = 2,          /* an item is cut short, ill-formed, or announces more bytes than are left */
    BARE_READ_COPY_WITHOUT_LENGTH = 3, /* a copy offset at the end or followed by another kind of item */
} bare_read_status;

typedef struct bare_reader {
    const uint8_t *data;
    uint64_t length;
    uint64_t position;
    /* When set, each unimplemented simple value read is reported on standard
     * error, as the applier always has; the sizing walk reads quietly. */
    bool report;
} bare_reader;

bare_reader bare_reader_open(const uint8_t *data, uint64_t length, bool report);

/* Reads the next item. After a failure the reader is not to be read again. */
bare_read_status bare_reader_next(bare_reader *reader, bare_item *item);

#endif
