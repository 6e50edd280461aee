// The bare-delta engines the tool can run, in one table, and the one call
// that applies a delta of either format. diff picks a bare engine by option
// through this table; the index of an engine is recorded in a checked delta.
#ifndef CORVANTIS_TOOL_ENGINE_H
#define CORVANTIS_TOOL_ENGINE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/buf.h"
#include "delta/diff.h"

struct tool_engine {
    const char *name;       // shown by --stats
    const char *option;     // the diff option that selects it
    const char *help;       // one line for --help
    uint64_t value_limit;   // largest old or new value it takes, in bytes
    const char *over_limit; // what to do instead, for a value above value_limit
    buf *(*generate)(const buf *old_value, const buf *new_value);
};

const tool_engine *tool_engine_list(size_t *count);

// The engine selected by a command-line option, or null when the option
// names none.
const tool_engine *tool_engine_by_option(const std::string &option);

// Applies a bare or compact delta (diff_apply). Returns the new value, or
// null with *error set. The library's own diagnostics on standard error are
// kept from the tool's user: the tool reports failures itself, in one line.
buf *tool_engine_apply(const buf *old_value, const buf *delta, diff_apply_error *error);

#endif
