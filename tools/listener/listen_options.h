// Command line of the report listener.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ListenOptions {
    std::string group = "225.0.0.37";
    uint16_t port = 5566;
    std::vector<uint8_t> reply;  // sent back to the sender of each greeting/report
    bool send_reply = false;
    uint64_t count = 0;    // exit after this many datagrams; 0: no limit
    uint32_t timeout = 0;  // exit after this many seconds; 0: no limit
};

// "0a0b0c" -> {0x0a, 0x0b, 0x0c}; upper or lower case, an even number of
// digits, at least one byte.
bool parse_hex(const std::string& text, std::vector<uint8_t>& out);

// Fills `options` from the command line. Returns false with a message in
// `error` for an unknown option, a missing or bad value.
bool parse_listen_options(int argc, char** argv, ListenOptions& options, std::string& error);

extern const char* const listen_usage;
