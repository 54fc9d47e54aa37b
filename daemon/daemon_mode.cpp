#include "daemon_mode.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

void daemonize(const std::string& directory, const std::string& stdin_path,
               const std::string& stdout_path, const std::string& stderr_path) {
    umask(0);
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) < 0) {
        throw_errno();
    }
    fflush(stdout);
    pid_t pid = fork();
    if (pid < 0) {
        throw_errno();
    }
    if (pid != 0) {
        exit(0);
    }
    setsid();
    if (!directory.empty() && chdir(directory.c_str()) < 0) {
        throw_errno();
    }
    unsigned long max =
        limit.rlim_max == RLIM_INFINITY ? 1024ul : static_cast<unsigned long>(limit.rlim_max);
    close_descriptors_from(0, max);
    int in = open(stdin_path.c_str(), O_RDONLY);
    int out = open(stdout_path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0600);
    int err = open(stderr_path.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0600);
    if (in != 0 || out != 1 || err != 2) {
        throw std::runtime_error("new standard file descriptors were not opened as expected");
    }
}
