// corvantis-delta: compute and apply binary deltas from the command line.
//
//   corvantis-delta [--stats] diff OLD NEW DELTA
//   corvantis-delta [--stats] patch OLD DELTA OUT
//
// "-" names standard input (at most one input) or standard output. A named
// output appears complete or not at all: it is written to a temporary file in
// the same directory and renamed over the target only once fully written.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "buf.h"
#include "diff.h"

namespace {

const char *const PROGRAM = "corvantis-delta";

const char *const USAGE = "usage: corvantis-delta [--stats] diff OLD NEW DELTA\n"
                          "       corvantis-delta [--stats] patch OLD DELTA OUT\n"
                          "\n"
                          "  diff   write the delta that turns OLD into NEW to DELTA\n"
                          "  patch  apply DELTA to OLD and write the result to OUT\n"
                          "\n"
                          "  -        standard input (for one input) or standard output\n"
                          "  --stats  print sizes, ratio and time (on standard error when\n"
                          "           the output goes to standard output)\n";

// Failure with a message for the user; main prints it as one line.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string errno_text(int err) { return std::strerror(err); }

// The temporary output file, removed if the process is interrupted before the
// rename. A plain array so the signal handler reads it without allocating.
char pending_temp[4096];
volatile std::sig_atomic_t pending_temp_set = 0;

extern "C" void remove_pending_temp(int signo) {
    if (pending_temp_set) {
        unlink(pending_temp);
    }
    std::signal(signo, SIG_DFL);
    std::raise(signo);
}

struct UniqueBuf {
    void operator()(buf *b) const noexcept { buf_free(b); }
};
using OwnedBuf = std::unique_ptr<buf, UniqueBuf>;

// The whole content of a file or of standard input. `limit` bounds the size
// that is accepted; a larger named file is refused before it is read.
std::vector<uint8_t> read_input(const std::string &path, uint64_t limit, const char *role) {
    const bool is_stdin = path == "-";
    int fd = is_stdin ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw Failure("cannot open " + std::string(role) + " '" + path + "': " + errno_text(errno));
    }
    std::vector<uint8_t> data;
    try {
        struct stat st;
        if (fstat(fd, &st) != 0) {
            throw Failure("cannot read " + std::string(role) + " '" + path + "': " + errno_text(errno));
        }
        if (S_ISDIR(st.st_mode)) {
            throw Failure("cannot read " + std::string(role) + " '" + path + "': " + errno_text(EISDIR));
        }
        if (S_ISREG(st.st_mode)) {
            if (static_cast<uint64_t>(st.st_size) > limit) {
                throw Failure(std::string(role) + " '" + path + "' is too large: " + std::to_string(st.st_size) +
                              " bytes (at most " + std::to_string(limit) + ")");
            }
            data.reserve(static_cast<size_t>(st.st_size));
        }
        uint8_t chunk[1 << 16];
        for (;;) {
            ssize_t got = read(fd, chunk, sizeof chunk);
            if (got < 0) {
                if (errno == EINTR) {
                    continue;
                }
                throw Failure("cannot read " + std::string(role) + " '" + path + "': " + errno_text(errno));
            }
            if (got == 0) {
                break;
            }
            if (data.size() + static_cast<uint64_t>(got) > limit) {
                throw Failure(std::string(role) + " '" + path + "' is too large: more than " + std::to_string(limit) +
                              " bytes");
            }
            data.insert(data.end(), chunk, chunk + got);
        }
    } catch (...) {
        if (!is_stdin) {
            close(fd);
        }
        throw;
    }
    if (!is_stdin) {
        close(fd);
    }
    return data;
}

void write_all(int fd, const uint8_t *data, uint64_t length, const std::string &what) {
    while (length > 0) {
        size_t step = length > (1u << 30) ? (1u << 30) : static_cast<size_t>(length);
        ssize_t put = write(fd, data, step);
        if (put < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw Failure("cannot write " + what + ": " + errno_text(errno));
        }
        data += put;
        length -= static_cast<uint64_t>(put);
    }
}

std::string directory_of(const std::string &path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

void write_output(const std::string &path, const buf *content) {
    if (path == "-") {
        write_all(STDOUT_FILENO, content->data, content->length, "standard output");
        return;
    }
    std::string temp = directory_of(path) + "/.corvantis-delta.XXXXXX";
    if (temp.size() >= sizeof pending_temp) {
        throw Failure("output path too long: '" + path + "'");
    }
    std::memcpy(pending_temp, temp.c_str(), temp.size() + 1);
    int fd = mkstemp(pending_temp);
    if (fd < 0) {
        throw Failure("cannot create a temporary file next to '" + path + "': " + errno_text(errno));
    }
    pending_temp_set = 1;
    try {
        // mkstemp makes the file private; the result gets the usual mode.
        mode_t mask = umask(0);
        umask(mask);
        if (fchmod(fd, 0666 & ~mask) != 0) {
            throw Failure("cannot set the mode of '" + path + "': " + errno_text(errno));
        }
        write_all(fd, content->data, content->length, "'" + path + "'");
        if (fsync(fd) != 0) {
            throw Failure("cannot write '" + path + "': " + errno_text(errno));
        }
        if (close(fd) != 0) {
            fd = -1;
            throw Failure("cannot write '" + path + "': " + errno_text(errno));
        }
        fd = -1;
        if (rename(pending_temp, path.c_str()) != 0) {
            throw Failure("cannot create '" + path + "': " + errno_text(errno));
        }
        pending_temp_set = 0;
    } catch (...) {
        if (fd >= 0) {
            close(fd);
        }
        unlink(pending_temp);
        pending_temp_set = 0;
        throw;
    }
}

buf view_of(std::vector<uint8_t> &bytes) {
    // A borrowed record: the core reads it in place and never frees it.
    return buf{bytes.data(), bytes.size(), bytes.size()};
}

struct Sizes {
    uint64_t old_size, new_size, delta_size;
    double seconds;
};

void print_stats(FILE *out, const char *command, const Sizes &s) {
    double percent = s.new_size == 0 ? 0.0 : 100.0 * static_cast<double>(s.delta_size) / static_cast<double>(s.new_size);
    double mb = static_cast<double>(std::strcmp(command, "diff") == 0 ? s.old_size + s.new_size : s.new_size) / 1e6;
    std::fprintf(out, "old:   %llu bytes\n", static_cast<unsigned long long>(s.old_size));
    std::fprintf(out, "new:   %llu bytes\n", static_cast<unsigned long long>(s.new_size));
    std::fprintf(out, "delta: %llu bytes (%.2f%% of new)\n", static_cast<unsigned long long>(s.delta_size), percent);
    std::fprintf(out, "time:  %.3f ms (%s", s.seconds * 1e3, command);
    if (s.seconds > 0) {
        std::fprintf(out, ", %.1f MB/s", mb / s.seconds);
    }
    std::fprintf(out, ")\n");
}

int run(int argc, char **argv) {
    bool stats = false;
    std::vector<std::string> args;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--stats") {
            stats = true;
        } else if (a == "-h" || a == "--help") {
            std::fputs(USAGE, stdout);
            return 0;
        } else if (a.size() > 1 && a[0] == '-' && a != "-") {
            std::fprintf(stderr, "%s: unknown option '%s'\n%s", PROGRAM, a.c_str(), USAGE);
            return 2;
        } else {
            args.push_back(a);
        }
    }
    if (args.size() != 4 || (args[0] != "diff" && args[0] != "patch")) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    if (args[1] == "-" && args[2] == "-") {
        throw Failure("only one input can be standard input");
    }
    const bool is_diff = args[0] == "diff";
    const std::string &out_path = args[3];

    // The engine addresses both values with signed 32-bit positions; applying
    // a delta has no such limit on the old value or the delta.
    const uint64_t value_limit = is_diff ? static_cast<uint64_t>(INT32_MAX) : UINT64_MAX;
    std::vector<uint8_t> old_bytes = read_input(args[1], value_limit, "old value");
    std::vector<uint8_t> second = read_input(args[2], value_limit, is_diff ? "new value" : "delta");
    buf old_view = view_of(old_bytes);
    buf second_view = view_of(second);

    auto start = std::chrono::steady_clock::now();
    OwnedBuf result;
    if (is_diff) {
        result.reset(diff_generate_binary(&old_view, &second_view));
        if (!result) {
            throw Failure("cannot compute the delta: out of memory");
        }
    } else {
        const char *error = nullptr;
        result.reset(diff_apply_binary_ex(&old_view, &second_view, &error));
        if (!result) {
            throw Failure(std::string("cannot apply '") + args[2] + "': " + (error ? error : "out of memory"));
        }
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    write_output(out_path, result.get());

    if (stats) {
        Sizes s{};
        s.old_size = old_bytes.size();
        s.new_size = is_diff ? second.size() : result->length;
        s.delta_size = is_diff ? result->length : second.size();
        s.seconds = seconds;
        FILE *out = out_path == "-" ? stderr : stdout;
        print_stats(out, args[0].c_str(), s);
        std::fflush(out);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    std::signal(SIGINT, remove_pending_temp);
    std::signal(SIGTERM, remove_pending_temp);
    std::signal(SIGHUP, remove_pending_temp);
    // A closed pipe on standard output becomes an ordinary write error.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        return run(argc, argv);
    } catch (const Failure &f) {
        std::fprintf(stderr, "%s: %s\n", PROGRAM, f.what());
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "%s: out of memory\n", PROGRAM);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s: %s\n", PROGRAM, e.what());
    }
    return 1;
}
