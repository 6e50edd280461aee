#include "tool_progress.h"

#include <algorithm>
#include <cstdio>
#include <iomanip>
#include <sstream>

#include <unistd.h>

// Back to the start of the line, and erase from the cursor to its end.
static const char *const CLEAR = "\r\033[K";

bool tool_progress_wanted(bool quiet, uint64_t old_size, uint64_t new_size) {
    return !quiet && (old_size > TOOL_PROGRESS_THRESHOLD || new_size > TOOL_PROGRESS_THRESHOLD) &&
           isatty(STDERR_FILENO);
}

static double in_mib(uint64_t bytes) { return static_cast<double>(bytes) / (1 << 20); }

// As printf's "%.*f" writes it, into a string as long as it needs.
static std::string fixed(double value, int decimals) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(decimals) << value;
    return text.str();
}

std::string tool_progress_mib(uint64_t bytes) { return fixed(in_mib(bytes), 1) + " MiB"; }

tool_progress::tool_progress(const char *label, bool shown)
    : label_(label), shown_(shown), start_(std::chrono::steady_clock::now()), last_(start_) {}

tool_progress::~tool_progress() {
    if (drawn_) {
        std::fputs(CLEAR, stderr);
        std::fflush(stderr);
    }
}

void tool_progress::draw(const std::string &text) {
    std::fprintf(stderr, "%scorvantis-delta: %s: %s", CLEAR, label_, text.c_str());
    std::fflush(stderr);
    drawn_ = true;
    last_ = std::chrono::steady_clock::now();
}

void tool_progress::note(const std::string &text) {
    if (shown_) {
        draw(text);
    }
}

void tool_progress::update(uint64_t done, uint64_t total) {
    if (!shown_) {
        return;
    }
    auto now = std::chrono::steady_clock::now();
    // The first call draws at once; a redraw per call would cost more than
    // the work between calls.
    if (drawn_ && done < total && now - last_ < std::chrono::milliseconds(100)) {
        return;
    }
    double seconds = std::chrono::duration<double>(now - start_).count();
    std::string text = fixed(in_mib(done), 1) + " of " + tool_progress_mib(total) + " (" +
                       fixed(total ? 100.0 * static_cast<double>(done) / total : 100.0, 0) + "%)";
    if (seconds > 0 && done > 0) {
        double rate = static_cast<double>(done) / seconds;
        text += ", " + fixed(rate / 1e6, 1) + " MB/s, " +
                fixed(static_cast<double>(total - std::min(total, done)) / rate, 0) + " s left";
    }
    draw(text);
}

void tool_progress::callback(void *context, uint64_t done, uint64_t total) {
    static_cast<tool_progress *>(context)->update(done, total);
}
