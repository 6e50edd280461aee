#include <gtest/gtest.h>

#include "buf.h"

TEST(Buf, CreateIsEmpty) {
    buf *b = buf_create();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->data, nullptr);
    EXPECT_EQ(b->length, 0u);
    EXPECT_EQ(b->capacity, 0u);
    buf_free(b);
}
