// The [scan] section of the start-up configuration file: which keep rule the
// scan applies, and the persistent rule's spans.
#pragma once

#include <cstdint>

class Confile;

struct ScanRule {
    bool persistent = false;  // rule = persistent; the default rule = count
    uint32_t min_span = 60;   // seconds between two hearings that make a station
    uint32_t memory = 600;    // seconds within which they count, and a station is kept
};

// Longest span accepted, in seconds (a week).
constexpr uint32_t scan_span_limit = 604800;

// Reads rule, min_span and memory of section [scan] of `config` into `rule`;
// absent keys (or an absent section) keep the defaults. On a bad value prints
// one line naming `path`, the section, the key and the value on standard
// error and returns false.
bool read_scan_rule(const Confile& config, const char* path, ScanRule& rule);
