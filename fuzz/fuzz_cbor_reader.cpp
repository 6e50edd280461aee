// cbor_reader_walk against a recursive reading written apart from it: same status at same offset,
// events nested inside the input, floats widened as the reference does, a builder's stop obeyed.
#include <cmath>
#include <vector>

#include "cbor/cbor_reader.h"
#include "cbor_reference.h"
#include "fuzz_support.h"

namespace {

// Valid UTF-8 by decoding each code point and checking it against the shortest form for its value.
bool valid_utf8(const uint8_t *p, uint64_t n) {
    for (uint64_t i = 0; i < n;) {
        const uint8_t c = p[i];
        const unsigned len = c < 0x80         ? 1
                             : (c >> 5) == 6  ? 2
                             : (c >> 4) == 14 ? 3
                             : (c >> 3) == 30 ? 4
                                              : 0;
        if (len == 0 || n - i < len) return false;
        uint32_t cp = len == 1 ? c : c & (0x7F >> len);
        for (unsigned k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = cp << 6 | (p[i + k] & 0x3F);
        }
        const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < least[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

struct Reference {
    const uint8_t *p;
    uint64_t n;
    uint64_t max_depth;
    cbor_reader_status status = CBOR_READER_OK;
    uint64_t at = 0;

    bool fail(cbor_reader_status s, uint64_t where) {
        status = s;
        at = where;
        return false;
    }
    // The head at pos: false (truncated) when its argument is cut short.
    bool head(uint64_t &pos, uint64_t &arg) {
        const unsigned info = p[pos] & 31, width = info >= 24 && info <= 27 ? 1u << (info - 24) : 0;
        if (n - pos - 1 < width) return false;
        arg = info < 24 ? info : 0;
        for (unsigned k = 1; k <= width; ++k) arg = arg << 8 | p[pos + k];
        pos += 1 + width;
        return true;
    }
    bool string(uint64_t &pos, unsigned major, uint64_t start, uint64_t arg) {
        if (arg > n - pos) return fail(CBOR_READER_TRUNCATED, start);
        if (major == 3 && !valid_utf8(p + pos, arg)) return fail(CBOR_READER_INVALID_UTF8, start);
        pos += arg;
        return true;
    }
    // promised: the items enclosing definite containers still need, besides those in progress.
    bool item(uint64_t &pos, uint64_t level, uint64_t promised) {
        if (pos >= n) return fail(CBOR_READER_TRUNCATED, pos);
        const uint64_t start = pos;
        const unsigned major = p[pos] >> 5, info = p[pos] & 31;
        if (p[pos] == 0xFF) return fail(CBOR_READER_MISPLACED_BREAK, pos);
        if (info >= 28 && info <= 30) return fail(CBOR_READER_RESERVED_INFO, pos);
        if (max_depth && level > max_depth) return fail(CBOR_READER_TOO_DEEP, pos);
        uint64_t arg = 0;
        if (!head(pos, arg)) return fail(CBOR_READER_TRUNCATED, start);
        if (info == 31 && (major < 2 || major > 5)) return fail(CBOR_READER_INDEFINITE_ITEM, start);
        if (major == 7 && info == 24 && arg < 32) return fail(CBOR_READER_BAD_SIMPLE, start);
        if (major == 6) return item(pos, level, promised);
        if ((major == 2 || major == 3) && info != 31) return string(pos, major, start, arg);
        if (major == 2 || major == 3) {
            for (;;) {
                if (pos >= n) return fail(CBOR_READER_TRUNCATED, pos);
                const uint64_t chunk = pos;
                if (p[pos] == 0xFF) return ++pos, true;
                if ((p[pos] & 31) >= 28 && (p[pos] & 31) <= 30)
                    return fail(CBOR_READER_RESERVED_INFO, pos);
                if (p[pos] >> 5 != major || (p[pos] & 31) == 31)
                    return fail(CBOR_READER_BAD_CHUNK, pos);
                if (!head(pos, arg)) return fail(CBOR_READER_TRUNCATED, chunk);
                if (!string(pos, major, chunk, arg)) return false;
            }
        }
        if (major == 4 || major == 5) {
            const unsigned per = major == 4 ? 1 : 2;
            const unsigned __int128 items = static_cast<unsigned __int128>(arg) * per;
            if (info != 31 && items + promised > n - pos) return fail(CBOR_READER_TRUNCATED, start);
            for (uint64_t k = 0; info == 31 || k < arg; ++k) {
                if (info == 31 && pos >= n) return fail(CBOR_READER_TRUNCATED, pos);
                if (info == 31 && p[pos] == 0xFF) return ++pos, true;
                for (unsigned e = 0; e < per; ++e) {
                    const uint64_t later =
                        info == 31 ? 0 : static_cast<uint64_t>(items) - (k * per + e) - 1;
                    if (!item(pos, level + 1, promised + later)) return false;
                }
            }
        }
        return true;
    }
};

struct Recorder {
    std::vector<cbor_reader_event> events;
    size_t stop_at = SIZE_MAX;
};

int record(void *context, const cbor_reader_event *ev) {
    auto *r = static_cast<Recorder *>(context);
    r->events.push_back(*ev);
    return r->events.size() > r->stop_at;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const uint64_t max_depth = size % 3 == 0 ? 0 : size % 7;
    Reference ref{data, size, max_depth};
    uint64_t pos = 0;
    if (ref.item(pos, 0, 0) && pos != size) ref.fail(CBOR_READER_TRAILING_BYTES, pos);
    if (ref.status == CBOR_READER_OK) ref.at = size;

    Recorder rec;
    uint64_t at = 0;
    const cbor_reader_status status = cbor_reader_walk(data, size, max_depth, record, &rec, &at);
    FUZZ_CHECK(status == ref.status && at == ref.at, "status %d at %llu, the reference %d at %llu",
               status, (unsigned long long)at, ref.status, (unsigned long long)ref.at);

    int64_t open = 0;
    for (const cbor_reader_event &ev : rec.events) {
        FUZZ_CHECK(ev.offset < size, "event outside the input");
        const bool starts = ev.kind >= CBOR_READER_BYTES_START && ev.kind <= CBOR_READER_TAG;
        open += starts ? 1 : ev.kind == CBOR_READER_END ? -1 : 0;
        FUZZ_CHECK(open >= 0, "more ends than starts");
        if (ev.kind == CBOR_READER_BYTES || ev.kind == CBOR_READER_TEXT) {
            FUZZ_CHECK(ev.data >= data &&
                           ev.argument <= size - static_cast<uint64_t>(ev.data - data),
                       "string bounds");
            FUZZ_CHECK(ev.kind == CBOR_READER_BYTES ||
                           ev.ascii == (cbor_reader_utf8_check(ev.data, ev.argument) == 1),
                       "ascii flag");
        }
        if (ev.kind == CBOR_READER_FLOAT) {
            const cbor_ref::Item it = cbor_ref::read(data + ev.offset, size - ev.offset);
            const double expected = cbor_ref::ieee_value(it.float_bits, 11, 52);
            FUZZ_CHECK(std::isnan(expected) ? std::isnan(ev.number)
                                            : cbor_ref::bits_of(ev.number) == it.float_bits,
                       "float at %llu", (unsigned long long)ev.offset);
        }
    }
    FUZZ_CHECK(status != CBOR_READER_OK || open == 0, "unbalanced events");

    if (!rec.events.empty()) {
        Recorder half;
        half.stop_at = rec.events.size() / 2;
        const cbor_reader_status stopped =
            cbor_reader_walk(data, size, max_depth, record, &half, &at);
        FUZZ_CHECK(stopped == CBOR_READER_STOPPED && half.events.size() == half.stop_at + 1 &&
                       at == rec.events[half.stop_at].offset,
                   "stop not obeyed");
    }
    return 0;
}
