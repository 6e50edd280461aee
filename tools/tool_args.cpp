#include "tool_args.h"

#include <vector>

#include "delta_container.h"
#include "tool_failure.h"

const char *const TOOL_SYNOPSIS = "usage: corvantis-delta [OPTIONS] diff OLD NEW DELTA\n"
                                  "       corvantis-delta [OPTIONS] patch OLD DELTA OUT\n";

std::string tool_args_help() {
    std::string help = TOOL_SYNOPSIS;
    help += "\n"
            "  diff   write the delta that turns OLD into NEW to DELTA\n"
            "  patch  apply DELTA to OLD and write the result to OUT\n"
            "\n"
            "  -            standard input (for one input) or standard output\n"
            "  -f, --force  overwrite an existing output file; allow output to a terminal\n"
            "  --raw        bare deltas, as delta.diff and delta.patch of the Python module\n"
            "               make and take them: no header, nothing verified\n"
            "  --stats      print sizes, ratio, engine and time (on standard error when the\n"
            "               output is standard output)\n";
    size_t count = 0;
    const tool_engine *engines = tool_engine_list(&count);
    for (size_t i = 0; i < count; i++) {
        if (engines[i].option != nullptr) {
            std::string option = engines[i].option;
            help += "  " + option + std::string(option.size() < 13 ? 13 - option.size() : 1, ' ') + engines[i].help +
                    "\n";
        }
    }
    help += "  -h, --help   show this text and exit\n"
            "  --version    show the version and exit\n"
            "  --           end of options (for file names starting with '-')\n"
            "\n"
            "Checked deltas: by default diff writes a " +
            std::to_string(DELTA_CONTAINER_HEADER_SIZE) +
            "-byte header with the lengths and\n"
            "XXH3-64 checksums of OLD, NEW and the delta; patch refuses a wrong OLD, a\n"
            "damaged or truncated delta and a file that is not a delta. Deltas are not\n"
            "compressed.\n"
            "\n"
            "Limits: the exact engine takes values up to 2147483647 bytes (2 GiB - 1); its\n"
            "time grows with the amount of change. Inputs are mapped, not copied; the\n"
            "result is held in memory before it is written.\n"
            "\n"
            "Exit status: 0 success, 1 failure (no output written), 2 usage error.\n";
    return help;
}

static std::string missing(const std::vector<std::string> &names, size_t have) {
    std::string text;
    for (size_t i = have; i < names.size(); i++) {
        text += (text.empty() ? "" : " ") + names[i];
    }
    return text;
}

tool_args tool_args_parse(int argc, char **argv) {
    tool_args args;
    std::vector<std::string> operands;
    bool options_done = false;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (options_done || a == "-" || a.empty() || a[0] != '-') {
            operands.push_back(a);
        } else if (a == "--") {
            options_done = true;
        } else if (a == "-h" || a == "--help") {
            args.action = TOOL_HELP;
            return args;
        } else if (a == "--version") {
            args.action = TOOL_VERSION;
            return args;
        } else if (a == "-f" || a == "--force") {
            args.force = true;
        } else if (a == "--raw") {
            args.raw = true;
        } else if (a == "--stats") {
            args.stats = true;
        } else if (const tool_engine *engine = tool_engine_by_option(a)) {
            if (args.engine != nullptr && args.engine != engine) {
                throw tool_usage_error("options " + std::string(args.engine->option) + " and " + a +
                                       " choose different engines");
            }
            args.engine = engine;
        } else {
            throw tool_usage_error("unknown option '" + a + "'");
        }
    }
    if (operands.empty()) {
        throw tool_usage_error("missing command (diff or patch)");
    }
    const std::string &command = operands[0];
    if (command != "diff" && command != "patch") {
        throw tool_usage_error("unknown command '" + command + "' (expected diff or patch)");
    }
    args.is_diff = command == "diff";
    const std::vector<std::string> names = args.is_diff ? std::vector<std::string>{"OLD", "NEW", "DELTA"}
                                                        : std::vector<std::string>{"OLD", "DELTA", "OUT"};
    if (operands.size() < 4) {
        throw tool_usage_error(command + ": missing " + missing(names, operands.size() - 1));
    }
    if (operands.size() > 4) {
        throw tool_usage_error(command + ": unexpected argument '" + operands[4] + "'");
    }
    if (!args.is_diff && args.engine != nullptr) {
        throw tool_usage_error("patch: option " + std::string(args.engine->option) + " applies to diff only");
    }
    args.old_path = operands[1];
    args.second_path = operands[2];
    args.out_path = operands[3];
    if (args.old_path == "-" && args.second_path == "-") {
        throw tool_usage_error(command + ": only one input can be standard input");
    }
    if (args.engine == nullptr) {
        size_t count = 0;
        args.engine = tool_engine_list(&count);
    }
    return args;
}
