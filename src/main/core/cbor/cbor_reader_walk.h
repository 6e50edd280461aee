/* The reader's walk, for C++ callers: cbor_reader_run<Sink> calls
 * sink.event(const cbor_reader_event &) for each event and stops when it
 * returns false. cbor_reader_walk is this walk over a C callback; the Python
 * builder instantiates it with its own sink, so that each of the millions of
 * events of a large document is an inlined call rather than one through a
 * pointer. The C API of cbor_reader.h is defined over it in
 * cbor_reader_walk.cpp. */
#ifndef CORVANTIS_CBOR_READER_WALK_H
#define CORVANTIS_CBOR_READER_WALK_H

#include <stdint.h>
#include <string.h>

#include "base/alloc.h"
#include "cbor/cbor_head.h"
#include "cbor/cbor_reader.h"

namespace cbor_reader_detail {

enum FrameType : uint8_t { FRAME_ARRAY, FRAME_MAP, FRAME_TAG, FRAME_BYTES, FRAME_TEXT };

struct Frame {
    uint64_t
        left; /* definite containers: items still to come (2 per pair); indefinite: items seen */
    FrameType type;
    uint8_t indefinite;
};

/* Frames of the open items: a few dozen inline, the rest on the heap. */
class Stack {
  public:
    Stack() = default;
    ~Stack() {
        if (frames_ != inline_) free(frames_);
    }
    Stack(const Stack &) = delete;
    Stack &operator=(const Stack &) = delete;

    bool push(uint64_t left, FrameType type, uint8_t indefinite) {
        if (size_ == capacity_ && !grow()) return false;
        frames_[size_++] = Frame{left, type, indefinite};
        return true;
    }
    Frame *top() { return size_ ? &frames_[size_ - 1] : nullptr; }
    void pop() { --size_; }

  private:
    bool grow() {
        const size_t capacity = capacity_ * 2;
        Frame *frames = static_cast<Frame *>(frames_ == inline_
                                                 ? core_malloc(capacity * sizeof(Frame))
                                                 : core_realloc(frames_, capacity * sizeof(Frame)));
        if (!frames) return false;
        if (frames_ == inline_) memcpy(frames, inline_, sizeof inline_);
        frames_ = frames;
        capacity_ = capacity;
        return true;
    }

    Frame inline_[48];
    Frame *frames_ = inline_;
    size_t size_ = 0;
    size_t capacity_ = 48;
};

static inline double bits_to_double(uint64_t bits) {
    double d;
    memcpy(&d, &bits, sizeof d);
    return d;
}

/* Half and single widen exactly: normal and subnormal values by their value,
 * infinities and NaNs (payload and sign kept) by moving the fields. */
static inline double half_to_double(uint64_t h) {
    const uint64_t sign = (h & 0x8000u) << 48;
    const uint64_t e = (h >> 10) & 31u;
    const uint64_t m = h & 0x3FFu;
    if (e == 31) return bits_to_double(sign | 0x7FF0000000000000ull | m << 42);
    if (e == 0) {
        const double magnitude = static_cast<double>(m) * 0x1p-24;
        return sign ? -magnitude : magnitude;
    }
    return bits_to_double(sign | (e + 1008) << 52 | m << 42);
}

static inline double single_to_double(uint64_t s) {
    if ((s & 0x7F800000u) == 0x7F800000u)
        return bits_to_double((s & 0x80000000u) << 32 | 0x7FF0000000000000ull |
                              (s & 0x7FFFFFu) << 29);
    uint32_t b = static_cast<uint32_t>(s);
    float f;
    memcpy(&f, &b, sizeof f);
    return static_cast<double>(f);
}

/* The high bits of data[0..n), n at most 8, from at most two loads. */
static inline uint64_t high_bits_short(const uint8_t *p, uint64_t n) {
    if (n >= 4) {
        uint32_t a, b;
        memcpy(&a, p, 4);
        memcpy(&b, p + n - 4, 4);
        return (a | b) & 0x80808080u;
    }
    return n == 0 ? 0 : (p[0] | p[n / 2] | p[n - 1]) & 0x80u;
}

/* The UTF-8 check, ASCII eight bytes at a time: most text is, and most
 * strings (map keys above all) are short. */
static inline int32_t utf8_check(const uint8_t *p, uint64_t n) {
    uint64_t i = 0;
    if (n <= 8) {
        if (high_bits_short(p, n) == 0) return 1;
    } else {
        for (; i + 8 <= n; i += 8) {
            uint64_t w;
            memcpy(&w, p + i, 8);
            if (w & 0x8080808080808080ull) break;
        }
        if (i + 8 > n) {
            uint64_t w;
            memcpy(&w, p + n - 8, 8);
            if ((w & 0x8080808080808080ull) == 0) return 1;
        }
    }
    while (i < n) {
        const uint8_t c = p[i];
        if (c < 0x80) {
            /* ASCII between other characters (spaces, digits, links). */
            for (++i; i + 8 <= n; i += 8) {
                uint64_t w;
                memcpy(&w, p + i, 8);
                if (w & 0x8080808080808080ull) break;
            }
            continue;
        }
        uint32_t need;
        uint8_t lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            need = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 2;
            if (c == 0xE0)
                lo = 0xA0; /* overlong */
            else if (c == 0xED)
                hi = 0x9F; /* surrogates */
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 3;
            if (c == 0xF0)
                lo = 0x90; /* overlong */
            else if (c == 0xF4)
                hi = 0x8F; /* past U+10FFFF */
        } else {
            return -1;
        }
        if (n - i - 1 < need) return -1;
        if (p[i + 1] < lo || p[i + 1] > hi) return -1;
        for (uint32_t k = 2; k <= need; ++k)
            if ((p[i + k] & 0xC0) != 0x80) return -1;
        i += need + 1;
    }
    return 0;
}

} // namespace cbor_reader_detail

template <typename Sink>
cbor_reader_status cbor_reader_run(const uint8_t *data, uint64_t size, uint64_t max_depth,
                                   Sink &sink, uint64_t *offset) {
    using namespace cbor_reader_detail;
    Stack stack;
    uint64_t pos = 0;
    uint64_t depth = 0; /* arrays and maps open around the next item */
    /* Items the open definite containers still need besides the one in
     * progress in each: bytes the input must still hold, at one a item. */
    uint64_t promised = 0;
    /* One compare per item for the depth check, and the open indefinite
     * string (they never nest) kept in a flag rather than read from the
     * stack for every item. */
    const uint64_t depth_limit = max_depth ? max_depth : UINT64_MAX;
    bool in_string = false;
    cbor_reader_event ev = {};
    cbor_reader_status status = CBOR_READER_OK;
    uint64_t at = 0;
#define CBOR_READER_FAIL(code, where)                                                              \
    do {                                                                                           \
        status = (code);                                                                           \
        at = (where);                                                                              \
        goto out;                                                                                  \
    } while (0)
#define CBOR_READER_EMIT()                                                                         \
    do {                                                                                           \
        if (!sink.event(ev)) CBOR_READER_FAIL(CBOR_READER_STOPPED, ev.offset);                     \
    } while (0)

    for (;;) {
        const uint64_t start = pos;
        if (pos >= size) CBOR_READER_FAIL(CBOR_READER_TRUNCATED, pos);
        const uint8_t initial = data[pos];
        const uint8_t major = initial >> 5;
        const uint8_t info = initial & 31;
        cbor_head head;
        uint64_t arg = 0;
        ev.offset = start;
        ev.indefinite = 0;
        ev.ascii = 0;
        if (initial == 0xFF) {
            Frame *top = stack.top();
            const bool closes =
                top && top->indefinite && (top->type != FRAME_MAP || top->left % 2 == 0);
            if (!closes) CBOR_READER_FAIL(CBOR_READER_MISPLACED_BREAK, start);
            if (top->type <= FRAME_MAP) --depth;
            in_string = false;
            stack.pop();
            ++pos;
            ev.kind = CBOR_READER_END;
            ev.argument = 0;
            CBOR_READER_EMIT();
            goto done;
        }
        if (info >= 28 && info <= 30) CBOR_READER_FAIL(CBOR_READER_RESERVED_INFO, start);
        if (in_string) {
            if (major != (stack.top()->type == FRAME_BYTES ? 2 : 3) || info == 31)
                CBOR_READER_FAIL(CBOR_READER_BAD_CHUNK, start);
        } else if (depth > depth_limit) {
            CBOR_READER_FAIL(CBOR_READER_TOO_DEEP, start);
        }
        {
            const int32_t head_size = _cbor_head_get(data + pos, size - pos, &head);
            if (head_size < 0) CBOR_READER_FAIL(CBOR_READER_TRUNCATED, start);
            if (info == 31 && (major < 2 || major > 5))
                CBOR_READER_FAIL(CBOR_READER_INDEFINITE_ITEM, start);
            pos += static_cast<uint64_t>(head_size);
            arg = head.argument;
        }
        ev.argument = arg;
        switch (major) {
        case 0:
        case 1:
            ev.kind = major == 0 ? CBOR_READER_UNSIGNED : CBOR_READER_NEGATIVE;
            CBOR_READER_EMIT();
            goto done;
        case 2:
        case 3:
            if (info == 31) {
                if (!stack.push(0, major == 2 ? FRAME_BYTES : FRAME_TEXT, 1))
                    CBOR_READER_FAIL(CBOR_READER_NO_MEMORY, start);
                in_string = true;
                ev.kind = major == 2 ? CBOR_READER_BYTES_START : CBOR_READER_TEXT_START;
                ev.argument = 0;
                ev.indefinite = 1;
                CBOR_READER_EMIT();
                continue;
            }
            if (arg > size - pos) CBOR_READER_FAIL(CBOR_READER_TRUNCATED, start);
            ev.data = data + pos;
            if (major == 3) {
                const int32_t check = utf8_check(data + pos, arg);
                if (check < 0) CBOR_READER_FAIL(CBOR_READER_INVALID_UTF8, start);
                ev.ascii = static_cast<uint8_t>(check);
            }
            ev.kind = major == 2 ? CBOR_READER_BYTES : CBOR_READER_TEXT;
            pos += arg;
            CBOR_READER_EMIT();
            if (in_string) continue; /* a chunk, not an item */
            goto done;
        case 4:
        case 5: {
            const FrameType type = major == 4 ? FRAME_ARRAY : FRAME_MAP;
            ev.kind = major == 4 ? CBOR_READER_ARRAY_START : CBOR_READER_MAP_START;
            if (info == 31) {
                ev.argument = 0;
                ev.indefinite = 1;
            } else {
                /* Every item takes at least one byte, and so do the items
                 * the enclosing containers still need: a builder that
                 * sizes every open container from its count never holds
                 * more slots than the input has bytes left. */
                const uint64_t room = size - pos;
                if (arg > room || (major == 5 && arg > room / 2) ||
                    promised > room - (major == 4 ? arg : 2 * arg))
                    CBOR_READER_FAIL(CBOR_READER_TRUNCATED, start);
            }
            CBOR_READER_EMIT();
            if (info != 31 && arg == 0) {
                ev.kind = CBOR_READER_END;
                CBOR_READER_EMIT();
                goto done;
            }
            if (!stack.push(info == 31 ? 0 : major == 4 ? arg : 2 * arg, type, info == 31))
                CBOR_READER_FAIL(CBOR_READER_NO_MEMORY, start);
            if (info != 31) promised += (major == 4 ? arg : 2 * arg) - 1;
            ++depth;
            if (major == 4 && info != 31 && depth <= depth_limit) {
                /* Numbers in a definite array (coordinates, series, ids):
                 * a tight loop that skips the checks no number needs. Any
                 * other item, and any head the input cuts short, goes
                 * back to the general path, which reports it. */
                Frame *frame = stack.top();
                while (pos < size) {
                    const uint8_t b = data[pos];
                    const bool number = (b < 0x40 && (b & 31) <= 27) || (b >= 0xF9 && b <= 0xFB);
                    if (!number) break;
                    const int32_t head_size = _cbor_head_get(data + pos, size - pos, &head);
                    if (head_size < 0) break;
                    ev.offset = pos;
                    pos += static_cast<uint64_t>(head_size);
                    if (b >= 0xF9) {
                        ev.kind = CBOR_READER_FLOAT;
                        ev.number = b == 0xF9   ? half_to_double(head.argument)
                                    : b == 0xFA ? single_to_double(head.argument)
                                                : bits_to_double(head.argument);
                        ev.argument = 0;
                    } else {
                        ev.kind = b < 0x20 ? CBOR_READER_UNSIGNED : CBOR_READER_NEGATIVE;
                        ev.argument = head.argument;
                    }
                    CBOR_READER_EMIT();
                    if (--frame->left != 0) {
                        --promised;
                        continue;
                    }
                    --depth;
                    stack.pop();
                    ev.kind = CBOR_READER_END;
                    ev.argument = 0;
                    ev.offset = pos - 1;
                    CBOR_READER_EMIT();
                    goto done;
                }
            }
            continue;
        }
        case 6:
            if (!stack.push(1, FRAME_TAG, 0)) CBOR_READER_FAIL(CBOR_READER_NO_MEMORY, start);
            ev.kind = CBOR_READER_TAG;
            CBOR_READER_EMIT();
            continue;
        default:
            if (info == 25 || info == 26 || info == 27) {
                ev.kind = CBOR_READER_FLOAT;
                ev.number = info == 25   ? half_to_double(arg)
                            : info == 26 ? single_to_double(arg)
                                         : bits_to_double(arg);
                ev.argument = 0;
            } else {
                if (info == 24 && arg < 32) CBOR_READER_FAIL(CBOR_READER_BAD_SIMPLE, start);
                ev.kind = CBOR_READER_SIMPLE;
            }
            CBOR_READER_EMIT();
            goto done;
        }

    done:
        /* An item is complete: close every enclosing tag and definite
         * container it completes. */
        for (;;) {
            Frame *frame = stack.top();
            if (!frame) {
                if (pos != size) CBOR_READER_FAIL(CBOR_READER_TRAILING_BYTES, pos);
                at = pos;
                goto out;
            }
            if (frame->indefinite) {
                ++frame->left;
                break;
            }
            if (--frame->left != 0) {
                --promised; /* not a tag: a tag's one item always closes it */
                break;
            }
            if (frame->type != FRAME_TAG) --depth;
            stack.pop();
            ev.kind = CBOR_READER_END;
            ev.argument = 0;
            ev.offset = pos - 1;
            CBOR_READER_EMIT();
        }
    }
out:
#undef CBOR_READER_FAIL
#undef CBOR_READER_EMIT
    if (offset) *offset = at;
    return status;
}

#endif
