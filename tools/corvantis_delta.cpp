// corvantis-delta: compute and apply binary deltas from the command line.
// `corvantis-delta --help` describes the commands, options, limits and exit
// status. Each step has its own file: the command line (tool_args), inputs
// (tool_input), the output (tool_output), the checked delta
// (delta_container), the engines (tool_engine), the progress line
// (tool_progress) and message text (tool_text).
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/buf.h"
#include "delta/diff_compact.h"
#include "delta_container.h"
#include "tool_args.h"
#include "tool_engine.h"
#include "tool_failure.h"
#include "tool_input.h"
#include "tool_output.h"
#include "tool_progress.h"
#include "tool_text.h"

#ifndef CORVANTIS_VERSION
#define CORVANTIS_VERSION "dev"
#endif

static const char *const PROGRAM = "corvantis-delta";

namespace {
struct buf_deleter {
    void operator()(buf *b) const noexcept { buf_free(b); }
};
using owned_buf = std::unique_ptr<buf, buf_deleter>;

struct run_stats {
    const char *command;
    std::string engine; // empty for patch
    uint64_t old_size, new_size, delta_size;
    double seconds;
};
} // namespace

static void print_stats(FILE *out, const run_stats &s) {
    double percent = s.new_size == 0 ? 0.0
                                     : 100.0 * static_cast<double>(s.delta_size) /
                                           static_cast<double>(s.new_size);
    double mb = static_cast<double>(!s.engine.empty() ? s.old_size + s.new_size : s.new_size) / 1e6;
    std::fprintf(out, "old:    %llu bytes\n", static_cast<unsigned long long>(s.old_size));
    std::fprintf(out, "new:    %llu bytes\n", static_cast<unsigned long long>(s.new_size));
    std::fprintf(out, "delta:  %llu bytes (%.2f%% of new)\n",
                 static_cast<unsigned long long>(s.delta_size), percent);
    if (!s.engine.empty()) {
        std::fprintf(out, "engine: %s\n", s.engine.c_str());
    }
    std::fprintf(out, "time:   %.3f ms (%s", s.seconds * 1e3, s.command);
    if (s.seconds > 0) {
        std::fprintf(out, ", %.1f MB/s", mb / s.seconds);
    }
    std::fprintf(out, ")\n");
}

static double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A compact delta checks itself: it is written as it is, with no container.
static run_stats run_diff_compact(const tool_args &args, tool_output &out) {
    tool_input old_value(args.old_path, "old value", UINT64_MAX);
    tool_input new_value(args.second_path, "new value", UINT64_MAX);
    buf old_view = old_value.view(), new_view = new_value.view();

    auto start = std::chrono::steady_clock::now();
    owned_buf delta;
    {
        tool_progress progress(
            "diff", tool_progress_wanted(args.quiet, old_value.size(), new_value.size()));
        progress.update(0, new_value.size());
        delta.reset(diff_generate_compact_ex(&old_view, &new_view, args.level,
                                             tool_progress::callback, &progress));
    }
    if (!delta) {
        throw tool_failure("cannot compute the delta: out of memory");
    }
    double seconds = seconds_since(start);
    tool_piece piece{delta->data, delta->length};
    out.commit(&piece, 1);
    return {"diff",           "compact (level " + std::to_string(args.level) + ")",
            old_value.size(), new_value.size(),
            delta->length,    seconds};
}

static run_stats run_diff(const tool_args &args, tool_output &out) {
    if (args.compact) {
        return run_diff_compact(args, out);
    }
    const tool_engine &engine = *args.engine;
    tool_input old_value(args.old_path, "old value", engine.value_limit, engine.over_limit);
    tool_input new_value(args.second_path, "new value", engine.value_limit, engine.over_limit);
    buf old_view = old_value.view(), new_view = new_value.view();

    auto start = std::chrono::steady_clock::now();
    owned_buf delta;
    {
        // The bare engines report no progress: the line says what runs.
        tool_progress progress(
            "diff", tool_progress_wanted(args.quiet, old_value.size(), new_value.size()));
        progress.note(tool_progress_mib(new_value.size()) + " with the " + engine.name +
                      " engine...");
        delta.reset(engine.generate(&old_view, &new_view));
    }
    if (!delta) {
        throw tool_failure("cannot compute the delta: out of memory");
    }
    double seconds = seconds_since(start);
    uint8_t header[DELTA_CONTAINER_HEADER_SIZE];
    std::vector<tool_piece> pieces;
    if (!args.raw) {
        size_t engines = 0;
        delta_container_header h{};
        h.engine = static_cast<uint8_t>(&engine - tool_engine_list(&engines));
        h.old_length = old_value.size();
        h.old_hash = delta_container_hash(old_value.data(), old_value.size());
        h.new_length = new_value.size();
        h.new_hash = delta_container_hash(new_value.data(), new_value.size());
        h.delta_length = delta->length;
        h.delta_hash = delta_container_hash(delta->data, delta->length);
        delta_container_write(&h, header);
        pieces.push_back({header, sizeof header});
    }
    pieces.push_back({delta->data, delta->length});
    out.commit(pieces.data(), pieces.size());
    return {"diff",
            engine.name,
            old_value.size(),
            new_value.size(),
            delta->length + (args.raw ? 0 : DELTA_CONTAINER_HEADER_SIZE),
            seconds};
}

static run_stats run_patch(const tool_args &args, tool_output &out) {
    // The delta first: a damaged checked delta or a file that is not a delta
    // is refused before the old value is touched. Formats are told apart by
    // their signatures; a compact delta checks itself as it is applied.
    tool_input delta_file(args.second_path, "delta", UINT64_MAX);
    const std::string delta_name = tool_quote_path(args.second_path, false);
    const bool container = !args.raw && !diff_is_compact(delta_file.data(), delta_file.size());
    delta_container_header h{};
    buf delta = delta_file.view();
    if (container) {
        const uint8_t *bare = nullptr;
        std::string problem = delta_container_read(delta_file.data(), delta_file.size(), &h, &bare);
        if (!problem.empty()) {
            throw tool_failure("cannot apply " + delta_name + ": " + problem);
        }
        delta = buf{const_cast<uint8_t *>(bare), h.delta_length, h.delta_length};
    }

    tool_input old_value(args.old_path, "old value", UINT64_MAX);
    const std::string old_name = tool_quote_path(args.old_path, false);
    if (container) {
        if (old_value.size() != h.old_length) {
            throw tool_failure("wrong old file " + old_name + ": " +
                               std::to_string(old_value.size()) +
                               " bytes, the delta was made from " + std::to_string(h.old_length));
        }
        if (delta_container_hash(old_value.data(), old_value.size()) != h.old_hash) {
            throw tool_failure("wrong old file " + old_name +
                               ": its checksum differs from the one the delta was made from");
        }
    }
    buf old_view = old_value.view();

    auto start = std::chrono::steady_clock::now();
    diff_apply_error error = DIFF_APPLY_OK;
    owned_buf result;
    {
        // diff_apply reports no progress: the line says what runs.
        tool_progress progress(
            "patch", tool_progress_wanted(args.quiet, old_value.size(), delta_file.size()));
        progress.note("applying " + tool_progress_mib(delta_file.size()) + " of delta to " +
                      tool_progress_mib(old_value.size()) + "...");
        result.reset(tool_engine_apply(&old_view, &delta, &error));
    }
    if (!result) {
        const char *message =
            diff_apply_error_name(error == DIFF_APPLY_OK ? DIFF_APPLY_OUT_OF_MEMORY : error);
        if (error == DIFF_APPLY_WRONG_OLD_LENGTH || error == DIFF_APPLY_WRONG_OLD_CHECKSUM) {
            throw tool_failure("wrong old file " + old_name + ": " + message);
        }
        // A checked delta read as a bare one fails on its header.
        const bool checked =
            args.raw && delta_container_is_checked(delta_file.data(), delta_file.size());
        throw tool_failure("cannot apply " + delta_name + ": " + message +
                           (checked ? " (this looks like a checked delta; drop --raw)" : ""));
    }
    double seconds = seconds_since(start);
    if (container && (result->length != h.new_length ||
                      delta_container_hash(result->data, result->length) != h.new_hash)) {
        throw tool_failure("cannot apply " + delta_name +
                           ": the result does not match the checksum in the delta");
    }

    tool_piece piece{result->data, result->length};
    out.commit(&piece, 1);
    return {"patch", "", old_value.size(), result->length, delta_file.size(), seconds};
}

static int run(int argc, char **argv) {
    tool_args args;
    try {
        args = tool_args_parse(argc, argv);
    } catch (const tool_usage_error &e) {
        std::fprintf(stderr, "%s: %s\n%sTry '%s --help' for more information.\n", PROGRAM, e.what(),
                     TOOL_SYNOPSIS, PROGRAM);
        return 2;
    }
    if (args.action == TOOL_HELP) {
        std::fputs(tool_args_help().c_str(), stdout);
        return 0;
    }
    if (args.action == TOOL_VERSION) {
        std::printf("%s %s (checked delta format %d)\n", PROGRAM, CORVANTIS_VERSION,
                    DELTA_CONTAINER_VERSION);
        return 0;
    }
    // A terminal as input or output is refused, then the output is settled,
    // so a refused output costs no reading.
    tool_input_refuse_terminal(args.old_path, "old value", args.force);
    tool_input_refuse_terminal(args.second_path, args.is_diff ? "new value" : "delta", args.force);
    tool_output out(args.out_path, args.force);
    run_stats stats = args.is_diff ? run_diff(args, out) : run_patch(args, out);
    if (args.stats) {
        FILE *report = out.is_stdout() ? stderr : stdout;
        print_stats(report, stats);
    }
    return 0;
}

int main(int argc, char **argv) {
    tool_output_install_signal_handlers();
    try {
        return run(argc, argv);
    } catch (const tool_usage_error &e) {
        // Found once the command line was read: the synopsis would not help.
        std::fprintf(stderr, "%s: %s\n", PROGRAM, e.what());
        return 2;
    } catch (const tool_failure &f) {
        std::fprintf(stderr, "%s: %s\n", PROGRAM, f.what());
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "%s: out of memory\n", PROGRAM);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s: %s\n", PROGRAM, e.what());
    }
    return 1;
}
