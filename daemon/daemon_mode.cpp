#include "daemon_mode.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "platform/platform.h"

namespace {

[[noreturn]] void throw_errno() {
    throw std::runtime_error(strerror(errno));
}

// The child's end of the pipe to the waiting parent sits on this descriptor
// from the fork until the start-up has finished.
constexpr int outcome_descriptor = 3;
// What the child writes there once its start-up has finished; anything
// before it is text the child printed on its standard error.
constexpr char finished_mark = '\0';
// The parent keeps at most this much of that text.
constexpr size_t max_said = size_t{16} * 1024;

// Set in the detached child before any thread exists; -1 elsewhere.
std::atomic<int> outcome_fd{-1};
std::atomic<int> saved_stderr{-1};
std::atomic<int> steps_done{0};

void write_all(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        done += static_cast<size_t>(n);
    }
}

// In the child: the pipe's write end moves to outcome_descriptor and becomes
// standard error too, so that what the child prints reaches the parent.
void report_to_parent(int write_end) {
    if (write_end != outcome_descriptor) {
        dup2(write_end, outcome_descriptor);
    }
    fcntl(outcome_descriptor, F_SETFD, FD_CLOEXEC);
    dup2(outcome_descriptor, STDERR_FILENO);
    outcome_fd.store(outcome_descriptor);
}

// How the child ended, when it has ended by now; empty otherwise.
std::string end_of(pid_t child) {
    int status = 0;
    for (int i = 0; i < 20; ++i) {
        if (waitpid(child, &status, WNOHANG) == child) {
            if (WIFSIGNALED(status)) {
                return " (killed by signal " + std::to_string(WTERMSIG(status)) + ")";
            }
            return " (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
        }
        usleep(10000);
    }
    return "";
}

bool close_listed_descriptors(int lowest) {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return false;
    }
    std::vector<int> open_fds;
    const int own = dirfd(dir);
    while (struct dirent* entry = readdir(dir)) {
        char* end = nullptr;
        long fd = strtol(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0' && fd >= lowest && fd != own) {
            open_fds.push_back(static_cast<int>(fd));
        }
    }
    closedir(dir);
    for (int fd : open_fds) {
        close(fd);
    }
    return true;
}

}  // namespace

void close_descriptors_from(int lowest, unsigned long limit) {
    if (close_range_from(lowest) || close_listed_descriptors(lowest)) {
        return;
    }
    // Neither is available: a loop, bounded so that a huge limit cannot hang.
    const unsigned long bound = limit < 65536 ? limit : 65536;
    for (unsigned long fd = static_cast<unsigned long>(lowest); fd < bound; ++fd) {
        close(static_cast<int>(fd));
    }
}

int await_startup(int fd, pid_t child, int limit_ms) {
    using clock = std::chrono::steady_clock;
    const clock::time_point deadline = clock::now() + std::chrono::milliseconds(limit_ms);
    std::string said;
    bool finished = false;
    bool ended = false;
    while (!finished && !ended) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        if (left <= 0) {
            break;
        }
        struct pollfd p = {fd, POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            break;
        }
        char buf[512];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ended = true;
            break;
        }
        const char* mark = static_cast<const char*>(memchr(buf, finished_mark, n));
        const size_t text = mark != nullptr ? static_cast<size_t>(mark - buf) : n;
        said.append(buf, std::min(text, max_said - std::min(max_said, said.size())));
        finished = mark != nullptr;
    }
    close(fd);
    if (finished) {
        write_all(STDERR_FILENO, said);
        return 0;
    }
    if (!ended) {
        kill(child, SIGKILL);
        char line[120];
        snprintf(line, sizeof line,
                 "vorlask: daemon mode: the daemon did not finish its start-up within %g s; it "
                 "was stopped\n",
                 limit_ms / 1000.0);
        said += line;
    } else if (said.empty()) {
        said = "vorlask: daemon mode: the daemon ended during its start-up" + end_of(child) + "\n";
    }
    if (said.back() != '\n') {
        said += '\n';
    }
    write_all(STDERR_FILENO, said);
    for (size_t from = 0; from < said.size();) {
        const size_t end = said.find('\n', from);
        if (end > from) {
            system_log_error(said.substr(from, end - from).c_str());
        }
        from = end + 1;
    }
    return 1;
}

void startup_step_done() {
    const int fd = outcome_fd.load();
    if (fd < 0 || steps_done.fetch_add(1) + 1 != startup_steps) {
        return;
    }
    const int err = saved_stderr.exchange(-1);
    if (err >= 0) {
        dup2(err, STDERR_FILENO);
        close(err);
    }
    ssize_t ignored = write(fd, &finished_mark, 1);
    (void)ignored;
    close(fd);
}

void daemonize(const std::string& directory, const std::string& stdin_path,
               const std::string& stdout_path, const std::string& stderr_path) {
    umask(0);
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) < 0) {
        throw_errno();
    }
    int ends[2];
    if (pipe(ends) < 0) {
        throw_errno();
    }
    fflush(stdout);
    pid_t pid = fork();
    if (pid < 0) {
        const int fork_errno = errno;
        close(ends[0]);
        close(ends[1]);
        errno = fork_errno;
        throw_errno();
    }
    if (pid != 0) {
        close(ends[1]);
        exit(await_startup(ends[0], pid, startup_wait_ms));
    }
    close(ends[0]);
    setsid();
    // A parent that has gone must not end the child when it writes to the pipe.
    signal(SIGPIPE, SIG_IGN);
    report_to_parent(ends[1]);
    if (!directory.empty() && chdir(directory.c_str()) < 0) {
        throw_errno();
    }
    unsigned long max =
        limit.rlim_max == RLIM_INFINITY ? 1024ul : static_cast<unsigned long>(limit.rlim_max);
    close_descriptors_from(outcome_descriptor + 1, max);
    for (int fd = 0; fd < outcome_descriptor; ++fd) {
        close(fd);
    }
    int in = open(stdin_path.c_str(), O_RDONLY);
    int out = open(stdout_path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0600);
    int err = open(stderr_path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0600);
    const bool expected = in == 0 && out == 1 && err == 2;
    if (expected) {
        // Standard error's own file, until the start-up has finished.
        saved_stderr.store(fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, outcome_descriptor + 1));
    }
    dup2(outcome_descriptor, STDERR_FILENO);
    if (!expected) {
        throw std::runtime_error("new standard file descriptors were not opened as expected");
    }
}
