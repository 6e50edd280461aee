// Read-only input of corvantis-delta: a named file is mapped into memory, not
// read, so a large value costs address space rather than a copy, and a value
// that is refused (too large, a wrong old file) is never read in full.
// Standard input and other unmappable inputs are read into memory.
#ifndef CORVANTIS_TOOL_INPUT_H
#define CORVANTIS_TOOL_INPUT_H

#include <cstdint>
#include <string>
#include <vector>

#include "base/buf.h"

class tool_input {
  public:
    // Opens `path` ("-" for standard input). `role` names the input in
    // messages ("old value", "delta"); an input longer than `limit` bytes is
    // refused before it is mapped or read past the limit, with `over_limit`
    // (if not empty) telling the user what to do instead.
    tool_input(const std::string &path, const char *role, uint64_t limit,
               const char *over_limit = "");
    ~tool_input();
    tool_input(const tool_input &) = delete;
    tool_input &operator=(const tool_input &) = delete;

    const uint8_t *data() const { return data_; }
    uint64_t size() const { return size_; }
    // A borrowed record over the bytes; the core reads it and never frees it.
    buf view() const { return buf{const_cast<uint8_t *>(data_), size_, size_}; }

  private:
    void read_all(int fd, const std::string &what, uint64_t limit, const char *over_limit);

    const uint8_t *data_ = nullptr;
    uint64_t size_ = 0;
    void *map_ = nullptr;
    std::vector<uint8_t> owned_;
};

// Throws tool_usage_error when `path` is "-" and standard input is a
// terminal, unless forced: the tool would wait for typed binary input.
void tool_input_refuse_terminal(const std::string &path, const char *role, bool force);

#endif
