#include "bare_reader.h"

#include <stdio.h>

#include "cbor_head.h"

/* Reads one item's head, and moves past a definite string's bytes; false when
 * the item is cut short or its string announces more bytes than are left. */
static bool read_head(bare_reader *reader, cbor_head *head, const uint8_t **bytes) {
    const uint8_t *at = reader->data + reader->position;
    const uint64_t left = reader->length - reader->position;
    int32_t n;
    if ((*at >> 5) == 6 || *at == 0xF8) n = cbor_head_read_sized(at, left, 0, head);
    else n = cbor_head_read(at, left, head);
    if (n < 0) return false;
    if (reader->report && head->major == 7 && (head->info < 20 || head->info == 24))
        fprintf(stderr, "Unimplemented CBOR code: %02x\n", static_cast<unsigned>(head->initial));
    reader->position += static_cast<uint64_t>(n);
    *bytes = nullptr;
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
static bool is_ill_formed(const cbor_head *head) {
    switch (head->major) {
    case 0: return head->info >= 28;
    case 2:
    case 3: return head->info >= 28 && head->info <= 30;
    default: return false;
    }
}

bare_reader bare_reader_open(const uint8_t *data, uint64_t length, bool report) {
    return bare_reader{data, length, 0, report};
}

bare_read_status bare_reader_next(bare_reader *reader, bare_item *item) {
    if (reader->position >= reader->length) return BARE_READ_END;
    cbor_head head;
    const uint8_t *bytes;
    if (!read_head(reader, &head, &bytes) || is_ill_formed(&head)) return BARE_READ_UNREADABLE;
    if (head.major == 0) {
        item->kind = BARE_ITEM_COPY;
        item->offset = head.argument;
        if (reader->position >= reader->length) return BARE_READ_COPY_WITHOUT_LENGTH;
        if (!read_head(reader, &head, &bytes) || is_ill_formed(&head)) return BARE_READ_UNREADABLE;
        if (head.major != 0) return BARE_READ_COPY_WITHOUT_LENGTH;
        item->length = head.argument;
        item->bytes = nullptr;
        return BARE_READ_ITEM;
    }
    /* An indefinite-length start carries no bytes of its own; its chunks
     * follow as ordinary strings and its break is skipped, which yields
     * exactly the string's bytes. */
    item->kind = bytes != nullptr ? BARE_ITEM_INSERT : BARE_ITEM_SKIP;
    item->offset = 0;
    item->length = bytes != nullptr ? head.argument : 0;
    item->bytes = bytes;
    return BARE_READ_ITEM;
}
