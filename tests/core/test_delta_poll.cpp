#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <future>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "delta/background_job.h"
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
    delta_poll never{ask, &counting, 0, nullptr, nullptr};
    EXPECT_EQ(take(call(&never)), take(call(nullptr)));
    ASSERT_GT(counting.count, 0) << "the work never asked";
    for (const int k : {1, counting.count / 2 + 1, counting.count}) {
        Asks stopping{0, k};
        delta_poll poll{ask, &stopping, 0, nullptr, nullptr};
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

// Blocked until released, as zstd is in a step that no poll can cut short.
struct Blocked {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> ran{false}, freed{false}, abandoned{false};
    int asks = 0;
};

// Says stop at its first ask; a join that kept on waiting would ask again and release the task.
delta_sink_status stop_then_release(void *task) {
    Blocked *blocked = static_cast<Blocked *>(task);
    if (++blocked->asks == 1) return DELTA_SINK_STOP;
    blocked->release.set_value();
    return DELTA_SINK_CONTINUE;
}

void run_blocked(void *task, const background_job *job) {
    static_cast<Blocked *>(task)->released.wait();
    static_cast<Blocked *>(task)->abandoned = background_job_abandoned(job) != 0;
    static_cast<Blocked *>(task)->ran = true;
}

void free_blocked(void *task) { static_cast<Blocked *>(task)->freed = true; }

TEST(DeltaPoll, AStopLeavesTheJobToFreeItsTask) {
    Blocked blocked;
    delta_poll poll{stop_then_release, &blocked, 0, nullptr, nullptr};
    background_job *job = background_job_start(run_blocked, free_blocked, &blocked);
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(background_job_join(job, &poll), 0);
    EXPECT_EQ(poll.stopped, 1);
    ASSERT_EQ(blocked.asks, 1);
    EXPECT_FALSE(blocked.ran || blocked.freed);
    blocked.release.set_value();
    background_jobs_wait();
    EXPECT_TRUE(blocked.ran && blocked.freed && blocked.abandoned);
}

// Holders of values that a job may read in place: the last to let go makes them unreadable.
struct Holders {
    std::atomic<int> count{1}; // the caller's own
    std::atomic<int> most{1};
    void *pages;
    size_t size;
};

void hold(void *inputs, int add) {
    Holders *h = static_cast<Holders *>(inputs);
    if (add)
        h->most = std::max(h->most.load(), ++h->count);
    else if (--h->count == 0)
        mprotect(h->pages, h->size, PROT_NONE);
}

// Two steps of zstd take long in one call: from level 7 all of the literals' coding, and at any
// level the indexing of a large old value as their prefix. Each runs on a job, which reads the old
// value in place when the caller holds it (else a copy, for the first). Either way: the same bytes
// as without a poll, and a stop at the first ask (nothing asks before the job: 48 KiB of unrelated
// new bytes are less than one poll's work for the scan) returns null at once. The values become
// unreadable when the last holder lets go, and the job must not crash on them then (nor leak).
TEST(DeltaPoll, SlowStreamsStopOnAJob) {
    std::mt19937_64 rng(7);
    for (const auto &[old_size, levels, held] :
         {std::tuple<size_t, std::vector<int>, bool>{1 << 18, {7, DIFF_COMPACT_LEVEL_MAX}, false},
          {1 << 18, {DIFF_COMPACT_LEVEL_MAX}, true},
          {4 << 20, {3}, true}}) {
        const size_t size = old_size + (48 << 10);
        void *pages =
            mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(pages, MAP_FAILED);
        memcpy(pages, random_bytes(rng, size, 4).data(), size);
        uint8_t *bytes = static_cast<uint8_t *>(pages);
        const buf o{bytes, old_size, old_size},
            n{bytes + old_size, size - old_size, size - old_size};
        Holders holders{1, 1, pages, size};
        Asks counting, stopping{0, 1};
        delta_poll never{ask, &counting, 0, held ? hold : nullptr, &holders},
            poll{ask, &stopping, 0, held ? hold : nullptr, &holders};
        for (const int level : levels)
            EXPECT_EQ(take(diff_generate_compact_polled(&o, &n, level, nullptr, nullptr, &never)),
                      take(diff_generate_compact(&o, &n, level)))
                << level;
        EXPECT_EQ(diff_generate_compact_polled(&o, &n, levels.back(), nullptr, nullptr, &poll),
                  nullptr);
        EXPECT_TRUE(poll.stopped == 1 && stopping.count == 1) << old_size;
        hold(&holders, 0);
        background_jobs_wait();
        EXPECT_TRUE(holders.count == 0 && holders.most == 1 + held) << old_size;
        munmap(pages, size);
    }
}

} // namespace
