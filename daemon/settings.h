// The daemon's settings: compiled-in defaults changed by the command line.
#pragma once

#include <cstdint>
#include <string>

struct Options {
    uint16_t timemax = 0;    // ticks until a timed stop; 0 = no limit
    uint16_t timeout = 0;    // scan interval in seconds
    uint16_t randommax = 0;  // keep threshold of the scan and the summary
    uint16_t daemon = 0;     // non-zero: detach and run in the background
    std::string mcast_addr;  // multicast group, dotted-quad text
    uint16_t port = 0;       // UDP port of the group
};

void set_default_options(Options& options);

// Parses the whole command line with getopt_long. Ends the process with
// status 1 on -h, a missing value, an unknown option or a port of 0.
void read_command_line(int argc, char** argv, Options& options);

[[noreturn]] void print_usage();
