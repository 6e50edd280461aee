#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "delta_reference.h"
#include "diff.h"
#include "diff_fast.h"
#include "edit_script.h"
#include "wide_script.h"

namespace {

using namespace delta_reference;

std::string fast(const std::string &o, const std::string &n) {
    const buf a = view(o), b = view(n);
    return take(diff_generate_binary_fast(&a, &b));
}

// Values past the fuzz inputs' sizes (blocks filling index buckets, edits that make the index
// late, moved blocks, runs): check_delta, the same bytes twice, moved blocks found. Two are
// pinned by an FNV-1a: no address, clock or seed is used, so every machine gives these bytes.
TEST(DiffFast, LargeValues) {
    std::mt19937_64 rng(11);
    const std::string block = random_bytes(rng, 64), r1 = random_bytes(rng, 200000);
    std::string repeated;
    for (int i = 0; i < 4096; ++i) repeated += block + std::to_string(i % 7);
    std::string edited_repeated = repeated.substr(100000) + repeated.substr(0, 100000), edited_random = r1;
    for (int e = 0; e < 40; ++e) edited_repeated[rng() % edited_repeated.size()] ^= 0x5A;
    for (int e = 0; e < 300; ++e) edited_random[rng() % edited_random.size()] = static_cast<char>(rng());
    edited_random = edited_random.substr(150000) + edited_random.substr(0, 150000);
    const std::string blocks = random_bytes(rng, 64 * 1024);
    std::string reversed, last = blocks;
    for (size_t b = blocks.size(); b > 0; b -= 4096) reversed += blocks.substr(b - 4096, 4096);
    last.back() ^= 1;
    const std::tuple<std::string, std::string, uint64_t, size_t> cases[] = { /* old, new, FNV-1a or 0, size bound or 0 */
        {repeated, edited_repeated, 15545281982457778422u, 0}, {r1, edited_random, 1520556229621079610u, 0},
        {blocks, reversed, 0, 100}, {blocks, blocks + blocks, 0, 20}, {blocks, last, 0, 10},
        {std::string(5000, 'z'), random_bytes(rng, 5000), 0, 0},
        {std::string(300000, 'a'), std::string(200000, 'a') + "b" + std::string(250000, 'a'), 0, 0}};
    for (size_t k = 0; k < std::size(cases); ++k) {
        const auto &[o, n, fnv, bound] = cases[k];
        const std::string d = fast(o, n);
        EXPECT_EQ(check_delta(o, n, d), "") << k;
        EXPECT_EQ(fast(o, n), d) << "not deterministic: " << k;
        uint64_t h = 0xcbf29ce484222325u;
        for (unsigned char c : d) h = (h ^ c) * 0x100000001b3u;
        if (fnv != 0) { EXPECT_EQ(h, fnv) << k; }
        if (bound != 0) { EXPECT_LT(d.size(), bound) << k; }
    }
}

// The wide script applies the edit script's rules: on the same calls (heads sized alike by
// both) the bytes agree, and the budget left is exactly the bytes saved.
TEST(WideScript, WritesWhatTheEditScriptWrites) {
    std::mt19937_64 rng(3);
    const std::string new_value = random_bytes(rng, 60000);
    const buf nv = view(new_value);
    for (int trial = 0; trial < 200; ++trial) {
        edit_script *narrow = edit_script_create(&nv, &nv);
        wide_script *wide = wide_script_create(&nv);
        int narrow_ok = 1;
        for (int32_t at = 0, n; narrow_ok && at < 60000 - 300; at += n) {
            n = 1 + static_cast<int32_t>(rng() % (rng() % 2 ? 4 : 300));
            const int32_t offset = static_cast<int32_t>(rng() % (rng() % 2 ? 30 : 60000));
            const bool match = rng() % 2;
            narrow_ok = match ? edit_script_match(narrow, offset, n) : edit_script_insert(narrow, at, n);
            ASSERT_EQ(narrow_ok, match ? wide_script_match(wide, offset, n) : wide_script_insert(wide, at, n));
        }
        if (narrow_ok) {
            ASSERT_EQ(edit_script_close(narrow), wide_script_close(wide));
            EXPECT_EQ(narrow->budget, 60000 - (int32_t)narrow->output->length);
            EXPECT_EQ(wide->budget, narrow->budget);
        }
        EXPECT_EQ(hex(str(*narrow->output)), hex(str(*wide->output)));
        edit_script_free(narrow);
        wide_script_free(wide);
    }
}

// Heads of up to 9 bytes, the budget at its edge, empty operations. Calls: an insert when the
// first number is 0, else a copy from offset first - 1; then the close.
TEST(WideScript, HeadSizesAndBudget) {
    const uint64_t big = uint64_t{1} << 32;
    const std::pair<uint64_t, int32_t> sizes[] = {{23, 1}, {24, 2}, {255, 2}, {256, 3}, {65535, 3}, {65536, 5},
                                                  {big - 1, 5}, {big, 9}, {UINT64_MAX, 9}};
    for (const auto &s : sizes) EXPECT_EQ(_wide_script_head_size(s.first), s.second) << s.first;
    const std::string new_value(64, 'n');
    const struct { uint64_t new_length; std::vector<std::pair<uint64_t, uint64_t>> calls; const char *result; } table[] = {
        {64, {{0, 0}, {0, 2}, {6, 0}, {big + 2, 300}}, "1: 42 6E 6E 1B 00 00 00 01 00 00 00 01 19 01 2C"},
        {6, {{0, 5}}, "0: "}, {7, {{0, 5}}, "1: 45 6E 6E 6E 6E 6E"}};
    for (const auto &c : table) {
        const buf nv{(uint8_t *)new_value.data(), c.new_length, c.new_length};
        wide_script *script = wide_script_create(&nv);
        uint64_t at = 0;
        for (const auto &[op, n] : c.calls) {
            ASSERT_EQ(op == 0 ? wide_script_insert(script, at, n) : wide_script_match(script, op - 1, n), 1) << c.result;
            at += n;
        }
        const int closed = wide_script_close(script);
        EXPECT_EQ(std::to_string(closed) + ": " + hex(str(*script->output)), c.result);
        wide_script_free(script);
    }
}

}  // namespace
