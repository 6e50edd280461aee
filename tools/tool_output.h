// Output of corvantis-delta, prepared before any input is read so that a
// refused output costs nothing, and written only once the whole result is
// known.
//
// A new path or an existing regular file (with --force) is written to a
// temporary file beside it and renamed over it, keeping the existing file's
// mode and, where permitted, its owner: the target is complete or untouched.
// Character devices (/dev/null) and FIFOs are written in place; a symbolic
// link is followed to its target. Binary output to a terminal is refused
// unless forced.
#ifndef CORVANTIS_TOOL_OUTPUT_H
#define CORVANTIS_TOOL_OUTPUT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

struct tool_piece {
    const uint8_t *data;
    uint64_t length;
};

class tool_output {
  public:
    // `path` is "-" for standard output. Throws tool_failure when the output
    // cannot be written (exists without force, a directory...), and
    // tool_usage_error when it is a terminal and not forced.
    tool_output(const std::string &path, bool force);
    // Removes the temporary file if commit() never ran.
    ~tool_output();
    tool_output(const tool_output &) = delete;
    tool_output &operator=(const tool_output &) = delete;

    // Writes the pieces in order and puts them in place.
    void commit(const tool_piece *pieces, size_t count);

    bool is_stdout() const { return path_ == "-"; }

  private:
    void prepare();
    void discard();
    void open_temp(const std::string &target, mode_t mode, bool keep_owner, uid_t uid, gid_t gid);

    std::string path_;   // as given, for messages
    std::string target_; // symbolic links resolved
    int fd_ = -1;        // temporary file or the stream written in place
    bool owns_fd_ = false;
    bool replace_ = false;       // temporary file renamed over target_
    bool keep_existing_ = false; // target_ is an existing file being replaced
    bool force_ = false;
};

// Installs the handlers that remove a pending temporary file when the
// process is interrupted.
void tool_output_install_signal_handlers();

#endif
