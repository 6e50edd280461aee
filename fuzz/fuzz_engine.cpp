// myers_binary_diff at every quality, small bail-out and storage limits, arbitrary windows.
// observe() rebuilds the new window as calls arrive: new-value order, matches inside the old window
// and equal to the new bytes, back-to-back matches contiguous (the real script extends a run by
// length alone), close once and last, no call after a fuzzed 0. Input: quality, limit, storage and
// stop-after selectors, window mode, four 16-bit window numbers, old length (2 bytes), old, new.
#include <cstring>

#include "delta/exact/coalescing_script.h"
#include "delta/exact/execution.h"
#include "delta/policy/quality.h"
#include "fuzz_support.h"

namespace {

struct Recorder {
    const uint8_t *old_bytes, *new_bytes;
    int64_t old_begin, old_end, new_begin, new_end, new_cursor, last_match_end;
    char last;
    long counted, stop_after; // 0: never stop
    int close_result;
    bool stopped, closed;
} rec;

int observe(void *, char kind, int32_t a, int32_t b) {
    FUZZ_CHECK(!rec.stopped && !rec.closed, "call '%c' after a stop or close", kind);
    if (kind == 'C') {
        FUZZ_CHECK(a == rec.old_end - rec.old_begin && b == rec.new_end - rec.new_begin &&
                       rec.new_cursor == rec.new_end,
                   "close(%d, %d) with the new window rebuilt up to %lld", a, b,
                   (long long)(rec.new_cursor - rec.new_begin));
        rec.closed = true;
        return rec.close_result;
    }
    if (kind != 'D' && b < 1) return 1; // a no-op for the real script too
    FUZZ_CHECK(kind == 'D' || rec.new_cursor + b <= rec.new_end,
               "%c(%d, %d) runs past the new window", kind, a, b);
    FUZZ_CHECK(kind != 'I' || a == rec.new_cursor, "insert at %d, rebuilt up to %lld", a,
               (long long)rec.new_cursor);
    if (kind == 'M') {
        FUZZ_CHECK(
            a >= rec.last_match_end && a + int64_t{b} <= rec.old_end &&
                (rec.last != 'M' || a == rec.last_match_end),
            "match (%d, %d) outside the old window, going back, or apart from the match before it",
            a, b);
        FUZZ_CHECK(std::memcmp(rec.old_bytes + a, rec.new_bytes + rec.new_cursor, b) == 0,
                   "match (%d, %d): bytes differ", a, b);
        rec.last_match_end = a + int64_t{b};
    }
    rec.new_cursor += kind == 'D' ? 0 : b;
    rec.last = kind;
    rec.stopped = ++rec.counted == rec.stop_after;
    return rec.stopped ? 0 : 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const int32_t limits[8] = {-1, 0, 2, 1, 8, 64, -100, 10000};
    fuzz::Input in(data, size);
    const uint32_t quality = in.byte();
    const int32_t limit = limits[in.byte() % 8];
    const uint8_t storage_sel = in.byte(), stop_after = in.byte(), mode = in.byte();
    int64_t w[4];
    for (auto &x : w) x = in.u16();
    fuzz::ValuePair values = fuzz::split_values(in);
    buf old_value = fuzz::view_of(values.first), new_value = fuzz::view_of(values.second);
    const int64_t old_size = static_cast<int64_t>(old_value.length),
                  new_size = static_cast<int64_t>(new_value.length);
    int32_t os = 0, ol = static_cast<int32_t>(old_size), ns = 0,
            nl = static_cast<int32_t>(new_size);
    // raw numbers, negative ones, ranges past the end and sums that overflow 32 bits
    if (mode & 2) {
        os = mode & 4 ? 0x7FFFFFFF - (w[0] & 0xFF) : static_cast<int16_t>(w[0]);
        ol = static_cast<int16_t>(w[1]), ns = static_cast<int16_t>(w[2]),
        nl = static_cast<int16_t>(w[3]);
    } else if (mode & 1) { // a valid sub-window of each value
        os = static_cast<int32_t>(w[0] % (old_size + 1)),
        ol = static_cast<int32_t>(w[1] % (old_size - os + 1));
        ns = static_cast<int32_t>(w[2] % (new_size + 1)),
        nl = static_cast<int32_t>(w[3] % (new_size - ns + 1));
    }
    const bool valid = os >= 0 && ol >= 0 && ns >= 0 && nl >= 0 && int64_t{os} + ol <= old_size &&
                       int64_t{ns} + nl <= new_size;
    rec = Recorder{};
    rec.old_bytes = old_value.data;
    rec.new_bytes = new_value.data;
    rec.old_begin = rec.last_match_end = os;
    rec.old_end = int64_t{os} + ol;
    rec.new_begin = rec.new_cursor = ns;
    rec.new_end = int64_t{ns} + nl;
    rec.stop_after = stop_after;
    rec.close_result = (mode >> 4) % 3;
    coallescing_script_observe(observe, nullptr);
    const int32_t result = myers_binary_diff(&old_value, os, ol, &new_value, ns, nl, nullptr,
                                             storage_sel == 0 ? 0x7FFFFFFFu : storage_sel,
                                             quality_pack(quality, limit));
    coallescing_script_observe(nullptr, nullptr);
    if (!valid)
        FUZZ_CHECK(result == SCRIPT_RESULT_INVALID_RANGE && rec.counted == 0 && !rec.closed,
                   "window (%d, %d, %d, %d) over %lld and %lld bytes gave %d", os, ol, ns, nl,
                   (long long)old_size, (long long)new_size, result);
    else if (rec.stopped)
        FUZZ_CHECK(result == SCRIPT_RESULT_REPLACE && !rec.closed, "stopped run gave %d", result);
    else if (rec.closed)
        FUZZ_CHECK(result == rec.close_result, "close said %d, myers_binary_diff returned %d",
                   rec.close_result, result);
    else // only the storage limit may end a run early without the script asking for it
        FUZZ_CHECK(storage_sel != 0 && result == SCRIPT_RESULT_REPLACE, "unfinished run gave %d",
                   result);
    return 0;
}
