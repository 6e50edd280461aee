#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "base/alloc.h"
#include "delta/bare_writer.h"
#include "delta/diff.h"
#include "delta/fast/diff_fast.h"
#include "delta_reference.h"

namespace {

using namespace delta_reference;

// Past fuzz sizes (full buckets, late index, moved blocks, a copy just twice its cost): check_delta
// and moved blocks found; FNV-1a pins two: no address, clock or seed (fuzz_roundtrip: same twice).
TEST(DiffFast, LargeValues) {
    std::mt19937_64 rng(11);
    const std::string block = random_bytes(rng, 64), r1 = random_bytes(rng, 200000);
    std::string repeated;
    for (int i = 0; i < 4096; ++i) repeated += block + std::to_string(i % 7);
    std::string edited_repeated = repeated.substr(100000) + repeated.substr(0, 100000),
                edited_random = r1;
    for (int e = 0; e < 40; ++e) edited_repeated[rng() % edited_repeated.size()] ^= 0x5A;
    for (int e = 0; e < 300; ++e)
        edited_random[rng() % edited_random.size()] = static_cast<char>(rng());
    edited_random = edited_random.substr(150000) + edited_random.substr(0, 150000) +
                    std::string(40, 'x') + r1.substr(1000, 10) + std::string(1100, 'y');
    const std::string blocks = random_bytes(rng, 64 * 1024);
    std::string reversed, last = blocks;
    for (size_t b = blocks.size(); b > 0; b -= 4096) reversed += blocks.substr(b - 4096, 4096);
    last.back() ^= 1;
    const std::tuple<std::string, std::string, uint64_t, size_t> cases[] = {
        /* old, new, FNV-1a or 0, size bound or 0 */
        {repeated, edited_repeated, 15545281982457778422u, 0},
        {r1, edited_random, 12233510271494339063u, 0},
        {blocks, reversed, 0, 100},
        {blocks, blocks + blocks, 0, 20},
        {blocks, last, 0, 10},
    };
    for (size_t k = 0; k < std::size(cases); ++k) {
        const auto &[o, n, fnv, bound] = cases[k];
        const std::string d = generate(diff_generate_binary_fast, o, n);
        EXPECT_EQ(check_delta(o, n, d), "") << k;
        uint64_t h = 0xcbf29ce484222325u;
        for (unsigned char c : d) h = (h ^ c) * 0x100000001b3u;
        EXPECT_EQ(fnv != 0 ? h : 0, fnv) << k;
        EXPECT_LT(d.size(), bound != 0 ? bound : SIZE_MAX) << k;
    }
}

struct Recorder {
    std::vector<delta_op> ops;
    size_t stop_after = SIZE_MAX;
    int closes = 0;
    static delta_sink_status emit(void *self, const delta_op *op) {
        Recorder *r = static_cast<Recorder *>(self);
        r->ops.push_back(*op);
        return r->ops.size() >= r->stop_after ? DELTA_SINK_STOP : DELTA_SINK_CONTINUE;
    }
    static delta_sink_status close(void *self) {
        return ++static_cast<Recorder *>(self)->closes, DELTA_SINK_CONTINUE;
    }
    delta_op_sink sink() { return {emit, close, this}; }
};

// The op stream rebuilds the new value by the reference executor (refined gaps too) even under a
// replacement; STOP ends it. Tuned scan: compact deltas (fuzz_roundtrip, DiffCompact.RoundTrips).
TEST(DiffFastEmit, StreamsRebuildTheNewValue) {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 68; ++round) {
        const std::string o =
            random_bytes(rng, round < 20 ? rng() % 900 : 2000 + rng() % 40000, round % 3 ? 256 : 4);
        const std::string n =
            round >= 60 ? random_bytes(rng, 60000 + 5 * (round - 60)) /* unrelated: widest steps */
            : round % 5 == 0 ? random_bytes(rng, rng() % 3000)
                             : mutate(rng, o, 1 + (int)(rng() % 60));
        const buf a = view(o), b = view(n);
        Recorder r;
        const delta_op_sink sink = r.sink();
        ASSERT_EQ(diff_fast_emit(&a, &b, &sink), DELTA_SINK_CONTINUE);
        EXPECT_EQ(r.closes, 1);
        ASSERT_EQ(execute(o, n, r.ops), n) << round;
        if (r.ops.size() < 2) continue;
        Recorder stopped;
        stopped.stop_after = r.ops.size() / 2;
        const delta_op_sink ss = stopped.sink();
        EXPECT_EQ(diff_fast_emit(&a, &b, &ss), DELTA_SINK_STOP);
        EXPECT_EQ(stopped.ops.size(), stopped.stop_after);
        EXPECT_EQ(stopped.closes, 0);
    }
    const buf a = view("abc");
    Recorder r;
    const delta_op_sink sink = r.sink();
    EXPECT_EQ(diff_fast_emit(nullptr, &a, &sink) + diff_fast_emit(&a, nullptr, &sink) +
                  diff_fast_emit(&a, &a, nullptr),
              3 * DELTA_SINK_FAILED);
}

// A 9-byte head, the budget's edge, empty ops, what bare deltas can't say (check_delta holds fuzz
// and LargeValues deltas to shortest heads). Ops: first 0 inserts, else copy from first - 1; close.
TEST(BareWriter, HeadSizesBudgetAndRefusedOps) {
    const uint64_t big = uint64_t{1} << 32;
    const std::string new_value(64, 'n');
    const struct {
        uint64_t new_length;
        std::vector<std::pair<uint64_t, uint64_t>> calls;
        const char *result;
    } table[] = {{64,
                  {{0, 0}, {0, 2}, {6, 0}, {big + 2, 300}},
                  "1: 42 6E 6E 1B 00 00 00 01 00 00 00 01 19 01 2C"},
                 {6, {{0, 5}}, "0: "},
                 {7, {{0, 5}}, "1: 45 6E 6E 6E 6E 6E"}};
    for (const auto &c : table) {
        const buf nv{(uint8_t *)new_value.data(), c.new_length, c.new_length};
        bare_writer *writer = bare_writer_create(&nv, bare_writer_head_size, nullptr);
        const delta_op_sink sink = bare_writer_sink(writer);
        uint64_t at = 0;
        for (const auto &[op, n] : c.calls) {
            const delta_op o{op == 0 ? DELTA_OP_INSERT : DELTA_OP_COPY_OLD, op == 0 ? at : op - 1,
                             n};
            ASSERT_EQ(sink.emit(sink.writer, &o), DELTA_SINK_CONTINUE) << c.result;
            at += n;
        }
        const int closed = sink.close(sink.writer) == DELTA_SINK_CONTINUE;
        EXPECT_EQ(std::to_string(closed) + ": " + hex(str(*writer->output)), c.result);
        bare_writer_free(writer);
    }
    const buf nv = view(new_value);
    bare_writer *writer = bare_writer_create(&nv, bare_writer_head_size, nullptr);
    const delta_op_sink sink = bare_writer_sink(writer);
    const delta_op refused[] = {
        {DELTA_OP_COPY_DIFF, 0, 4}, {DELTA_OP_INSERT, 3, 4}, {DELTA_OP_INSERT, 0, 65}};
    for (const delta_op &op : refused)
        EXPECT_EQ(sink.emit(sink.writer, &op), DELTA_SINK_FAILED) << op.kind;
    EXPECT_EQ(writer->output->length, 0u);
    bare_writer_free(writer);
    EXPECT_EQ(bare_writer_create(nullptr, bare_writer_head_size, nullptr), nullptr);
    core_alloc_fail_after(1); /* the writer, then not its output */
    EXPECT_EQ(bare_writer_create(&nv, bare_writer_head_size, nullptr), nullptr);
    core_alloc_fail_after(-1);
}

} // namespace
