#include "option_number.h"

#include <cerrno>
#include <cstdlib>

bool parse_unsigned(const char* text, uint64_t max, uint64_t& out) {
    if (*text < '0' || *text > '9') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    unsigned long long v = strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > max) {
        return false;
    }
    out = v;
    return true;
}
