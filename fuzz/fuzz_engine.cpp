// myers_binary_diff at every delta quality, with small bail-out and storage
// limits, over arbitrary windows of an arbitrary old and new value.
//
// The coalescing script's observer seam hands every call to the recorder
// below instead of the script. It rebuilds the new window from the old one as the calls arrive and
// check the engine's side of the calling contract: calls in new-value order,
// every match within the old window and equal to the new bytes it stands
// for, two matches with nothing between them contiguous in the old value
// (the real script extends a run by length alone), inserts contiguous, close
// called once and last with the window's lengths, the new window rebuilt
// exactly, and no call at all after a 0 (which the recorder returns at a
// fuzzed call to exercise the engine's stop path).
//
// Input: quality byte, limit selector, storage selector, stop-after count,
// window mode, four 16-bit window numbers, old length (2 bytes), old, new.
#include <cstdint>
#include <cstring>
#include <vector>

#include "coallescing_script.h"
#include "edit_script.h"
#include "execution.h"
#include "fuzz_support.h"
#include "quality.h"

namespace {

enum Event { NONE, MATCH, INSERT, DELETE };

struct Recorder {
    const uint8_t *old_bytes;
    const uint8_t *new_bytes;
    int64_t old_begin, old_end, new_begin, new_end;
    int64_t new_cursor;   // absolute position of the next new byte to rebuild
    int64_t old_floor;    // matches never go back before the end of the last one
    int64_t last_match_end;
    Event last;
    long counted;         // calls that could have stopped the run
    long stop_after;      // 0: never stop
    int close_result;
    bool stopped;
    bool closed;
};

Recorder rec;

int answer() {
    ++rec.counted;
    if (rec.stop_after != 0 && rec.counted == rec.stop_after) {
        rec.stopped = true;
        return 0;
    }
    return 1;
}

void check_live(const char *call) {
    FUZZ_CHECK(!rec.stopped, "%s after the script asked to stop", call);
    FUZZ_CHECK(!rec.closed, "%s after close", call);
}

const int32_t kLimits[8] = {-1, 0, 2, 1, 8, 64, -100, 10000};

int on_match(int32_t old_position, int32_t length) {
    check_live("match");
    if (length < 1) return 1; // a no-op for the real script too
    const int64_t o = old_position, n = length;
    FUZZ_CHECK(o >= rec.old_begin && o + n <= rec.old_end, "match (%lld, %lld) outside the old window",
               (long long)o, (long long)n);
    FUZZ_CHECK(o >= rec.old_floor, "match at %lld goes back before %lld", (long long)o, (long long)rec.old_floor);
    FUZZ_CHECK(rec.new_cursor + n <= rec.new_end, "match of %lld runs past the new window", (long long)n);
    FUZZ_CHECK(std::memcmp(rec.old_bytes + o, rec.new_bytes + rec.new_cursor, n) == 0,
               "match (%lld, %lld) at new %lld: bytes differ", (long long)o, (long long)n,
               (long long)rec.new_cursor);
    if (rec.last == MATCH) {
        FUZZ_CHECK(o == rec.last_match_end, "matches at %lld and %lld with no delete between",
                   (long long)rec.last_match_end, (long long)o);
    }
    rec.new_cursor += n;
    rec.old_floor = rec.last_match_end = o + n;
    rec.last = MATCH;
    return answer();
}

int on_insert(int32_t new_position, int32_t length) {
    check_live("insert");
    if (length < 1) return 1;
    FUZZ_CHECK(new_position == rec.new_cursor, "insert at %d, new bytes rebuilt up to %lld", new_position,
               (long long)rec.new_cursor);
    FUZZ_CHECK(rec.new_cursor + length <= rec.new_end, "insert of %d runs past the new window", length);
    rec.new_cursor += length;
    rec.last = INSERT;
    return answer();
}

int on_delete() {
    check_live("delete");
    rec.last = DELETE;
    return answer();
}

int on_close(int32_t old_length, int32_t new_length) {
    check_live("close");
    FUZZ_CHECK(old_length == rec.old_end - rec.old_begin && new_length == rec.new_end - rec.new_begin,
               "close(%d, %d) for a window of %lld and %lld", old_length, new_length,
               (long long)(rec.old_end - rec.old_begin), (long long)(rec.new_end - rec.new_begin));
    FUZZ_CHECK(rec.new_cursor == rec.new_end, "closed with the new window rebuilt up to %lld of %lld",
               (long long)(rec.new_cursor - rec.new_begin), (long long)(rec.new_end - rec.new_begin));
    rec.closed = true;
    return rec.close_result;
}

int observe(void *, char kind, int32_t a, int32_t b) {
    switch (kind) {
    case 'M': return on_match(a, b);
    case 'I': return on_insert(a, b);
    case 'D': return on_delete();
    default: return on_close(a, b);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Input in(data, size);
    const uint32_t quality = in.byte();
    const int32_t limit = kLimits[in.byte() % 8];
    const uint8_t storage_sel = in.byte();
    const uint64_t storage_limit = storage_sel == 0 ? 0x7FFFFFFFu : storage_sel;
    const uint8_t stop_after = in.byte();
    const uint8_t mode = in.byte();
    uint16_t w[4];
    for (auto &x : w) x = in.u16();
    fuzz::ValuePair values = fuzz::split_values(in);
    std::vector<uint8_t> &old_copy = values.first;
    std::vector<uint8_t> &new_copy = values.second;
    buf old_value = fuzz::view_of(old_copy);
    buf new_value = fuzz::view_of(new_copy);
    const int64_t old_size = static_cast<int64_t>(old_copy.size());
    const int64_t new_size = static_cast<int64_t>(new_copy.size());

    int32_t os = 0, ol = static_cast<int32_t>(old_size), ns = 0, nl = static_cast<int32_t>(new_size);
    if (mode & 2) { // raw numbers, negative ones and ranges past the end included
        os = static_cast<int16_t>(w[0]);
        ol = static_cast<int16_t>(w[1]);
        ns = static_cast<int16_t>(w[2]);
        nl = static_cast<int16_t>(w[3]);
        if (mode & 4) os = 0x7FFFFFFF - (w[0] & 0xFF); // sums that overflow 32 bits
    } else if (mode & 1) { // a valid sub-window of each value
        os = static_cast<int32_t>(w[0] % (old_size + 1));
        ol = static_cast<int32_t>(w[1] % (old_size - os + 1));
        ns = static_cast<int32_t>(w[2] % (new_size + 1));
        nl = static_cast<int32_t>(w[3] % (new_size - ns + 1));
    }
    const bool valid = os >= 0 && ol >= 0 && ns >= 0 && nl >= 0 && int64_t{os} + ol <= old_size &&
                       int64_t{ns} + nl <= new_size;

    rec = Recorder{};
    rec.old_bytes = old_copy.data();
    rec.new_bytes = new_copy.data();
    rec.old_begin = rec.old_floor = rec.last_match_end = os;
    rec.old_end = int64_t{os} + ol;
    rec.new_begin = rec.new_cursor = ns;
    rec.new_end = int64_t{ns} + nl;
    rec.last = NONE;
    rec.stop_after = stop_after;
    rec.close_result = (mode >> 4) % 3;

    edit_script *script = edit_script_create(&old_value, &new_value);
    FUZZ_CHECK(script != nullptr, "edit_script_create");
    coallescing_script_observe(observe, nullptr);
    const int32_t result = myers_binary_diff(&old_value, os, ol, &new_value, ns, nl, script, storage_limit,
                                             quality_pack(quality, limit));
    coallescing_script_observe(nullptr, nullptr);
    edit_script_free(script);

    if (!valid) {
        FUZZ_CHECK(result == -1, "window (%d, %d, %d, %d) over %lld and %lld bytes accepted with %d", os, ol, ns,
                   nl, (long long)old_size, (long long)new_size, result);
        FUZZ_CHECK(rec.counted == 0 && !rec.closed, "calls made for an invalid window");
        return 0;
    }
    if (rec.stopped) {
        FUZZ_CHECK(result == 1 && !rec.closed, "stopped run gave %d", result);
    } else if (rec.closed) {
        FUZZ_CHECK(result == rec.close_result, "close said %d, myers_binary_diff returned %d", rec.close_result,
                   result);
    } else {
        // Only the storage limit may end a run early without the script
        // asking for it.
        FUZZ_CHECK(storage_sel != 0, "run ended without close under the default storage limit");
        FUZZ_CHECK(result == 1, "unfinished run gave %d", result);
    }
    return 0;
}
