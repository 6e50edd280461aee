#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "base/alloc.h"
#include "cbor/cbor_generator.h"
#include "cbor/cbor_head.h"
#include "cbor_reference.h"

namespace {

// Both sides of each width boundary (other types below); head readers: fuzz_cbor_parser, _apply.
TEST(CborHead, WritesEveryWidthBoundary) {
    const struct {
        uint32_t major;
        uint64_t argument;
        const char *bytes;
    } heads[] = {{0, 23, "17"},
                 {0, 24, "1818"},
                 {0, 255, "18ff"},
                 {0, 256, "190100"},
                 {0, 65535, "19ffff"},
                 {0, 65536, "1a00010000"},
                 {0, 4294967295u, "1affffffff"},
                 {0, 4294967296u, "1b0000000100000000"},
                 {9, 1, "21"}};
    for (const auto &row : heads) {
        uint8_t out[CBOR_HEAD_MAX_SIZE];
        const uint32_t n = cbor_head_write(out, row.major, row.argument);
        EXPECT_EQ(cbor_ref::hex(out, n), row.bytes);
        EXPECT_EQ(cbor_head_size(row.argument), n) << row.bytes;
    }
}

using G = cbor_generator *;
std::string written(const cbor_generator *gen) { return cbor_ref::hex(gen->output, gen->length); }

// Each writer once, its status and bytes (the widths are above; shortest floats are fuzzed).
const struct Write {
    int32_t (*write)(G);
    int32_t status;
    std::string hex;
} writes[] = {
    {[](G g) { return cbor_write_uint(g, 24); }, 0, "1818"},
    {[](G g) { return cbor_write_negint(g, INT64_MIN); }, 0, "3b7fffffffffffffff"},
    {cbor_write_false, 0, "f4"},
    {[](G g) { return cbor_write_byte_string(g, "", 0); }, 0, "40"},
    {cbor_write_true, 0, "f5"},
    {cbor_write_null, 0, "f6"},
    {[](G g) { return cbor_write_text_string(g, std::string(300, '\x11').data(), 300); }, 0,
     "79012c" + std::string(600, '1')},
    {[](G g) { return cbor_write_text_string(g, nullptr, CBOR_INDEFINITE_LENGTH); }, 0, "7f"},
    {cbor_write_undefined, 0, "f7"},
    {[](G g) { return cbor_write_array(g, UINT64_MAX - 1); }, 0, "9bfffffffffffffffe"},
    {cbor_write_break, 0, "ff"},
    {[](G g) { return cbor_write_array(g, CBOR_INDEFINITE_LENGTH); }, 0, "9f"},
    {[](G g) { return cbor_write_map(g, 1); }, 0, "a1"},
    {[](G g) { return cbor_write_map(g, CBOR_INDEFINITE_LENGTH); }, 0, "bf"},
    {[](G g) { return cbor_write_float32(g, 1.1); }, 1, "fa3f8ccccd"},
    {[](G g) { return cbor_write_float32(g, 1e300); }, 1, "fa7f800000"},
    {[](G g) { return cbor_write_float64(g, -0.0); }, 1, "fb8000000000000000"}};

// A failed growth (or a null generator): -1 and nothing changed; the write then succeeds.
TEST(CborGenerator, WritersBytesAndFailedGrowth) {
    core_alloc_fail_after(0);
    EXPECT_EQ(cbor_generator_create(), nullptr);
    for (const Write &w : writes) {
        core_alloc_fail_after(-1);
        cbor_generator *gen = cbor_generator_create();
        ASSERT_TRUE(gen->output == nullptr && gen->length == 0 &&
                    cbor_write_text_string(gen, "prefix", 6) == 0);
        const uint8_t *block = gen->output;
        core_alloc_fail_after(0);
        EXPECT_TRUE(w.write(nullptr) == -1 && w.write(gen) == -1) << w.hex;
        core_alloc_fail_after(-1);
        EXPECT_TRUE(written(gen) == "66707265666978" && gen->output == block) << w.hex;
        EXPECT_EQ(w.write(gen), w.status) << w.hex;
        EXPECT_EQ(written(gen), "66707265666978" + w.hex);
        cbor_generator_free(gen);
    }
    cbor_generator_free(nullptr);
}

// The sized head builder keeps the caller's width, cutting the value; wrapping lengths are refused.
TEST(CborGenerator, HeadBuildersAndRefusedWrites) {
    cbor_generator *gen = cbor_generator_create();
    for (const auto &[initial, v] : {std::pair<uint8_t, uint64_t>{0x18, 5},
                                     {0x1B, 5},
                                     {0x5A, 0x0102030405ull},
                                     {0x40, 3},
                                     {0x00, 0x1FF},
                                     {0x1C, 0}})
        EXPECT_EQ(_cbor_write_uint_sized(gen, initial, v), 0);
    EXPECT_TRUE(_cbor_write_uint_helper(nullptr, 0, 1) == -1 &&
                _cbor_write_uint_sized(nullptr, 0x18, 1) == -1);
    EXPECT_TRUE(cbor_write_byte_string(gen, nullptr, 1) == -1 &&
                cbor_write_byte_string(gen, nullptr, 0) == 0); // no data
    EXPECT_TRUE(_cbor_generator_write_byte(nullptr, 1) == -1 &&
                _cbor_generator_write_bytes(gen, nullptr, 0) == 0);
    core_alloc_fail_after(-1);
    EXPECT_TRUE(_cbor_generator_write_bytes(gen, "x", UINT64_MAX) == -1 &&
                cbor_write_byte_string(gen, "x", UINT64_MAX - 3) == -1);
    EXPECT_EQ(core_alloc_attempts(), 0);
    EXPECT_EQ(written(gen), "1805"
                            "1b0000000000000005"
                            "5a02030405"
                            "43"
                            "ff"
                            "1c"
                            "40");
    cbor_generator_free(gen);
}

} // namespace
