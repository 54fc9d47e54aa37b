// Command line of vorlask-kernel-standin.
#pragma once

#include <cstdint>
#include <string>

namespace standin {

struct GeneratorOptions {
    double duration = 10;  // seconds covered by the stable and random stations
    uint32_t stable = 0;   // stations with fixed, globally administered addresses
    double stable_rate = 1;
    uint32_t random = 0;  // randomised addresses spread over the duration
    uint32_t random_hits = 1;
    double flood_rate = 0;  // datagrams/s, each from a new randomised address
    double flood_secs = 10;
    double flood_start = 0;
    uint64_t seed = 1;
    uint32_t burst = 0;  // messages back to back at the start
    bool active() const { return stable != 0 || random != 0 || flood_rate > 0 || burst != 0; }
};

struct StandinOptions {
    uint32_t port = 0;
    double wait = 10;
    std::string dump_registration;
    std::string script;
    GeneratorOptions generator;
    bool rate_unlimited = false;
    double linger = 0;
    int send_timeout_ms = 0;  // 0: never wait for room in the daemon's queue
    bool report_time = false;
};

enum class CliResult { run, help, error };

// Reads the command line into `options`. On an error `error` says what is
// wrong; the caller prints it with the usage and exits with status 2.
CliResult parse_command_line(int argc, char** argv, StandinOptions& options, std::string& error);

const char* usage_text();

}  // namespace standin
