#include "delta/bare_writer.h"

#include "base/alloc.h"
#include "cbor/cbor_head.h"
#include "delta/edit_rule.h"

/* Appends n bytes; fails when the output could not grow (buf leaves itself
 * unchanged then, so the length tells). */
static bool append_output(bare_writer *writer, const void *bytes, uint64_t n) {
    const uint64_t before = writer->output->length;
    buf_write_bytes(writer->output, bytes, n);
    return writer->output->length == before + n;
}

/* A finished item goes to `next` when set, else into the output. */
static bool pass_on(bare_writer *writer, delta_op_kind kind, uint64_t address, uint64_t length) {
    const delta_op op{kind, address, length};
    return writer->next->emit(writer->next->writer, &op) == DELTA_SINK_CONTINUE;
}

/* An item is written whole or not at all: a literal whose bytes cannot follow
 * its head takes the head back out. The literal lies in the new value. */
static bool write_insert(bare_writer *writer) {
    const uint64_t offset = writer->insert_offset, length = writer->insert_length;
    if (writer->next != nullptr) return pass_on(writer, DELTA_OP_INSERT, offset, length);
    uint8_t head[CBOR_HEAD_MAX_SIZE];
    const uint64_t before = writer->output->length;
    if (!append_output(writer, head, cbor_head_write(head, CBOR_MAJOR_BYTES, length))) return false;
    if (!append_output(writer, writer->new_value->data + offset, length)) {
        writer->output->length = before;
        return false;
    }
    return true;
}

static bool literal_in_new_value(const bare_writer *writer) {
    const buf *value = writer->new_value;
    return value != nullptr && value->data != nullptr && writer->insert_offset <= value->length &&
           writer->insert_length <= value->length - writer->insert_offset;
}

static bool write_copy(bare_writer *writer) {
    if (writer->next != nullptr)
        return pass_on(writer, DELTA_OP_COPY_OLD, writer->copy_offset, writer->copy_length);
    uint8_t heads[2 * CBOR_HEAD_MAX_SIZE];
    uint32_t n = cbor_head_write(heads, CBOR_MAJOR_UNSIGNED, writer->copy_offset);
    n += cbor_head_write(heads + n, CBOR_MAJOR_UNSIGNED, writer->copy_length);
    return append_output(writer, heads, n);
}

/* Lowers the budget by cost and tells whether the item may still be written. */
static bool spend(bare_writer *writer, int64_t cost) {
    writer->budget -= cost;
    return writer->budget >= 1;
}

static int64_t wide(uint64_t n) { return static_cast<int64_t>(n); }

static delta_sink_status sink_emit(void *opaque, const delta_op *op) {
    bare_writer *writer = static_cast<bare_writer *>(opaque);
    if (op->length == 0) return DELTA_SINK_CONTINUE;
    int ok;
    switch (op->kind) {
    case DELTA_OP_COPY_OLD: ok = bare_writer_match(writer, op->address, op->length); break;
    case DELTA_OP_INSERT:
        if (op->address != writer->position || op->address > writer->new_value->length ||
            op->length > writer->new_value->length - op->address)
            return DELTA_SINK_FAILED;
        ok = bare_writer_insert(writer, op->address, op->length);
        break;
    default: return DELTA_SINK_FAILED; /* the format has no way to say it */
    }
    writer->position += op->length;
    if (ok) return DELTA_SINK_CONTINUE;
    return writer->failed ? DELTA_SINK_FAILED : DELTA_SINK_STOP;
}

static delta_sink_status sink_close(void *opaque) {
    bare_writer *writer = static_cast<bare_writer *>(opaque);
    if (bare_writer_flush(writer)) return DELTA_SINK_CONTINUE;
    return writer->failed ? DELTA_SINK_FAILED : DELTA_SINK_STOP;
}

extern "C" {

int32_t bare_writer_head_size(int64_t n) {
    return static_cast<int32_t>(cbor_head_size(static_cast<uint64_t>(n)));
}

bare_writer *bare_writer_create(const buf *new_value, bare_writer_head_fn head,
                                const delta_op_sink *next) {
    if (new_value == nullptr || head == nullptr) return nullptr;
    bare_writer *writer = static_cast<bare_writer *>(core_calloc(1, sizeof(bare_writer)));
    if (writer == nullptr) return nullptr;
    if (next == nullptr) {
        writer->output = buf_create();
        if (writer->output == nullptr) {
            free(writer);
            return nullptr;
        }
    }
    writer->next = next;
    writer->head = head;
    writer->new_value = new_value;
    /* Lengths beyond INT64_MAX cannot be addressed by any machine that runs
     * this, so the cast keeps the value. */
    writer->budget = static_cast<int64_t>(new_value->length);
    return writer;
}

void bare_writer_free(bare_writer *writer) {
    if (writer == nullptr) return;
    buf_free(writer->output);
    free(writer);
}

/* A failed write leaves its item pending and the budget spent; the writer is
 * abandoned after it anyway. Cleared items keep their lengths. */
int bare_writer_flush(bare_writer *writer) {
    if (writer->insert_pending) {
        if (!spend(writer, edit_rule_insert_cost(writer->head, wide(writer->insert_length))))
            return 0;
        if (!literal_in_new_value(writer)) return 0;
        if (!write_insert(writer)) {
            writer->failed = 1;
            return 0;
        }
        writer->insert_pending = 0;
    }
    if (writer->copy_pending) {
        if (!spend(writer, edit_rule_copy_cost(writer->head, wide(writer->copy_offset),
                                               wide(writer->copy_length))))
            return 0;
        if (!write_copy(writer)) {
            writer->failed = 1;
            return 0;
        }
        writer->copy_pending = 0;
    }
    return 1;
}

int bare_writer_match(bare_writer *writer, uint64_t old_offset, uint64_t length) {
    if (length == 0) return 1;
    if (writer->copy_pending) {
        /* Two copies in a row: old bytes were skipped or the copy jumps. */
        if (!bare_writer_flush(writer)) return 0;
    } else if (writer->insert_pending &&
               edit_rule_copy_joins_literal(writer->head, wide(writer->insert_length),
                                            wide(old_offset), wide(length))) {
        /* The copied bytes stand right after the literal in the new value. */
        writer->insert_length += length;
        return 1;
    }
    writer->copy_pending = 1;
    writer->copy_offset = old_offset;
    writer->copy_length = length;
    return 1;
}

int bare_writer_insert(bare_writer *writer, uint64_t new_offset, uint64_t length) {
    if (length == 0) return 1;
    if (writer->copy_pending) {
        const uint64_t m = writer->copy_length;
        if (edit_rule_copy_joins_literal(writer->head, wide(length), wide(writer->copy_offset),
                                         wide(m))) {
            /* The copy's bytes are the m bytes of the new value just before
             * the incoming literal. */
            writer->copy_pending = 0;
            if (writer->insert_pending) {
                writer->insert_length += m + length;
            } else {
                writer->insert_pending = 1;
                writer->insert_offset = new_offset - m;
                writer->insert_length = m + length;
            }
            return 1;
        }
        if (!bare_writer_flush(writer)) return 0;
    }
    if (writer->insert_pending) {
        writer->insert_length += length;
    } else {
        writer->insert_pending = 1;
        writer->insert_offset = new_offset;
        writer->insert_length = length;
    }
    return 1;
}

delta_op_sink bare_writer_sink(bare_writer *writer) {
    return delta_op_sink{sink_emit, sink_close, writer};
}
}
