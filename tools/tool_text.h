// Text the tool's units share for their messages.
#ifndef CORVANTIS_TOOL_TEXT_H
#define CORVANTIS_TOOL_TEXT_H

#include <string>

// "'path'", or "standard input" / "standard output" for "-".
std::string tool_quote_path(const std::string &path, bool output);

#endif
