/* coallescing_script: the engine's only output channel.
 *
 * Joins consecutive events of one kind into a run and hands each finished run
 * to the edit script. The record lives in the frame of myers_binary_diff,
 * which fills its fields directly; it has no create or free. Calls arrive in
 * new-value order. A 0 from match, insert or delete means the delta cannot be
 * smaller than the new value and the engine must stop at once. */
#ifndef CORVANTIS_COALLESCING_SCRIPT_H
#define CORVANTIS_COALLESCING_SCRIPT_H

#include <stdint.h>

#include "corvantis_export.h"
#include "edit_script.h"

CORVANTIS_EXTERN_C_BEGIN

enum {
    COALLESCING_RUN_INSERT = 0,
    COALLESCING_RUN_COPY = 1,
    COALLESCING_RUN_NONE = 2,
};

typedef struct coallescing_script {
    edit_script *script; /* borrowed */
    uint32_t old_origin; /* subtracted from every copy position */
    uint32_t new_origin; /* subtracted from every insert position */
    uint32_t run_kind;   /* COALLESCING_RUN_* */
    uint32_t run_start;
    uint32_t run_length;
    uint8_t untouched;   /* set until the first run reaches the edit script */
} coallescing_script;

CORVANTIS_API int coallescing_script_match(coallescing_script *script, int32_t old_position, int32_t length);
CORVANTIS_API int coallescing_script_insert(coallescing_script *script, int32_t new_position, int32_t length);
CORVANTIS_API int coallescing_script_delete(coallescing_script *script);
/* 0: an edit delta stands in the edit script's output; 1: a replacement
 * delta is needed; 2: the new value equals the old one. */
CORVANTIS_API int coallescing_script_close(coallescing_script *script, int32_t old_length, int32_t new_length);
CORVANTIS_API int coallescing_script_flush(coallescing_script *script);

CORVANTIS_EXTERN_C_END

#endif
