// corvantis-delta: compute and apply binary deltas from the command line.
// `corvantis-delta --help` describes the commands, options, limits and exit
// status. Each step has its own file: the command line (tool_args), inputs
// (tool_input), the output (tool_output), the checked delta
// (delta_container) and the engines (tool_engine).
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "base/buf.h"
#include "delta_container.h"
#include "tool_args.h"
#include "tool_engine.h"
#include "tool_failure.h"
#include "tool_input.h"
#include "tool_output.h"

#ifndef CORVANTIS_VERSION
#define CORVANTIS_VERSION "dev"
#endif

static const char *const PROGRAM = "corvantis-delta";

std::string tool_quote_path(const std::string &path, bool output) {
    if (path == "-") {
        return output ? "standard output" : "standard input";
    }
    return "'" + path + "'";
}

namespace {
struct buf_deleter {
    void operator()(buf *b) const noexcept { buf_free(b); }
};
using owned_buf = std::unique_ptr<buf, buf_deleter>;

struct run_stats {
    const char *command;
    const char *engine; // null for patch
    uint64_t old_size, new_size, delta_size;
    double seconds;
};
} // namespace

static void print_stats(FILE *out, const run_stats &s) {
    double percent = s.new_size == 0 ? 0.0 : 100.0 * static_cast<double>(s.delta_size) / static_cast<double>(s.new_size);
    double mb = static_cast<double>(s.engine != nullptr ? s.old_size + s.new_size : s.new_size) / 1e6;
    std::fprintf(out, "old:    %llu bytes\n", static_cast<unsigned long long>(s.old_size));
    std::fprintf(out, "new:    %llu bytes\n", static_cast<unsigned long long>(s.new_size));
    std::fprintf(out, "delta:  %llu bytes (%.2f%% of new)\n", static_cast<unsigned long long>(s.delta_size), percent);
    if (s.engine != nullptr) {
        std::fprintf(out, "engine: %s\n", s.engine);
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

static run_stats run_diff(const tool_args &args, tool_output &out) {
    const tool_engine &engine = *args.engine;
    tool_input old_value(args.old_path, "old value", engine.value_limit);
    tool_input new_value(args.second_path, "new value", engine.value_limit);
    buf old_view = old_value.view(), new_view = new_value.view();

    auto start = std::chrono::steady_clock::now();
    owned_buf delta(engine.generate(&old_view, &new_view));
    if (!delta) {
        throw tool_failure("cannot compute the delta: out of memory");
    }
    double seconds = seconds_since(start);

    uint8_t header[DELTA_CONTAINER_HEADER_SIZE];
    size_t count = 0;
    tool_piece pieces[2];
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
        pieces[count++] = {header, sizeof header};
    }
    pieces[count++] = {delta->data, delta->length};
    out.commit(pieces, count);
    return {"diff", engine.name, old_value.size(), new_value.size(),
            delta->length + (args.raw ? 0 : DELTA_CONTAINER_HEADER_SIZE), seconds};
}

static run_stats run_patch(const tool_args &args, tool_output &out) {
    // The delta first: a damaged delta or a file that is not one is refused
    // before the old value is touched.
    tool_input delta_file(args.second_path, "delta", UINT64_MAX);
    const std::string delta_name = tool_quote_path(args.second_path, false);
    delta_container_header h{};
    buf delta = delta_file.view();
    if (!args.raw) {
        const uint8_t *bare = nullptr;
        std::string problem = delta_container_read(delta_file.data(), delta_file.size(), &h, &bare);
        if (!problem.empty()) {
            throw tool_failure("cannot apply " + delta_name + ": " + problem);
        }
        delta = buf{const_cast<uint8_t *>(bare), h.delta_length, h.delta_length};
    }

    tool_input old_value(args.old_path, "old value", UINT64_MAX);
    const std::string old_name = tool_quote_path(args.old_path, false);
    if (!args.raw) {
        if (old_value.size() != h.old_length) {
            throw tool_failure("wrong old file " + old_name + ": " + std::to_string(old_value.size()) +
                               " bytes, the delta was made from " + std::to_string(h.old_length));
        }
        if (delta_container_hash(old_value.data(), old_value.size()) != h.old_hash) {
            throw tool_failure("wrong old file " + old_name + ": its checksum differs from the one the delta was made from");
        }
    }
    buf old_view = old_value.view();

    auto start = std::chrono::steady_clock::now();
    const char *error = nullptr;
    owned_buf result(tool_engine_apply(&old_view, &delta, &error));
    if (!result) {
        throw tool_failure("cannot apply " + delta_name + ": " + (error ? error : "out of memory"));
    }
    double seconds = seconds_since(start);
    if (!args.raw && (result->length != h.new_length || delta_container_hash(result->data, result->length) != h.new_hash)) {
        throw tool_failure("cannot apply " + delta_name + ": the result does not match the checksum in the delta");
    }

    tool_piece piece{result->data, result->length};
    out.commit(&piece, 1);
    return {"patch", nullptr, old_value.size(), result->length, delta_file.size(), seconds};
}

static int run(int argc, char **argv) {
    tool_args args;
    try {
        args = tool_args_parse(argc, argv);
    } catch (const tool_usage_error &e) {
        std::fprintf(stderr, "%s: %s\n%sTry '%s --help' for more information.\n", PROGRAM, e.what(), TOOL_SYNOPSIS,
                     PROGRAM);
        return 2;
    }
    if (args.action == TOOL_HELP) {
        std::fputs(tool_args_help().c_str(), stdout);
        return 0;
    }
    if (args.action == TOOL_VERSION) {
        std::printf("%s %s (checked delta format %d)\n", PROGRAM, CORVANTIS_VERSION, DELTA_CONTAINER_VERSION);
        return 0;
    }
    // The output is settled first, so a refused output costs no reading.
    tool_output out(args.out_path, args.force);
    run_stats stats = args.is_diff ? run_diff(args, out) : run_patch(args, out);
    if (args.stats) {
        FILE *report = out.is_stdout() ? stderr : stdout;
        print_stats(report, stats);
        std::fflush(report);
    }
    return 0;
}

int main(int argc, char **argv) {
    tool_output_install_signal_handlers();
    try {
        return run(argc, argv);
    } catch (const tool_failure &f) {
        std::fprintf(stderr, "%s: %s\n", PROGRAM, f.what());
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "%s: out of memory\n", PROGRAM);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s: %s\n", PROGRAM, e.what());
    }
    return 1;
}
