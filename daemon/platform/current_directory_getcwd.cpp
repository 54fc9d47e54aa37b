#include <unistd.h>

#include <cerrno>
#include <vector>

#include "daemon_mode.h"

// getcwd is everywhere; it gives the physical path, without symbolic links.
std::string current_directory() {
    std::vector<char> buf(256);
    for (;;) {
        if (getcwd(buf.data(), buf.size()) != nullptr) {
            return std::string(buf.data());
        }
        if (errno != ERANGE || buf.size() >= 65536) {
            return "/";
        }
        buf.resize(buf.size() * 2);
    }
}
