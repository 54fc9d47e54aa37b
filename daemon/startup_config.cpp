#include "startup_config.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "chameleon.h"

std::unique_ptr<Confile> print_startup_config(const char* path) {
    auto config = std::make_unique<Confile>(path);
    const char* key = "ucast_addr";
    try {
        std::string ucast = config->Value("server", key);
        key = "mcast_addr";
        std::string mcast = config->Value("server", key);
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
        return nullptr;
    }
    return config;
}
