#include "capture.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "coverage.h"

bool ChildResult::exited() const {
    return WIFEXITED(status);
}
int ChildResult::exit_code() const {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
bool ChildResult::killed_by(int signal) const {
    return WIFSIGNALED(status) && WTERMSIG(status) == signal;
}

ChildResult run_in_child(const std::function<void()>& body) {
    int out[2];
    int err[2];
    if (pipe(out) != 0 || pipe(err) != 0) {
        abort();
    }
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        body();
        fflush(stdout);
        flush_coverage();  // _exit skips the coverage build's exit handler
        _exit(0);
    }
    close(out[1]);
    close(err[1]);
    ChildResult result;
    struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open_fds = 2;
    while (open_fds > 0) {
        if (poll(fds, 2, 10000) <= 0) {
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0) {
                continue;
            }
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n <= 0) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_fds;
            } else {
                (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
            }
        }
    }
    waitpid(pid, &result.status, 0);
    return result;
}
