#include "tool_output.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tool_failure.h"
#include "tool_text.h"

// The pending temporary file, removed if the process is interrupted before
// the rename. A plain array so the signal handler reads it without
// allocating.
static char pending_temp[PATH_MAX];
static volatile std::sig_atomic_t pending_temp_set = 0;

extern "C" void tool_output_on_signal(int signo) {
    if (pending_temp_set) {
        unlink(pending_temp);
    }
    std::signal(signo, SIG_DFL);
    std::raise(signo);
}

void tool_output_install_signal_handlers() {
    std::signal(SIGINT, tool_output_on_signal);
    std::signal(SIGTERM, tool_output_on_signal);
    std::signal(SIGHUP, tool_output_on_signal);
    // A closed pipe on the output becomes an ordinary write error.
    std::signal(SIGPIPE, SIG_IGN);
}

static std::string directory_of(const std::string &path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The path a write to `path` would reach: symbolic links followed, the last
// one possibly dangling (the write then creates its target).
static std::string resolve_links(const std::string &path) {
    std::string target = path;
    for (int hops = 0;; hops++) {
        struct stat st;
        if (lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            return target;
        }
        if (hops == 40) {
            throw tool_failure("cannot write " + tool_quote_path(path, true) + ": " +
                               std::strerror(ELOOP));
        }
        std::string link(static_cast<size_t>(st.st_size > 0 ? st.st_size : 4095) + 1, '\0');
        ssize_t n = readlink(target.c_str(), &link[0], link.size());
        if (n == -1 || static_cast<size_t>(n) >= link.size()) {
            throw tool_failure("cannot follow the link " + tool_quote_path(target, true) + ": " +
                               std::strerror(n == -1 ? errno : ENAMETOOLONG));
        }
        link.resize(static_cast<size_t>(n));
        target = link[0] == '/' ? link : directory_of(target) + "/" + link;
    }
}

static bool is_terminal_failure(int fd, bool force) { return !force && isatty(fd); }

tool_output::tool_output(const std::string &path, bool force) : path_(path), force_(force) {
    // A constructor that throws gets no destructor call.
    try {
        prepare();
    } catch (...) {
        discard();
        throw;
    }
}

void tool_output::prepare() {
    const std::string &path = path_;
    const bool force = force_;
    const std::string quoted = tool_quote_path(path, true);
    if (path == "-") {
        fd_ = STDOUT_FILENO;
        if (is_terminal_failure(fd_, force)) {
            throw tool_usage_error("refusing to write binary data to a terminal; give an output "
                                   "file or redirect standard output (or use -f)");
        }
        return;
    }
    target_ = resolve_links(path);
    struct stat st;
    if (lstat(target_.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            throw tool_failure("cannot write " + quoted + ": " + std::strerror(errno));
        }
        mode_t mask = umask(0);
        umask(mask);
        open_temp(target_, 0666 & ~mask, false, 0, 0);
    } else if (S_ISREG(st.st_mode)) {
        if (!force) {
            throw tool_failure(quoted + " already exists (use -f to overwrite it)");
        }
        // The rename needs only the folder's permission; overwriting also
        // needs the file's, as writing into it would.
        int probe = open(target_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (probe == -1) {
            throw tool_failure("cannot overwrite " + quoted + ": " + std::strerror(errno));
        }
        close(probe);
        open_temp(target_, st.st_mode & 07777, true, st.st_uid, st.st_gid);
    } else if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) {
        // Opened now, so that a reader of a FIFO sees an empty stream rather
        // than waiting forever when the command fails.
        fd_ = open(target_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (fd_ == -1) {
            throw tool_failure("cannot open " + quoted + ": " + std::strerror(errno));
        }
        owns_fd_ = true;
        if (is_terminal_failure(fd_, force)) {
            throw tool_usage_error("refusing to write binary data to the terminal " + quoted +
                                   "; give an output file (or use -f)");
        }
    } else if (S_ISDIR(st.st_mode)) {
        throw tool_failure("cannot write " + quoted + ": " + std::strerror(EISDIR));
    } else {
        throw tool_failure("cannot write " + quoted +
                           ": not a regular file, character device or FIFO");
    }
}

void tool_output::open_temp(const std::string &target, mode_t mode, bool keep_owner, uid_t uid,
                            gid_t gid) {
    std::string temp = directory_of(target) + "/.corvantis-delta.XXXXXX";
    if (temp.size() >= sizeof pending_temp) {
        throw tool_failure("output path too long: " + tool_quote_path(path_, true));
    }
    std::strcpy(pending_temp, temp.c_str());
    fd_ = mkostemp(pending_temp, O_CLOEXEC);
    if (fd_ == -1) {
        throw tool_failure("cannot create a temporary file next to " +
                           tool_quote_path(path_, true) + ": " + std::strerror(errno));
    }
    pending_temp_set = 1;
    owns_fd_ = true;
    replace_ = true;
    keep_existing_ = keep_owner;
    // Giving the file away needs privileges; without them it stays the
    // writer's, and then must not carry set-id bits of the previous owner.
    if (keep_owner && fchown(fd_, uid, gid) != 0) {
        mode &= ~static_cast<mode_t>(S_ISUID | S_ISGID);
    }
    if (fchmod(fd_, mode) != 0) {
        throw tool_failure("cannot set the mode of " + tool_quote_path(path_, true) + ": " +
                           std::strerror(errno));
    }
}

tool_output::~tool_output() { discard(); }

void tool_output::discard() {
    if (owns_fd_ && fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    if (replace_ && pending_temp_set) {
        unlink(pending_temp);
        pending_temp_set = 0;
    }
}

void tool_output::commit(const tool_piece *pieces, size_t count) {
    const std::string quoted = tool_quote_path(path_, true);
    auto fail = [&quoted]() {
        throw tool_failure("cannot write " + quoted + ": " + std::strerror(errno));
    };
    for (size_t i = 0; i < count; i++) {
        const uint8_t *data = pieces[i].data;
        uint64_t left = pieces[i].length;
        while (left > 0) {
            // The system writes at most about 2 GiB a call, and reports it.
            ssize_t put =
                write(fd_, data, static_cast<size_t>(std::min<uint64_t>(left, SSIZE_MAX)));
            if (put == -1) {
                if (errno == EINTR) {
                    continue;
                }
                fail();
            }
            data += put;
            left -= static_cast<uint64_t>(put);
        }
    }
    // Replacing an existing file, the new bytes must be on disk before the
    // rename, or a crash could leave neither version; a new path risks
    // nothing and is spared the wait.
    if (replace_ && keep_existing_ && fsync(fd_) != 0) {
        fail();
    }
    if (owns_fd_) {
        int fd = fd_;
        fd_ = -1;
        if (close(fd) != 0) {
            fail();
        }
    }
    if (!replace_) {
        return;
    }
    // Without --force a file that appeared since the check is not replaced.
    int renamed =
        force_ ? rename(pending_temp, target_.c_str())
               : renameat2(AT_FDCWD, pending_temp, AT_FDCWD, target_.c_str(), RENAME_NOREPLACE);
    if (renamed != 0 && !force_ && (errno == EINVAL || errno == ENOSYS)) {
        renamed =
            rename(pending_temp, target_.c_str()); // a file system without the no-replace flag
    }
    if (renamed != 0) {
        if (errno == EEXIST) {
            throw tool_failure(quoted + " already exists (use -f to overwrite it)");
        }
        fail();
    }
    pending_temp_set = 0;
}
