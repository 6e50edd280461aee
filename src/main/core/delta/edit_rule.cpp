#include "delta/edit_rule.h"

bool edit_rule_copy_joins_literal(edit_rule_head_fn head, int64_t literal_length,
                                  int64_t copy_offset, int64_t copy_length) {
    const int64_t merge = head(literal_length + copy_length) + copy_length - head(literal_length);
    const int64_t keep = 1 + static_cast<int64_t>(head(copy_offset));
    return merge <= keep;
}

int64_t edit_rule_insert_cost(edit_rule_head_fn head, int64_t length) {
    return head(length) + length;
}

int64_t edit_rule_copy_cost(edit_rule_head_fn head, int64_t offset, int64_t length) {
    return static_cast<int64_t>(head(offset)) + head(length);
}
