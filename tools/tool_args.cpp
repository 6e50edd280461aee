#include "tool_args.h"

#include <vector>

#include "delta/diff.h"
#include "delta_container.h"
#include "tool_failure.h"

const char *const TOOL_SYNOPSIS = "usage: corvantis-delta [OPTIONS] diff OLD NEW DELTA\n"
                                  "       corvantis-delta [OPTIONS] patch OLD DELTA OUT\n";

// Every option is shorter than the column its text starts in.
static std::string option_line(const std::string &option, const std::string &text) {
    return "  " + option + std::string(15 - option.size(), ' ') + text + "\n";
}

std::string tool_args_help() {
    std::string help = TOOL_SYNOPSIS;
    help += "\n"
            "  diff   write the delta that turns OLD into NEW to DELTA\n"
            "  patch  apply DELTA to OLD and write the result to OUT\n"
            "\n";
    help += option_line("-", "standard input (for one input) or standard output");
    help += option_line("-f, --force",
                        "overwrite an existing output file; allow a terminal (see below)");
    help +=
        option_line("-L, --level N",
                    "level of a compact delta: " + std::to_string(DIFF_COMPACT_LEVEL_MIN) +
                        " fastest to " + std::to_string(DIFF_COMPACT_LEVEL_MAX) +
                        " smallest (default " + std::to_string(DIFF_COMPACT_LEVEL_DEFAULT) + ")");
    size_t count = 0;
    const tool_engine *engines = tool_engine_list(&count);
    for (size_t i = 0; i < count; i++) {
        help += option_line(engines[i].option, engines[i].help);
    }
    help += option_line("--raw", "bare deltas, as delta.diff and delta.patch of the Python module");
    help += option_line("", "make and take them: no header, nothing verified (diff: the exact");
    help += option_line("", "engine unless --fast)");
    help += option_line("-q, --quiet", "no progress line");
    help +=
        option_line("--stats", "print sizes, ratio, engine and time (on standard error when the");
    help += option_line("", "output is standard output)");
    help += option_line("-h, --help", "show this text and exit");
    help += option_line("--version", "show the version and exit");
    help += option_line("--", "end of options (for file names starting with '-')");
    help += "\n"
            "Deltas: diff writes a compact delta by default (delta.diff_compact of the\n"
            "Python module): compressed, copying from OLD and from the new bytes already\n"
            "written, with the lengths and XXH3-64 checksums of OLD and NEW. --exact and\n"
            "--fast write a bare delta behind a " +
            std::to_string(DELTA_CONTAINER_HEADER_SIZE) +
            "-byte header with the lengths and checksums\n"
            "of OLD, NEW and the delta. patch tells the formats apart by their signatures\n"
            "and refuses a wrong OLD, a damaged or truncated delta and a file that is not\n"
            "a delta; nothing is written then.\n"
            "\n"
            "Progress: on a terminal, inputs above 64 MiB show a progress line on standard\n"
            "error (-q turns it off).\n"
            "\n";
    // Built line by line so the text keeps its layout in the source.
    help += "Limits: the exact engine takes values up to " + std::to_string(DIFF_MAX_VALUE_LENGTH) +
            " bytes (2 GiB - 1);\n";
    help += "--fast and the compact default have no such limit. The exact engine's time\n";
    help += "grows with the amount of change. Inputs are mapped, not copied; the result\n";
    help += "is held in memory before it is written.\n";
    help += "\n";
    help += "Terminals: diff and patch refuse to read an input from a terminal or to\n";
    help += "write their binary output to one, unless forced (-f).\n";
    help += "\n";
    help += "Exit status: 0 success, 1 failure (no output written), 2 usage error\n";
    help += "(a refused terminal included).\n";
    return help;
}

static std::string missing(const std::vector<std::string> &names, size_t have) {
    std::string text;
    for (size_t i = have; i < names.size(); i++) {
        text += (text.empty() ? "" : " ") + names[i];
    }
    return text;
}

// The level of -L N, -LN, --level N or --level=N. `at` is the index of the
// option and moves past a separate value.
static int parse_level(const std::string &a, int argc, char **argv, int *at, std::string *option) {
    std::string value;
    if (a == "-L" || a == "--level") {
        if (*at + 1 >= argc) {
            throw tool_usage_error("option " + a + " needs a level (" +
                                   std::to_string(DIFF_COMPACT_LEVEL_MIN) + " to " +
                                   std::to_string(DIFF_COMPACT_LEVEL_MAX) + ")");
        }
        *option = a;
        value = argv[++*at];
    } else {
        *option = a.compare(0, 8, "--level=") == 0 ? "--level" : "-L";
        value = a.substr(*option == "-L" ? 2 : 8);
    }
    int level = 0;
    bool digits = !value.empty() && value.size() <= 2 &&
                  value.find_first_not_of("0123456789") == std::string::npos;
    if (digits) {
        level = std::stoi(value);
    }
    if (!digits || level < DIFF_COMPACT_LEVEL_MIN || level > DIFF_COMPACT_LEVEL_MAX) {
        throw tool_usage_error("option " + *option + ": the level is a whole number from " +
                               std::to_string(DIFF_COMPACT_LEVEL_MIN) + " to " +
                               std::to_string(DIFF_COMPACT_LEVEL_MAX) + ", not '" + value + "'");
    }
    return level;
}

tool_args tool_args_parse(int argc, char **argv) {
    tool_args args;
    std::vector<std::string> operands;
    bool options_done = false;
    std::string level_option; // as the user wrote it, for messages; empty when not given
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
        } else if (a == "-q" || a == "--quiet") {
            args.quiet = true;
        } else if (a.compare(0, 2, "-L") == 0 || a == "--level" ||
                   a.compare(0, 8, "--level=") == 0) {
            args.level = parse_level(a, argc, argv, &i, &level_option);
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
    const std::vector<std::string> names = args.is_diff
                                               ? std::vector<std::string>{"OLD", "NEW", "DELTA"}
                                               : std::vector<std::string>{"OLD", "DELTA", "OUT"};
    if (operands.size() < 4) {
        throw tool_usage_error(command + ": missing " + missing(names, operands.size() - 1));
    }
    if (operands.size() > 4) {
        throw tool_usage_error(command + ": unexpected argument '" + operands[4] + "'");
    }
    if (!args.is_diff && (args.engine != nullptr || !level_option.empty())) {
        throw tool_usage_error("patch: option " +
                               (args.engine ? std::string(args.engine->option) : level_option) +
                               " applies to diff only");
    }
    args.compact = args.is_diff && args.engine == nullptr && !args.raw;
    if (args.is_diff && !args.compact && !level_option.empty()) {
        throw tool_usage_error("option " + level_option + " sets the level of a compact delta; " +
                               (args.engine ? args.engine->option : "--raw") +
                               " writes a bare one");
    }
    args.old_path = operands[1];
    args.second_path = operands[2];
    args.out_path = operands[3];
    if (args.old_path == "-" && args.second_path == "-") {
        throw tool_usage_error(command + ": only one input can be standard input");
    }
    if (args.is_diff && !args.compact && args.engine == nullptr) {
        size_t count = 0;
        args.engine = tool_engine_list(&count);
    }
    return args;
}
