// The progress line of corvantis-delta: on a terminal, a long run shows on
// standard error how far it is (bytes done, rate, time left), redrawn in
// place and cleared when the run ends, so that the tool's own messages and a
// shell prompt start on a clean line. Off with -q, for inputs of 64 MiB or
// less, and whenever standard error is not a terminal (a log file or a pipe
// gets no control characters).
#ifndef CORVANTIS_TOOL_PROGRESS_H
#define CORVANTIS_TOOL_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <string>

// Inputs larger than this show the line.
#define TOOL_PROGRESS_THRESHOLD (UINT64_C(64) << 20)

class tool_progress {
  public:
    // `label` starts the line ("diff", "patch"). With `shown` false every
    // call does nothing.
    tool_progress(const char *label, bool shown);
    ~tool_progress();
    tool_progress(const tool_progress &) = delete;
    tool_progress &operator=(const tool_progress &) = delete;

    // A step without a measure of its own ("applying 96.0 MiB").
    void note(const std::string &text);
    // `done` of `total` bytes; redrawn at most ten times a second.
    void update(uint64_t done, uint64_t total);
    // Matches diff_progress_fn; `context` is a tool_progress.
    static void callback(void *context, uint64_t done, uint64_t total);

  private:
    void draw(const std::string &text);

    const char *label_;
    bool shown_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_, last_;
};

// Whether a run over inputs of these sizes shows the line: not quiet,
// standard error a terminal, and the larger input above the threshold.
bool tool_progress_wanted(bool quiet, uint64_t old_size, uint64_t new_size);

// "96.0 MiB", for the line and its notes.
std::string tool_progress_mib(uint64_t bytes);

#endif
