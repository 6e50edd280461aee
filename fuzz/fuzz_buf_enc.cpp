// The buffer encodings' readers over arbitrary bytes, compared with a plain
// LEB128 decoder written here, and the writers read back.
//
// The readers do not know where the content ends: their contract is that the
// caller guarantees the bytes are there. The harness honours it. The input
// is copied into a heap block followed by exactly kPad zero bytes, the
// longest read a LEB128 reader makes, and a reader is only started at an
// offset inside the input; a string is only read when its prefix and all of
// its bytes lie inside the block. Any read beyond what the contract allows
// therefore leaves the block and is reported by AddressSanitizer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "buf.h"
#include "buf_enc.h"
#include "fuzz_support.h"

static const size_t kPad = 10;

struct Leb {
    bool ok;
    uint64_t value;
    size_t consumed;
};

static Leb ref_leb32(const uint8_t *p) {
    uint32_t v = 0;
    for (size_t k = 0; k < 4; ++k) {
        v |= static_cast<uint32_t>(p[k] & 0x7F) << (7 * k);
        if (!(p[k] & 0x80)) return {true, v, k + 1};
    }
    if (p[4] & 0x80) return {false, 0, 0};
    v |= static_cast<uint32_t>(p[4] & 0x0F) << 28;
    return {true, v, 5};
}

static Leb ref_leb64(const uint8_t *p) {
    uint64_t v = 0;
    for (size_t k = 0; k < 9; ++k) {
        v |= static_cast<uint64_t>(p[k] & 0x7F) << (7 * k);
        if (!(p[k] & 0x80)) return {true, v, k + 1};
    }
    if (p[9] & 0x80) return {false, 0, 0};
    v |= static_cast<uint64_t>(p[9] & 1) << 63;
    return {true, v, 10};
}

static std::vector<uint8_t> ref_encode(uint64_t v) {
    std::vector<uint8_t> out;
    while (v >= 0x80) {
        out.push_back(static_cast<uint8_t>((v & 0x7F) | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<uint8_t>(v));
    return out;
}

static bool buf_equals(const buf *b, const std::vector<uint8_t> &want) {
    return b->length == want.size() && (want.empty() || std::memcmp(b->data, want.data(), want.size()) == 0);
}

// One reader call at p (inside the input, kPad readable bytes after it at
// least). Returns how far to move on.
static size_t read_one(unsigned op, const uint8_t *p, size_t in_block) {
    const bool skip = op & 8; // exercise the null-output form
    switch (op & 7) {
    case 0: {
        Leb ref = ref_leb32(p);
        uint32_t out = 0xA5A5A5A5u;
        const uint8_t *next = buf_read_uint32_enc(p, skip ? nullptr : &out);
        if (!ref.ok) {
            FUZZ_CHECK(next == nullptr && out == 0xA5A5A5A5u, "over-long 32-bit value accepted");
            return 1;
        }
        FUZZ_CHECK(next == p + ref.consumed, "uint32_enc consumed %td, expected %zu", next - p, ref.consumed);
        if (!skip) FUZZ_CHECK(out == ref.value, "uint32_enc %u, expected %llu", out, (unsigned long long)ref.value);
        return ref.consumed;
    }
    case 1: {
        Leb ref = ref_leb64(p);
        uint64_t out = 0xA5A5A5A5A5A5A5A5ull;
        const uint8_t *next = buf_read_uint64_enc(p, skip ? nullptr : &out);
        if (!ref.ok) {
            FUZZ_CHECK(next == nullptr && out == 0xA5A5A5A5A5A5A5A5ull, "over-long 64-bit value accepted");
            return 1;
        }
        FUZZ_CHECK(next == p + ref.consumed, "uint64_enc consumed %td, expected %zu", next - p, ref.consumed);
        if (!skip) FUZZ_CHECK(out == ref.value, "uint64_enc %llu, expected %llu", (unsigned long long)out,
                              (unsigned long long)ref.value);
        return ref.consumed;
    }
    case 2: {
        Leb ref = ref_leb64(p);
        if (!ref.ok) {
            char *s = nullptr;
            uint64_t n = 7;
            FUZZ_CHECK(buf_read_string_length_enc(p, &s, &n) == nullptr && s == nullptr && n == 7,
                       "string with an over-long length accepted");
            return 1;
        }
        // Only a string whose bytes are all there may be read.
        if (ref.value > in_block - ref.consumed) return ref.consumed;
        char *s = nullptr;
        uint64_t n = 0;
        const uint8_t *next = buf_read_string_length_enc(p, skip ? nullptr : &s, &n);
        FUZZ_CHECK(next == p + ref.consumed + ref.value, "string reader stopped at %td", next - p);
        FUZZ_CHECK(n == ref.value, "string length %llu, expected %llu", (unsigned long long)n,
                   (unsigned long long)ref.value);
        if (!skip) {
            FUZZ_CHECK(s != nullptr, "no string copy");
            FUZZ_CHECK(std::memcmp(s, p + ref.consumed, n) == 0 && s[n] == 0, "string copy differs");
            std::free(s);
        }
        return ref.consumed + ref.value;
    }
    case 3: {
        Leb ref = ref_leb32(p);
        float out = 1.5f;
        const uint8_t *next = buf_read_float(p, skip ? nullptr : &out);
        if (!ref.ok) {
            FUZZ_CHECK(next == nullptr, "over-long float accepted");
            return 1;
        }
        FUZZ_CHECK(next == p + ref.consumed, "float consumed %td", next - p);
        if (!skip) {
            uint32_t bits;
            std::memcpy(&bits, &out, sizeof bits);
            FUZZ_CHECK(bits == ref.value, "float bits %08x, expected %08llx", bits, (unsigned long long)ref.value);
        }
        return ref.consumed;
    }
    case 4: {
        uint8_t out = 0xA5;
        const uint8_t *next = buf_read_bool(p, skip ? nullptr : &out);
        if (!skip && p[0] > 1) {
            FUZZ_CHECK(next == nullptr && out == 0xA5, "bool byte %02x accepted", p[0]);
        } else {
            FUZZ_CHECK(next == p + 1, "bool consumed %td", next - p);
            if (!skip) FUZZ_CHECK(out == p[0], "bool %u, expected %u", out, p[0]);
        }
        return 1;
    }
    case 5: {
        uint8_t b8 = 0;
        uint32_t b32 = 0;
        uint64_t b64 = 0;
        FUZZ_CHECK(buf_read_byte(p, &b8) == p + 1 && b8 == p[0], "read_byte");
        FUZZ_CHECK(buf_read_uint32(p, &b32) == p + 4 && b32 == (uint32_t)((p[0] << 24) | (p[1] << 16) | (p[2] << 8) | p[3]),
                   "read_uint32");
        uint64_t want = 0;
        for (int i = 0; i < 8; ++i) want = (want << 8) | p[i];
        FUZZ_CHECK(buf_read_uint64(p, &b64) == p + 8 && b64 == want, "read_uint64");
        return 1;
    }
    default:
        return 1;
    }
}

// Writers: the value at p written in each form and read back.
static void write_and_read_back(const uint8_t *p, size_t avail) {
    uint64_t v = 0;
    std::memcpy(&v, p, 8);
    v >>= (p[8] & 63); // spread the values over every encoded length
    buf *b = buf_create();
    FUZZ_CHECK(b != nullptr, "buf_create");

    buf_write_uint64_enc(b, v);
    FUZZ_CHECK(buf_equals(b, ref_encode(v)), "uint64_enc of %llu not shortest LEB128", (unsigned long long)v);
    uint64_t back64 = 0;
    FUZZ_CHECK(buf_read_uint64_enc(b->data, &back64) == b->data + b->length && back64 == v, "uint64 round trip");

    buf *b32 = buf_create();
    buf_write_uint32_enc(b32, static_cast<uint32_t>(v));
    FUZZ_CHECK(buf_equals(b32, ref_encode(static_cast<uint32_t>(v))), "uint32_enc not shortest LEB128");
    uint32_t back32 = 0;
    FUZZ_CHECK(buf_read_uint32_enc(b32->data, &back32) == b32->data + b32->length &&
                   back32 == static_cast<uint32_t>(v),
               "uint32 round trip");
    buf_free(b32);

    size_t n = p[9] <= avail - 10 ? p[9] : avail - 10;
    buf *bs = buf_create();
    buf_write_string_length_enc(bs, p + 10, n);
    std::vector<uint8_t> want = ref_encode(n);
    want.insert(want.end(), p + 10, p + 10 + n);
    FUZZ_CHECK(buf_equals(bs, want), "string_length_enc of %zu bytes", n);
    char *s = nullptr;
    uint64_t len = 0;
    FUZZ_CHECK(buf_read_string_length_enc(bs->data, &s, &len) == bs->data + bs->length && len == n &&
                   std::memcmp(s, p + 10, n) == 0 && s[n] == 0,
               "string round trip");
    std::free(s);
    buf_free(bs);

    buf_write_bool(b, p[0]);
    FUZZ_CHECK(b->data[b->length - 1] == p[0], "bool byte not kept");
    buf_free(b);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const size_t block_size = size + kPad;
    uint8_t *block = static_cast<uint8_t *>(std::calloc(block_size, 1));
    FUZZ_CHECK(block != nullptr, "calloc");
    if (size > 0) std::memcpy(block, data, size);

    size_t pos = 0;
    while (pos < size) {
        unsigned op = block[pos++];
        if (pos >= size) break;
        if ((op & 0xF0) == 0xF0 && size - pos >= 10) { // about one step in sixteen
            write_and_read_back(block + pos, size - pos);
            pos += 10;
            continue;
        }
        pos += read_one(op, block + pos, block_size - pos);
    }
    std::free(block);
    return 0;
}
