/* wide_script: the edit script's 64-bit sibling.
 *
 * Same wire format, same pending insert and copy, same cost rules
 * (edit_rule) and the same budget (the new value's length, so the delta is
 * given up as soon as it could no longer be shorter than the new value), but
 * offsets, lengths and the budget are 64-bit and every head is charged its
 * true CBOR size (1, 2, 3, 5 or 9 bytes). Copies may name any offset of the
 * old value in any order. */
#ifndef CORVANTIS_WIDE_SCRIPT_H
#define CORVANTIS_WIDE_SCRIPT_H

#include <stdint.h>

#include "buf.h"
#include "corvantis_export.h"

CORVANTIS_EXTERN_C_BEGIN

typedef struct wide_script {
    uint64_t insert_offset; /* start of the pending literal in the new value */
    uint64_t insert_length; /* 0: no insert pending */
    uint64_t copy_offset;   /* offset of the pending copy in the old value */
    uint64_t copy_length;   /* 0: no copy pending */
    const buf *new_value;   /* borrowed, source of every literal byte */
    int64_t budget;         /* bytes left before the delta is no smaller than new */
    buf *output;            /* owned: the delta written so far */
} wide_script;

/* Returns a new script (null when an allocation fails or new_value is null). */
CORVANTIS_API wide_script *wide_script_create(const buf *new_value);
CORVANTIS_API void wide_script_free(wide_script *script);

/* Each returns 1 to go on and 0 once the budget is exhausted or the output
 * cannot grow; after a 0 the script is abandoned. Lengths of 0 change
 * nothing. A literal must lie within the new value. */
CORVANTIS_API int wide_script_match(wide_script *script, uint64_t old_offset, uint64_t length);
CORVANTIS_API int wide_script_insert(wide_script *script, uint64_t new_offset, uint64_t length);
CORVANTIS_API int wide_script_close(wide_script *script);

/* True size of the CBOR head whose argument is n: 1, 2, 3, 5 or 9 bytes. */
CORVANTIS_API int32_t _wide_script_head_size(uint64_t n);

CORVANTIS_EXTERN_C_END

#endif
