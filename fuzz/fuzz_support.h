// Shared helpers of the fuzz harnesses: a bounded reader over the fuzzer's
// input and a check that stops the process with a message.
//
// The harnesses are compiled twice: against libFuzzer (clang, sanitizers)
// and into the plain replay driver of the normal test build (any compiler),
// so this header uses nothing beyond the standard library and the core's buf.
#ifndef CORVANTIS_FUZZ_SUPPORT_H
#define CORVANTIS_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "buf.h"

// A failed check is a finding: libFuzzer saves the input that reached
// abort(), and the replay driver's test fails on it.
#define FUZZ_CHECK(cond, ...)                                                   \
    do {                                                                        \
        if (!(cond)) {                                                          \
            std::fprintf(stderr, "%s:%d: check failed: %s: ", __FILE__, __LINE__, \
                         #cond);                                                \
            std::fprintf(stderr, __VA_ARGS__);                                  \
            std::fputc('\n', stderr);                                           \
            std::abort();                                                       \
        }                                                                       \
    } while (0)

namespace fuzz {

// Takes control values from the front of the input; once it is used up every
// read yields zero, so a harness never has to special-case short inputs.
class Input {
public:
    Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    size_t remaining() const { return size_; }
    const uint8_t *rest() const { return data_; }

    uint8_t byte() {
        if (size_ == 0) return 0;
        uint8_t b = *data_++;
        --size_;
        return b;
    }

    // Operands are read in separate statements: the order of evaluation
    // within one expression is unspecified.
    uint16_t u16() {
        uint16_t hi = byte();
        return static_cast<uint16_t>((hi << 8) | byte());
    }

    uint32_t u32() {
        uint32_t hi = u16();
        return (hi << 16) | u16();
    }

    uint64_t u64() {
        uint64_t hi = u32();
        return (hi << 32) | u32();
    }

    // Up to n bytes from the front (fewer when the input runs out).
    const uint8_t *take(size_t n, size_t *got) {
        if (n > size_) n = size_;
        const uint8_t *p = data_;
        data_ += n;
        size_ -= n;
        *got = n;
        return p;
    }

private:
    const uint8_t *data_;
    size_t size_;
};

// Two values cut from the input: a 16-bit length for the first, the first,
// then the rest as the second. Each is copied into a block of exactly its
// size, so a read past either value is caught by the sanitizers.
struct ValuePair {
    std::vector<uint8_t> first;
    std::vector<uint8_t> second;
};

inline ValuePair split_values(Input &in) {
    const size_t first_length = in.u16() % (in.remaining() + 1);
    size_t got = 0;
    const uint8_t *first = in.take(first_length, &got);
    return ValuePair{std::vector<uint8_t>(first, first + got),
                     std::vector<uint8_t>(in.rest(), in.rest() + in.remaining())};
}

// A borrowed buf over a value (null data for an empty one).
inline buf view_of(std::vector<uint8_t> &value) {
    return buf{value.empty() ? nullptr : value.data(), value.size(), value.size()};
}

}  // namespace fuzz

#endif
