/* edit_rule: the cost rules every delta writer applies, on 64-bit values.
 *
 * The bare writer's users differ only in how they size a CBOR head (the
 * 32-bit edit script charges 5 bytes for every argument of 65536 or more, the
 * block-matching engine the true 1, 2, 3, 5 or 9), so each passes its own
 * head size function. Internal to the library: not exported. */
#ifndef CORVANTIS_EDIT_RULE_H
#define CORVANTIS_EDIT_RULE_H

#include <stdint.h>

typedef int32_t (*edit_rule_head_fn)(int64_t argument);

/* True when a copy of copy_length bytes from copy_offset, standing next to a
 * literal of literal_length bytes, encodes no larger as part of that literal:
 * the literal's growth (the copy's bytes plus the growth of its length head)
 * is weighed against 1 + head(copy_offset), and ties go to literal bytes. */
bool edit_rule_copy_joins_literal(edit_rule_head_fn head, int64_t literal_length,
                                  int64_t copy_offset, int64_t copy_length);

/* Bytes an insert of `length` bytes adds to the output. */
int64_t edit_rule_insert_cost(edit_rule_head_fn head, int64_t length);

/* Bytes a copy adds to the output. */
int64_t edit_rule_copy_cost(edit_rule_head_fn head, int64_t offset, int64_t length);

#endif
