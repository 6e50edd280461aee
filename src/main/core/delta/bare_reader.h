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
#include <stdio.h>

#include "cbor/cbor_head.h"

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
    BARE_READ_ITEM = 0, /* *item holds the next item */
    BARE_READ_END = 1,  /* no bytes left */
    BARE_READ_UNREADABLE =
        2, /* an item is cut short, ill-formed, or announces more bytes than are left */
    BARE_READ_COPY_WITHOUT_LENGTH =
        3, /* a copy offset at the end or followed by another kind of item */
} bare_read_status;

typedef struct bare_reader {
    const uint8_t *data;
    uint64_t length;
    uint64_t position;
    /* When set, each unimplemented simple value read is reported on standard
     * error, as the applier always has; the sizing walk reads quietly. */
    bool report;
} bare_reader;

/* The bodies are inline: the applier's two walks call them once per item, and
 * a call per item is a measurable part of applying a delta of many items. */

/* Reads one item's head, and moves past a definite string's bytes; false when
 * the item is cut short or its string announces more bytes than are left. */
static inline bool _bare_reader_head(bare_reader *reader, cbor_head *head, const uint8_t **bytes) {
    const uint8_t *at = reader->data + reader->position;
    const uint64_t left = reader->length - reader->position;
    int32_t n;
    if ((*at >> 5) == 6 || *at == 0xF8)
        n = cbor_head_read_sized(at, left, 0, head);
    else
        n = cbor_head_read(at, left, head);
    if (n < 0) return false;
    if (reader->report && head->major == 7 && (head->info < 20 || head->info == 24))
        fprintf(stderr, "Unimplemented CBOR code: %02x\n", (unsigned)head->initial);
    reader->position += (uint64_t)n;
    *bytes = NULL;
    if ((head->major == 2 || head->major == 3) && head->info < 28) {
        if (head->argument > reader->length - reader->position) return false;
        *bytes = reader->data + reader->position;
        reader->position += head->argument;
    }
    return true;
}

/* Reserved additional information (28 to 30, and 31 where no indefinite
 * form exists) leaves an integer without a value and a string without a
 * length: such an item is ill-formed, and guessing would give a wrong value. */
static inline bool _bare_reader_ill_formed(const cbor_head *head) {
    switch (head->major) {
    case 0: return head->info >= 28;
    case 2:
    case 3: return head->info >= 28 && head->info <= 30;
    default: return false;
    }
}

static inline bare_reader bare_reader_open(const uint8_t *data, uint64_t length, bool report) {
    const bare_reader reader = {data, length, 0, report};
    return reader;
}

/* Reads the next item. After a failure the reader is not to be read again. */
static inline bare_read_status bare_reader_next(bare_reader *reader, bare_item *item) {
    if (reader->position >= reader->length) return BARE_READ_END;
    cbor_head head;
    const uint8_t *bytes;
    if (!_bare_reader_head(reader, &head, &bytes) || _bare_reader_ill_formed(&head))
        return BARE_READ_UNREADABLE;
    if (head.major == 0) {
        item->kind = BARE_ITEM_COPY;
        item->offset = head.argument;
        if (reader->position >= reader->length) return BARE_READ_COPY_WITHOUT_LENGTH;
        if (!_bare_reader_head(reader, &head, &bytes) || _bare_reader_ill_formed(&head))
            return BARE_READ_UNREADABLE;
        if (head.major != 0) return BARE_READ_COPY_WITHOUT_LENGTH;
        item->length = head.argument;
        item->bytes = NULL;
        return BARE_READ_ITEM;
    }
    /* An indefinite-length start carries no bytes of its own; its chunks
     * follow as ordinary strings and its break is skipped, which yields
     * exactly the string's bytes. */
    item->kind = bytes != NULL ? BARE_ITEM_INSERT : BARE_ITEM_SKIP;
    item->offset = 0;
    item->length = bytes != NULL ? head.argument : 0;
    item->bytes = bytes;
    return BARE_READ_ITEM;
}

#endif
