// Console output and diagnostics: the levelled printf gated by `verbosity`,
// the hex dump, trace and entry markers for callbacks, the assertion check
// and a millisecond sleep.
#pragma once

#include <cstdint>
#include <cstdio>

#include "assertion_sites.h"

// Raised by each -v / --version on the command line; written only before any
// thread exists and read without synchronisation afterwards.
extern uint32_t verbosity;

// Name printed in assertion reports and trace lines.
extern const char* const source_name;

// True when a message of `level` passes the gate.
inline bool log_gate(uint8_t level) {
    return static_cast<uint32_t>(level) <= verbosity;
}

void log_msg(uint8_t level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Holds standard output for a line printed in pieces (a table row is a dozen
// log_msg calls), so that what another thread prints meanwhile, such as the
// address of a reply, comes before or after the line instead of inside it.
class ConsoleLine {
  public:
    ConsoleLine() { flockfile(stdout); }
    ~ConsoleLine() { funlockfile(stdout); }
    ConsoleLine(const ConsoleLine&) = delete;
    ConsoleLine& operator=(const ConsoleLine&) = delete;
};
void log_hex(uint8_t level, const void* data, uint32_t length);
void log_trace(uint8_t level, const char* function, int line);
void log_enter(const char* function);
void sleep_ms(int32_t milliseconds);

// Reports "Assertion failed in vorlask on line N: TEXT" and aborts when
// `condition` is false.
void fatal_check(bool condition, int line, const char* text);
inline void fatal_check(bool condition, const AssertionSite& site) {
    fatal_check(condition, site.line, site.text);
}

// Ends the process at once with `status` after flushing standard output:
// used where worker threads may still be running, so that no exit handler or
// static destructor races them.
[[noreturn]] void quick_exit_flushed(int status);
