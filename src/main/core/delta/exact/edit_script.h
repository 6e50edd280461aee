/* edit_script: writes a delta as a CBOR sequence of copy and insert items.
 *
 * It holds at most one pending insert and one pending copy, turns short copies
 * into literal bytes where that encodes smaller, and keeps a byte budget (the
 * new value's length) so that a delta that could not be shorter than the new
 * value is abandoned as soon as that is certain. The finished delta is the
 * content of `output`. */
#ifndef CORVANTIS_EDIT_SCRIPT_H
#define CORVANTIS_EDIT_SCRIPT_H

#include <stdint.h>

#include "base/buf.h"
#include "base/corvantis_export.h"

CORVANTIS_EXTERN_C_BEGIN

typedef struct edit_script {
    int32_t insert_offset; /* start of the pending literal in the new value; -1: none */
    int32_t insert_length;
    int32_t copy_offset; /* offset of the pending copy in the old value; -1: none */
    int32_t copy_length;
    const buf *old_value; /* borrowed, never read */
    const buf *new_value; /* borrowed, source of every literal byte */
    int32_t budget;       /* bytes left before the delta is no smaller than new */
    buf *output;          /* owned: the delta written so far */
} edit_script;

/* Returns a new script (null when an allocation fails). */
CORVANTIS_API edit_script *edit_script_create(const buf *old_value, const buf *new_value);
CORVANTIS_API void edit_script_free(edit_script *script);

/* Each returns 1 to go on and 0 once the budget is exhausted; after a 0 the
 * script is abandoned. */
CORVANTIS_API int edit_script_match(edit_script *script, int32_t old_offset, int32_t length);
CORVANTIS_API int edit_script_insert(edit_script *script, int32_t new_offset, int32_t length);
CORVANTIS_API int edit_script_close(edit_script *script);

/* Size of the CBOR head whose argument is |n|: 1, 2, 3 or 5 bytes. */
CORVANTIS_API int32_t _edit_script_head_size(int32_t n);
/* Writes the pending insert, then the pending copy; 1 or 0 as above. */
CORVANTIS_API int _edit_script_write_pending(edit_script *script);

CORVANTIS_EXTERN_C_END

#endif
