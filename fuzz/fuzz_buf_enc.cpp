// The buffer encodings' readers at every step of arbitrary bytes, against a plain LEB128 decoder;
// as callers guarantee, 10 zero bytes follow the input and a string is read only when all there.
#include <cstring>
#include <vector>

#include "base/buf_enc.h"
#include "fuzz_support.h"

// At most `bytes` groups, the last carrying only `top_bits` value bits; consumed 0 when refused.
struct Leb {
    uint64_t value = 0;
    size_t consumed = 0;
};
static Leb leb(const uint8_t *p, size_t bytes, unsigned top_bits) {
    Leb r;
    for (size_t k = 0; k < bytes && r.consumed == 0; ++k) {
        r.value |= static_cast<uint64_t>(p[k] & (k + 1 < bytes ? 0x7F : (1u << top_bits) - 1))
                   << (7 * k);
        if (!(p[k] & 0x80)) r.consumed = k + 1;
    }
    return r.consumed ? r : Leb{};
}

// One reader call at p, `room` bytes of block from p on (op bit 3: no output); returns the step.
static size_t read_one(unsigned op, const uint8_t *p, size_t room) {
    const bool skip = op & 8;
    const Leb ref = (op & 7) == 0 || (op & 7) == 3 ? leb(p, 5, 4) : leb(p, 10, 1);
    uint64_t out = 0xA5A5A5A5A5A5A5A5ull;
    uint32_t out32 = 0xA5A5A5A5u;
    const uint8_t *next = nullptr;
    switch (op & 7) {
    case 0: next = buf_read_uint32_enc(p, skip ? nullptr : &out32), out = out32; break;
    case 1: next = buf_read_uint64_enc(p, skip ? nullptr : &out); break;
    case 3:
        next = buf_read_float(p, skip ? nullptr : reinterpret_cast<float *>(&out32)), out = out32;
        break;
    case 2: {
        if (ref.consumed && ref.value > room - ref.consumed)
            return ref.consumed; // bytes not all there
        char *s = nullptr;
        next = buf_read_string_length_enc(p, skip ? nullptr : &s, &out);
        FUZZ_CHECK(ref.consumed ? next == p + ref.consumed + ref.value && out == ref.value
                                : !next && !s && out == 0xA5A5A5A5A5A5A5A5ull,
                   "string");
        FUZZ_CHECK(!ref.consumed || skip ||
                       (std::memcmp(s, p + ref.consumed, out) == 0 && s[out] == 0),
                   "string copy");
        std::free(s);
        return ref.consumed ? ref.consumed + ref.value : 1;
    }
    default: {
        uint8_t b = 0xA5;
        next = buf_read_bool(p, skip ? nullptr : &b);
        FUZZ_CHECK(!skip && p[0] > 1 ? !next && b == 0xA5 : next == p + 1 && (skip || b == p[0]),
                   "bool %02x", p[0]);
        return 1;
    }
    }
    const uint64_t unset = (op & 7) == 1 ? 0xA5A5A5A5A5A5A5A5ull : 0xA5A5A5A5u;
    FUZZ_CHECK(next == (ref.consumed ? p + ref.consumed : nullptr), "cursor for op %u", op);
    FUZZ_CHECK(out == (ref.consumed && !skip ? ref.value : unset), "value for op %u", op);
    return ref.consumed ? ref.consumed : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<uint8_t> block(data, data + size);
    block.resize(size + 10);
    for (size_t pos = 0; pos < size;) {
        const unsigned op = block[pos++];
        if (pos >= size) break;
        pos += read_one(op, &block[pos], block.size() - pos);
    }
    return 0;
}
