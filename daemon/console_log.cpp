#include "console_log.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "coverage.h"

uint32_t verbosity = 0;
const char* const source_name = "vorlask";

void log_msg(uint8_t level, const char* format, ...) {
    if (!log_gate(level)) {
        return;
    }
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
}

namespace {
// Graphic characters of the POSIX locale, independent of the current locale.
bool is_graphic(unsigned char c) {
    return c >= 0x21 && c <= 0x7e;
}
}  // namespace

void log_hex(uint8_t level, const void* data, uint32_t length) {
    if (!log_gate(level)) {
        return;
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (uint32_t off = 0; off < length; off += 16) {
        log_msg(level, "%08x      ", off);
        for (uint32_t j = off; j < off + 16; ++j) {
            if (j % 4 == 0) {
                log_msg(level, " ");
            }
            if (j < length) {
                log_msg(level, "%02x", bytes[j]);
            } else {
                log_msg(level, "  ");
            }
        }
        log_msg(level, "       ");
        for (uint32_t j = off; j < off + 16; ++j) {
            if (j < length) {
                log_msg(level, "%c", is_graphic(bytes[j]) ? bytes[j] : '.');
            } else {
                log_msg(level, " ");
            }
        }
        log_msg(level, "\n");
        if (off > UINT32_MAX - 16) {
            break;  // the next offset would wrap around
        }
    }
}

void log_trace(uint8_t level, const char* function, int line) {
    if (!log_gate(level)) {
        return;
    }
    fprintf(stderr, "%d %s:%d:%s(): \n", level, source_name, line, function);
}

void log_enter(const char* function) {
    fprintf(stdout, "--> %s\n", function);
}

void sleep_ms(int32_t milliseconds) {
    // One sleep of the whole span; an interrupted sleep is not resumed.
    struct timespec span;
    span.tv_sec = milliseconds / 1000;
    span.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    if (span.tv_sec < 0 || span.tv_nsec < 0) {
        return;
    }
    nanosleep(&span, nullptr);
}

void fatal_check(bool condition, int line, const char* text) {
    if (condition) {
        return;
    }
    fprintf(stderr, "Assertion failed in %s on line %d: %s\n", source_name, line, text);
    abort();
}

void quick_exit_flushed(int status) {
    fflush(stdout);
    flush_coverage();
    _exit(status);
}
