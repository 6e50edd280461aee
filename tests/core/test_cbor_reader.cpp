#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/alloc.h"
#include "cbor/cbor_reader.h"
#include "cbor_reference.h"

namespace {

using cbor_ref::from_hex;

int count_events(void *context, const cbor_reader_event *) {
    ++*static_cast<uint64_t *>(context);
    return 0;
}

cbor_reader_status walk(const std::vector<uint8_t> &in, uint64_t max_depth, uint64_t *at,
                        uint64_t *events = nullptr) {
    uint64_t ignored = 0;
    return cbor_reader_walk(in.data(), in.size(), max_depth, count_events,
                            events ? events : &ignored, at);
}

// The boundaries the corpus of fuzz_cbor_reader does not reach; its reference checks every status.
TEST(CborReader, MalformedInputs) {
    struct Case {
        const char *hex;
        uint64_t max_depth;
        cbor_reader_status status;
        uint64_t at;
    };
    const Case cases[] = {
        {"f81f", 0, CBOR_READER_BAD_SIMPLE, 0},
        {"f820", 0, CBOR_READER_OK, 2},
        {"81818101", 2, CBOR_READER_TOO_DEEP, 3}, // the numbers of a definite array too
        {"81c1c101", 1, CBOR_READER_OK, 4},       // tags add no level
    };
    for (const Case &c : cases) {
        uint64_t at = 99;
        EXPECT_EQ(walk(from_hex(c.hex), c.max_depth, &at), c.status) << c.hex;
        EXPECT_EQ(at, c.at) << c.hex;
    }
}

// 200,000 levels of each kind cost heap, not stack; a nesting stack that cannot grow fails cleanly.
TEST(CborReader, DeepNestingAndNoMemory) {
    for (const uint8_t open : {0x81, 0x9f, 0xa1, 0xc6}) {
        const uint64_t width = open == 0xa1 ? 2 : 1; // a map level is its head and a key
        std::vector<uint8_t> in;
        for (int level = 0; level < 200000; ++level) {
            in.push_back(open);
            if (width == 2) in.push_back(0x01);
        }
        in.push_back(0x00);
        if (open == 0x9f) in.insert(in.end(), 200000, 0xff);
        uint64_t at = 0, events = 0;
        EXPECT_EQ(walk(in, 0, &at, &events), CBOR_READER_OK) << int(open);
        // start, key and end per level, the innermost item
        EXPECT_EQ(events, 200000 * (width + 1) + 1) << int(open);
        core_alloc_fail_after(0);
        EXPECT_EQ(walk(in, 0, &at), CBOR_READER_NO_MEMORY);
        EXPECT_EQ(at, 48 * width); // the first level past the inline frames
        core_alloc_fail_after(-1);
    }
}

} // namespace
