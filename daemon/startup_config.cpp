#include "startup_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "chameleon.h"

namespace {

// The library reads the file with a blocking open and read: a FIFO without a
// writer, or one whose writer never writes, would hold start-up forever. So
// anything there that is not a regular file is refused before the library
// sees the path, and at once: a non-blocking open never waits. So is a file
// larger than max_config_size. A path that cannot be opened at all is left to
// the library, whose empty configuration then fails the first lookup as before.
bool refuse_file(const char* path) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st;
    bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    close(fd);
    if (!regular) {
        fprintf(stderr, "vorlask: %s: cannot read the file: not a regular file\n", path);
        return true;
    }
    if (static_cast<unsigned long long>(st.st_size) > max_config_size) {
        fprintf(stderr, "vorlask: %s: the file is too large: %lld bytes, at most %zu\n", path,
                static_cast<long long>(st.st_size), max_config_size);
        return true;
    }
    return false;
}

}  // namespace

bool print_startup_config(const char* path, MoreSections more, void* context) {
    if (refuse_file(path)) {
        return false;
    }
    const Confile config(path);
    const char* key = "ucast_addr";
    try {
        std::string ucast = config.Value("server", key);
        key = "mcast_addr";
        std::string mcast = config.Value("server", key);
        if (more != nullptr && !more(config, context)) {
            return false;
        }
        std::cout << ucast << std::endl;
        std::cout << mcast << std::endl;
    } catch (const char*) {
        if (access(path, R_OK) != 0) {
            fprintf(stderr,
                    "vorlask: %s: section [server] has no key %s (cannot read the file: %s)\n",
                    path, key, strerror(errno));
        } else {
            fprintf(stderr, "vorlask: %s: section [server] has no key %s\n", path, key);
        }
        return false;
    }
    return true;
}
