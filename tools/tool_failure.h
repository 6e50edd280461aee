// The two ways a command of corvantis-delta can fail: a usage error (exit 2,
// the command line itself is wrong) and a failure while doing the work
// (exit 1). main() prints the message as one line and picks the status.
#ifndef CORVANTIS_TOOL_FAILURE_H
#define CORVANTIS_TOOL_FAILURE_H

#include <stdexcept>
#include <string>

struct tool_failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct tool_usage_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

#endif
