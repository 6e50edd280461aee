#include "tool_engine.h"

#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

#include "delta/diff.h"
#include "delta/diff_compact.h"
#include "delta/fast/diff_fast.h"

// The first entry is the engine of --raw without an engine option; an
// entry's index is what a checked delta records, so entries are only ever
// appended. A new engine is one more line here: its option, limit and --help
// text follow from the entry.
static const tool_engine ENGINES[] = {
    {"exact", "--exact", "checked bare delta of the exact engine (values below 2 GiB)",
     DIFF_MAX_VALUE_LENGTH,
     "the exact engine takes no more: use --fast or the compact default (no --exact or --raw), "
     "which have no such limit",
     diff_generate_binary},
    {"fast", "--fast", "checked bare delta of the block-matching engine (no size limit)",
     UINT64_MAX, "", diff_generate_binary_fast},
};

const tool_engine *tool_engine_list(size_t *count) {
    *count = sizeof ENGINES / sizeof ENGINES[0];
    return ENGINES;
}

const tool_engine *tool_engine_by_option(const std::string &option) {
    for (const tool_engine &engine : ENGINES) {
        if (option == engine.option) {
            return &engine;
        }
    }
    return nullptr;
}

// Points standard error at /dev/null for its lifetime. The parser writes its
// one diagnostic with stdio, so stderr is flushed at both ends to keep the
// message from escaping after the descriptor is restored.
namespace {
class quiet_stderr {
  public:
    quiet_stderr() {
        std::fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ != -1 && null_fd != -1) {
            dup2(null_fd, STDERR_FILENO);
        }
        if (null_fd != -1) {
            close(null_fd);
        }
    }
    ~quiet_stderr() {
        std::fflush(stderr);
        if (saved_ != -1) {
            dup2(saved_, STDERR_FILENO);
            close(saved_);
        }
    }
    quiet_stderr(const quiet_stderr &) = delete;
    quiet_stderr &operator=(const quiet_stderr &) = delete;

  private:
    int saved_;
};
} // namespace

buf *tool_engine_apply(const buf *old_value, const buf *delta, diff_apply_error *error) {
    quiet_stderr quiet;
    return diff_apply(old_value, delta, error);
}
