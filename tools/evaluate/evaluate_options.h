// vorlask-evaluate's command line, with the daemon's [scan] and [crowd]
// sections of a configuration file under it.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "persistent/crowd_config.h"
#include "rule_replay.h"

extern const char evaluate_usage[];

struct EvaluateOptions {
    RuleSettings settings;
    CrowdConfig crowd;  // its not_people are in settings.not_people too
    bool one_device = false;
    bool list = false;
    std::string windows_path;  // --windows: one CSV row per window
    double window_s = 600;     // --window: seconds of capture per window
    bool calibrate = false;    // --calibrate: fit [crowd] from the labelled captures
    bool tune_bursts = false;  // --tune-bursts: burst_gap and burst_interval, captures left out
    std::vector<std::string> paths;
};

// Reads the command line: --config FILE first, whatever its place, then the
// other options over it. Returns 0, or the status to exit with (the reason
// printed on standard error; the usage on standard output for --help).
int parse_evaluate_options(int argc, char** argv, EvaluateOptions& options);

// The addresses of a file, one a line; blank lines and lines starting with
// '#' are skipped. False (with `error` set) when it cannot be read or a line
// holds anything else.
bool read_address_list(const std::string& path, std::vector<Mac>& out, std::string& error);
