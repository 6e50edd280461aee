#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>

#include "delta/diff.h"
#include "delta/diff_compact.h"
#include "delta/fast/diff_fast.h"
#include "delta_reference.h"

namespace {

using namespace delta_reference;

// Says stop at its stop_at-th ask (never when 0) and counts every ask.
struct Asks {
    int count = 0;
    int stop_at = 0;
};

delta_sink_status ask(void *context) {
    Asks *asks = static_cast<Asks *>(context);
    return ++asks->count == asks->stop_at ? DELTA_SINK_STOP : DELTA_SINK_CONTINUE;
}

// A poll that never stops changes no byte; a stop at the first, a middle or the last ask ends the
// work at once (no ask after it), null and `stopped` set; the ASan build sees what it held freed.
void check_stops(const std::function<buf *(delta_poll *)> &call) {
    Asks counting;
    delta_poll never{ask, &counting, 0};
    EXPECT_EQ(take(call(&never)), take(call(nullptr)));
    ASSERT_GT(counting.count, 0) << "the work never asked";
    for (const int k : {1, counting.count / 2 + 1, counting.count}) {
        Asks stopping{0, k};
        delta_poll poll{ask, &stopping, 0};
        EXPECT_EQ(take(call(&poll)), "<null>") << k;
        EXPECT_EQ(poll.stopped, 1) << k;
        EXPECT_EQ(stopping.count, k);
    }
}

TEST(DeltaPoll, EveryLongWorkStops) {
    std::mt19937_64 rng(19);
    // A moved block keeps the exact engine searching; text keeps zstd busy on the literals.
    const std::string noise = random_bytes(rng, 1 << 17);
    const std::string moved = noise.substr(1 << 16) + noise.substr(0, 1 << 16);
    std::string text;
    while (text.size() < (2u << 20)) text += std::to_string(rng() % 100000) + " words, ";
    const std::string edited = mutate(rng, text.substr(1 << 20) + text.substr(0, 1 << 20), 500);
    const std::string wide = random_bytes(rng, 4 << 20), wide_other = random_bytes(rng, 4 << 20);
    const buf o = view(noise), n = view(moved), t = view(text), e = view(edited), w = view(wide),
              w2 = view(wide_other);
    check_stops([&](delta_poll *p) { return diff_generate_binary_polled(&o, &n, p); });
    check_stops([&](delta_poll *p) { return diff_generate_binary_fast_polled(&w, &w2, p); });
    check_stops([&](delta_poll *p) {
        return diff_generate_compact_polled(&t, &e, DIFF_COMPACT_LEVEL_DEFAULT, nullptr, nullptr,
                                            p);
    });

    // Both appliers: a bare delta of many one-byte copies, and a compact one of many bytes.
    std::string copies;
    for (int i = 0; i < (1 << 19); ++i) copies += std::string("\x00\x01", 2);
    const buf bare = view(copies);
    buf *compact = diff_generate_compact(&w, &w2, 1);
    ASSERT_NE(compact, nullptr);
    for (const buf *d : {&bare, static_cast<const buf *>(compact)}) {
        diff_apply_error error = DIFF_APPLY_OK;
        check_stops([&](delta_poll *p) { return diff_apply_polled(&w, d, &error, p); });
        EXPECT_EQ(error, DIFF_APPLY_STOPPED);
    }
    buf_free(compact);
}

} // namespace
