#include <unistd.h>

#include <cstdlib>

#include "daemon_mode.h"

// get_current_dir_name keeps the name the shell used ($PWD) when it still
// names the current directory, symbolic links included.
std::string current_directory() {
    char* name = get_current_dir_name();
    if (name == nullptr) {
        return "/";
    }
    std::string result(name);
    free(name);
    return result;
}
