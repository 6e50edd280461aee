// The command line of corvantis-delta.
#ifndef CORVANTIS_TOOL_ARGS_H
#define CORVANTIS_TOOL_ARGS_H

#include <string>

#include "delta/diff_compact.h"
#include "tool_engine.h"

enum tool_action { TOOL_RUN, TOOL_HELP, TOOL_VERSION };

struct tool_args {
    tool_action action = TOOL_RUN;
    bool is_diff = false;
    bool force = false;
    bool raw = false;
    bool stats = false;
    bool quiet = false; // no progress line
    // diff: a compact delta (the default) at `level`, or with `engine` a
    // bare delta (--raw) or its checked container (--exact, --fast).
    bool compact = false;
    int level = DIFF_COMPACT_LEVEL_DEFAULT;
    const tool_engine *engine = nullptr; // diff without compact; the exact engine when not chosen
    // OLD, then NEW (diff) or DELTA (patch), then the output.
    std::string old_path, second_path, out_path;
};

// Parses argv. Throws tool_usage_error naming what is wrong.
tool_args tool_args_parse(int argc, char **argv);

// The full --help text and the short synopsis printed after a usage error.
std::string tool_args_help();
extern const char *const TOOL_SYNOPSIS;

#endif
