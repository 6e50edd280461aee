#include "tool_text.h"

std::string tool_quote_path(const std::string &path, bool output) {
    if (path == "-") {
        return output ? "standard output" : "standard input";
    }
    return "'" + path + "'";
}
