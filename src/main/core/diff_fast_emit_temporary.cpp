/* TEMPORARY, until the block-matching scan emits operations itself: replays
 * diff_generate_binary_fast's delta as operations. Removed by the merge that
 * brings the real diff_fast_emit. */
#include "cbor_head.h"
#include "diff_fast.h"

extern "C" delta_sink_status diff_fast_emit(const buf *old_value, const buf *new_value, const delta_op_sink *sink) {
    if (old_value == nullptr || new_value == nullptr || sink == nullptr) return DELTA_SINK_FAILED;
    buf *delta = diff_generate_binary_fast(old_value, new_value);
    if (delta == nullptr) return DELTA_SINK_FAILED;
    delta_sink_status status = DELTA_SINK_CONTINUE;
    uint64_t pos = 0, at = 0;
    if (delta->length == 1 && delta->data[0] == 0xF6) {
        const delta_op op{DELTA_OP_COPY_OLD, 0, new_value->length};
        status = sink->emit(sink->writer, &op);
        pos = delta->length;
    }
    while (status == DELTA_SINK_CONTINUE && pos < delta->length) {
        cbor_head head, second;
        pos += static_cast<uint64_t>(cbor_head_read(delta->data + pos, delta->length - pos, &head));
        delta_op op{DELTA_OP_INSERT, at, head.argument};
        if (head.major == 0) {
            pos += static_cast<uint64_t>(cbor_head_read(delta->data + pos, delta->length - pos, &second));
            op = delta_op{DELTA_OP_COPY_OLD, head.argument, second.argument};
        } else {
            pos += head.argument;
        }
        at += op.length;
        status = sink->emit(sink->writer, &op);
    }
    buf_free(delta);
    return status == DELTA_SINK_CONTINUE ? sink->close(sink->writer) : status;
}
