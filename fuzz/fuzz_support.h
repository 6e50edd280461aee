// Shared by the libFuzzer harnesses and the replay driver: an aborting check, input readers.
#ifndef CORVANTIS_FUZZ_SUPPORT_H
#define CORVANTIS_FUZZ_SUPPORT_H

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "base/buf.h"

#define FUZZ_CHECK(cond, ...)                                                                      \
    do {                                                                                           \
        if (cond) break;                                                                           \
        std::fprintf(stderr, "%s:%d: check failed: %s: ", __FILE__, __LINE__, #cond);              \
        std::fprintf(stderr, __VA_ARGS__);                                                         \
        std::fputc('\n', stderr);                                                                  \
        std::abort();                                                                              \
    } while (0)

namespace fuzz {

// Once the input is used up every read yields zero.
class Input {
    const uint8_t *data_;
    size_t size_;

  public:
    Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    size_t remaining() const { return size_; }
    const uint8_t *rest() const { return data_; }
    uint8_t byte() { return size_ == 0 ? 0 : (--size_, *data_++); }
    uint16_t u16() {
        uint16_t hi = byte();
        return static_cast<uint16_t>(hi << 8 | byte());
    }
};

// 16-bit length (modulo what is left), first value, rest as second; blocks exact so overreads show.
struct ValuePair {
    std::vector<uint8_t> first, second;
};

inline ValuePair split_values(Input &in) {
    const size_t n = in.u16() % (in.remaining() + 1);
    const uint8_t *first = in.rest();
    return ValuePair{{first, first + n}, {first + n, first + in.remaining()}};
}

// The round-trip pair: split_values, or, with the selector's low bit set, the old value rotated at
// a point the selector picks and then the rest as the new one, so moved blocks come up often.
inline ValuePair rotated_pair(Input &in, uint8_t selector) {
    ValuePair values = split_values(in);
    if ((selector & 1) == 0) return values;
    const std::vector<uint8_t> &old_value = values.first;
    const size_t cut = old_value.size() * (selector >> 1) / 128;
    std::vector<uint8_t> rotated(old_value.begin() + cut, old_value.end());
    rotated.insert(rotated.end(), old_value.begin(), old_value.begin() + cut);
    rotated.insert(rotated.end(), values.second.begin(), values.second.end());
    values.second.swap(rotated);
    return values;
}

// A borrowed buf over a value (null data for an empty one).
inline buf view_of(std::vector<uint8_t> &value) {
    return buf{value.empty() ? nullptr : value.data(), value.size(), value.size()};
}

} // namespace fuzz

#endif
