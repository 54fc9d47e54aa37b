// libFuzzer target for the configuration parser. Confile reads a path, so
// each input is written to an anonymous memory file and parsed through its
// /proc/self/fd name; then a few lookups run over what was stored.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "chameleon.h"

namespace {

int input_file() {
    static int fd = memfd_create("config_parser_fuzz", 0);
    if (fd < 0) {
        perror("memfd_create");
        abort();
    }
    return fd;
}

bool write_all(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int fd = input_file();
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0 || !write_all(fd, data, size)) {
        perror("memfd write");
        abort();
    }
    Confile config("/proc/self/fd/" + std::to_string(fd));

    // The first line, split the way an entry is, must be found again unless
    // a later line of the same name replaced it (its value is then another).
    std::string text(reinterpret_cast<const char*>(data), size);
    std::string first = text.substr(0, text.find('\n'));
    if (!first.empty() && first[0] != '#' && first[0] != ';' && first[0] != '[') {
        std::string::size_type eq = first.find('=');
        std::string key = trim(first.substr(0, eq), " \t\r\n");
        try {
            static_cast<const Confile&>(config).Value("", key);
        } catch (const char*) {
            fprintf(stderr, "entry of the first line is missing: key \"%s\"\n", key.c_str());
            abort();
        }
    }

    const Confile& read_only = config;
    try {
        std::string value = read_only.Value("server", "ucast_addr");
        (void)static_cast<double>(read_only.Value("server", "ucast_addr"));
    } catch (const char*) {
    }
    Chameleon& port = config.Value("server", "port", 5566.0);
    if (&port != &config.Value("server", "port", 1.0)) {
        abort();
    }
    (void)static_cast<double>(port);
    return 0;
}
