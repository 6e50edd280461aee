#include "tool_input.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tool_failure.h"
#include "tool_text.h"

namespace {
// Closes a descriptor it opened; standard input stays open.
struct fd_guard {
    int fd;
    bool owned;
    ~fd_guard() {
        if (owned) {
            close(fd);
        }
    }
};
} // namespace

static std::string too_large(const std::string &what, const std::string &size, uint64_t limit,
                             const char *over_limit) {
    return what + " is too large: " + size + " bytes (at most " + std::to_string(limit) + ")" +
           (*over_limit ? "; " : "") + over_limit;
}

void tool_input_refuse_terminal(const std::string &path, const char *role, bool force) {
    if (path == "-" && !force && isatty(STDIN_FILENO)) {
        throw tool_usage_error("refusing to read the " + std::string(role) +
                               " from a terminal; give a file or pipe one in (or use -f)");
    }
}

tool_input::tool_input(const std::string &path, const char *role, uint64_t limit,
                       const char *over_limit) {
    const bool is_stdin = path == "-";
    const std::string what = std::string(role) + " " + tool_quote_path(path, false);
    const int opened = is_stdin ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (opened == -1) {
        throw tool_failure("cannot open " + what + ": " + std::strerror(errno));
    }
    fd_guard fd{opened, !is_stdin};
    struct stat st;
    if (fstat(fd.fd, &st) != 0) {
        throw tool_failure("cannot read " + what + ": " + std::strerror(errno));
    }
    if (S_ISDIR(st.st_mode)) {
        throw tool_failure("cannot read " + what + ": " + std::strerror(EISDIR));
    }
    if (!S_ISREG(st.st_mode)) {
        read_all(fd.fd, what, limit, over_limit);
        return;
    }
    uint64_t size = static_cast<uint64_t>(st.st_size);
    if (size > limit) {
        throw tool_failure(too_large(what, std::to_string(size), limit, over_limit));
    }
    if (size == 0) {
        return; // nothing to map
    }
    // A redirected standard input is mapped from its current offset, as a
    // reader would start there; mmap needs a page-aligned offset, so any
    // other position is read instead (as is everything if lseek fails: -1
    // is no multiple of a page).
    off_t at = is_stdin ? lseek(fd.fd, 0, SEEK_CUR) : 0;
    if (at % sysconf(_SC_PAGESIZE) != 0) {
        read_all(fd.fd, what, limit, over_limit);
        return;
    }
    if (static_cast<uint64_t>(at) >= size) {
        return;
    }
    size -= static_cast<uint64_t>(at);
    void *map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd.fd, at);
    if (map == MAP_FAILED) {
        throw tool_failure("cannot map " + what + ": " + std::strerror(errno));
    }
    map_ = map;
    data_ = static_cast<const uint8_t *>(map);
    size_ = size;
}

tool_input::~tool_input() {
    if (map_ != nullptr) {
        munmap(map_, size_);
    }
}

void tool_input::read_all(int fd, const std::string &what, uint64_t limit, const char *over_limit) {
    uint8_t chunk[1 << 16];
    for (;;) {
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got == -1) {
            if (errno == EINTR) {
                continue;
            }
            throw tool_failure("cannot read " + what + ": " + std::strerror(errno));
        }
        if (got == 0) {
            break;
        }
        if (owned_.size() + static_cast<uint64_t>(got) > limit) {
            throw tool_failure(
                too_large(what, "more than " + std::to_string(limit), limit, over_limit));
        }
        owned_.insert(owned_.end(), chunk, chunk + got);
    }
    data_ = owned_.data();
    size_ = owned_.size();
}
