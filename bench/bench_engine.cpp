/* Benchmark of the Myers engine against xdelta3.
 *
 *   bench_engine [--pairs LIST] [--tar OLD NEW] [--synthetic] [--xdelta PATH] [--repeat N]
 *
 * LIST holds one "old<TAB>new" pair of file paths per line. Every set is
 * diffed with myers_binary_diff through an edit script (front-door settings:
 * quality 0, bail-out limit 10000, storage limit 2^31 - 1) and, in the same
 * run, with `xdelta3 -e -9 -S none -B N` as a child process per pair
 * (N = the old size rounded up to a power of two, at least 512 KiB).
 *
 * Printed per set: throughput in MB/s of new-value bytes, total delta size as
 * a percentage of the new bytes, and peak memory beyond the inputs and the
 * delta (our engine: growth of the peak resident set during the diff;
 * xdelta3: the largest child's peak resident set). Every delta of ours is
 * applied again and compared with the new value. */
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/buf.h"
#include "delta/diff.h"
#include "delta/exact/edit_script.h"
#include "delta/exact/execution.h"

extern char **environ;

namespace {

struct pair_input {
    std::string old_path, new_path; /* empty for generated values */
    std::string old_value, new_value;
};

struct set_result {
    double seconds = 0;
    uint64_t new_bytes = 0;
    uint64_t delta_bytes = 0;
    uint64_t peak_extra = 0;
    int failures = 0;
};

using clock_type = std::chrono::steady_clock;

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), (std::streamsize)bytes.size());
}

/* Resident-set figures of this process in bytes. */
uint64_t status_kib(const char *field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const size_t n = strlen(field);
    while (std::getline(in, line))
        if (line.compare(0, n, field) == 0) return strtoull(line.c_str() + n + 1, nullptr, 10);
    return 0;
}

void reset_peak() {
    std::ofstream f("/proc/self/clear_refs");
    f << "5";
}

uint64_t cbor_head_size(uint64_t n) {
    return n < 24 ? 1 : n < 256 ? 2 : n < 65536 ? 3 : n < (1ull << 32) ? 5 : 9;
}

buf view(const std::string &s) {
    buf b;
    b.data = (uint8_t *)s.data();
    b.length = s.size();
    b.capacity = 0;
    return b;
}

/* One generation as the front door makes it: the engine through an edit
 * script; the delta is the script's output, the no-change byte, or the
 * replacement string when the edit delta is not shorter. */
uint64_t engine_delta_size(const std::string &old_value, const std::string &new_value,
                           uint64_t *peak_extra, double *seconds) {
    buf o = view(old_value), n = view(new_value);
    const uint64_t rss_before = status_kib("VmRSS:");
    reset_peak();
    const auto t0 = clock_type::now();
    edit_script *script = edit_script_create(&o, &n);
    const int32_t result = myers_binary_diff(&o, 0, (int32_t)o.length, &n, 0, (int32_t)n.length,
                                             script, 2147483647, 10000);
    uint64_t size = 0;
    if (result == 0)
        size = script->output->length;
    else if (result == 2)
        size = 1;
    if (result == 1 || size >= n.length) size = cbor_head_size(n.length) + n.length;
    const uint64_t output_bytes = script->output->capacity;
    edit_script_free(script);
    *seconds = std::chrono::duration<double>(clock_type::now() - t0).count();
    const uint64_t peak = status_kib("VmHWM:");
    const uint64_t extra = peak > rss_before ? (peak - rss_before) * 1024 : 0;
    *peak_extra = extra > output_bytes ? extra - output_bytes : 0;
    return size;
}

bool round_trip(const std::string &old_value, const std::string &new_value) {
    buf o = view(old_value), n = view(new_value);
    buf *delta = diff_generate_binary(&o, &n);
    if (!delta) return false;
    buf *rebuilt = diff_apply_binary(&o, delta);
    const bool ok = rebuilt && rebuilt->length == n.length &&
                    (n.length == 0 || memcmp(rebuilt->data, n.data, n.length) == 0);
    buf_free(rebuilt);
    buf_free(delta);
    return ok;
}

set_result run_engine(const std::vector<pair_input> &pairs, int repeat) {
    set_result best;
    best.seconds = 1e300;
    for (int r = 0; r < repeat; ++r) {
        set_result now;
        for (const pair_input &p : pairs) {
            uint64_t extra = 0;
            double seconds = 0;
            now.delta_bytes += engine_delta_size(p.old_value, p.new_value, &extra, &seconds);
            now.seconds += seconds;
            now.new_bytes += p.new_value.size();
            now.peak_extra = std::max(now.peak_extra, extra);
        }
        if (now.seconds < best.seconds) best = now;
    }
    for (const pair_input &p : pairs)
        if (!round_trip(p.old_value, p.new_value)) ++best.failures;
    return best;
}

uint64_t block_size_for(uint64_t old_size) {
    uint64_t n = 512 * 1024;
    while (n < old_size) n *= 2;
    return n;
}

set_result run_xdelta(const std::string &xdelta, std::vector<pair_input> &pairs,
                      const std::string &scratch) {
    set_result total;
    int index = 0;
    for (pair_input &p : pairs) {
        std::string old_path = p.old_path, new_path = p.new_path;
        if (old_path.empty()) {
            old_path = scratch + "/old." + std::to_string(index);
            new_path = scratch + "/new." + std::to_string(index);
            write_file(old_path, p.old_value);
            write_file(new_path, p.new_value);
        }
        const std::string out_path = scratch + "/delta." + std::to_string(index);
        const std::string block = std::to_string(block_size_for(p.old_value.size()));
        std::vector<std::string> args = {xdelta, "-e", "-9", "-S",     "none",   "-B",
                                         block,  "-f", "-s", old_path, new_path, out_path};
        std::vector<char *> argv;
        for (std::string &a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        const auto t0 = clock_type::now();
        pid_t pid;
        int status = 0;
        struct rusage usage;
        memset(&usage, 0, sizeof usage);
        if (posix_spawn(&pid, xdelta.c_str(), nullptr, nullptr, argv.data(), environ) != 0 ||
            wait4(pid, &status, 0, &usage) < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            ++total.failures;
        }
        total.seconds += std::chrono::duration<double>(clock_type::now() - t0).count();
        struct stat st;
        if (stat(out_path.c_str(), &st) == 0) total.delta_bytes += (uint64_t)st.st_size;
        total.new_bytes += p.new_value.size();
        /* xdelta3 holds its inputs itself, so its whole peak counts. */
        total.peak_extra = std::max(total.peak_extra, (uint64_t)usage.ru_maxrss * 1024);
        unlink(out_path.c_str());
        if (p.old_path.empty()) {
            unlink(old_path.c_str());
            unlink(new_path.c_str());
        }
        ++index;
    }
    return total;
}

void print_row(const char *set, const char *who, const set_result &r) {
    const double mb = (double)r.new_bytes / 1e6;
    printf("%-34s %-8s %12.1f MB/s %10.4f s %12llu B %8.3f %% %9.0f KiB%s\n", set, who,
           mb / r.seconds, r.seconds, (unsigned long long)r.delta_bytes,
           100.0 * (double)r.delta_bytes / (double)std::max<uint64_t>(1, r.new_bytes),
           (double)r.peak_extra / 1024.0, r.failures ? "  FAILED" : "");
}

void compare(const char *set, std::vector<pair_input> &pairs, const std::string &xdelta,
             const std::string &scratch, int repeat) {
    const set_result ours = run_engine(pairs, repeat);
    const set_result theirs = run_xdelta(xdelta, pairs, scratch);
    print_row(set, "engine", ours);
    print_row(set, "xdelta3", theirs);
    printf("%-34s %-8s speed x%.2f, delta size x%.3f of xdelta3's\n", set, "ratio",
           theirs.seconds / ours.seconds,
           (double)ours.delta_bytes / (double)std::max<uint64_t>(1, theirs.delta_bytes));
    fflush(stdout);
}

std::string random_value(std::mt19937_64 &rng, size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i + 8 <= n; i += 8) {
        const uint64_t v = rng();
        memcpy(&s[i], &v, 8);
    }
    for (size_t i = n & ~(size_t)7; i < n; ++i) s[i] = (char)rng();
    return s;
}

} // namespace

int main(int argc, char **argv) {
    std::string pairs_list, tar_old, tar_new, xdelta = "/usr/bin/xdelta3";
    bool synthetic = false;
    int repeat = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--pairs" && i + 1 < argc)
            pairs_list = argv[++i];
        else if (a == "--tar" && i + 2 < argc)
            tar_old = argv[++i], tar_new = argv[++i];
        else if (a == "--synthetic")
            synthetic = true;
        else if (a == "--xdelta" && i + 1 < argc)
            xdelta = argv[++i];
        else if (a == "--repeat" && i + 1 < argc)
            repeat = std::max(1, atoi(argv[++i]));
        else {
            fprintf(stderr,
                    "usage: %s [--pairs LIST] [--tar OLD NEW] [--synthetic] [--xdelta PATH] "
                    "[--repeat N]\n",
                    argv[0]);
            return 2;
        }
    }
    char scratch_template[] = "/tmp/bench_engine.XXXXXX";
    const char *scratch = mkdtemp(scratch_template);
    if (!scratch) return 1;

    printf("%-34s %-8s %17s %12s %14s %10s %13s\n", "set", "tool", "throughput", "time", "delta",
           "of new", "peak extra");
    if (!pairs_list.empty()) {
        std::vector<pair_input> pairs;
        std::ifstream list(pairs_list);
        std::string line;
        while (std::getline(list, line)) {
            const size_t tab = line.find('\t');
            if (tab == std::string::npos) continue;
            pair_input p;
            p.old_path = line.substr(0, tab);
            p.new_path = line.substr(tab + 1);
            p.old_value = read_file(p.old_path);
            p.new_value = read_file(p.new_path);
            pairs.push_back(std::move(p));
        }
        const std::string name =
            "(a) stdlib .py 3.9->3.10 (" + std::to_string(pairs.size()) + " files)";
        compare(name.c_str(), pairs, xdelta, scratch, repeat);
    }
    if (!tar_old.empty()) {
        std::vector<pair_input> pairs(1);
        pairs[0].old_path = tar_old;
        pairs[0].new_path = tar_new;
        pairs[0].old_value = read_file(tar_old);
        pairs[0].new_value = read_file(tar_new);
        compare("(b) Lib tar 3.9->3.10", pairs, xdelta, scratch, 1);
    }
    if (synthetic) {
        std::mt19937_64 rng(20240601);
        {
            std::vector<pair_input> pairs(1);
            pairs[0].old_value = random_value(rng, 64u << 20);
            pairs[0].new_value = pairs[0].old_value;
            compare("(c) identical 64 MiB", pairs, xdelta, scratch, repeat);
        }
        {
            std::vector<pair_input> pairs(1);
            pairs[0].old_value = random_value(rng, 16u << 20);
            pairs[0].new_value = pairs[0].old_value;
            for (int i = 0; i < 100; ++i) {
                const size_t at = rng() % pairs[0].new_value.size();
                pairs[0].new_value[at] = (char)(pairs[0].new_value[at] ^ (1 + rng() % 255));
            }
            compare("(d) 16 MiB, 100 one-byte edits", pairs, xdelta, scratch, repeat);
        }
        {
            std::vector<pair_input> pairs(1);
            pairs[0].old_value = random_value(rng, 1u << 20);
            pairs[0].new_value = random_value(rng, 1u << 20);
            compare("(e) unrelated random 1 MiB", pairs, xdelta, scratch, repeat);
        }
    }
    rmdir(scratch);
    return 0;
}
