// The [crowd] section of the start-up configuration file: what the crowd
// estimate leaves out and how its devices become people.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "persistent/crowd_estimate.h"

class Confile;

struct CrowdConfig {
    // Fixed stations that are not people (a site's PCs, printers, screens).
    std::vector<std::array<uint8_t, 6>> not_people;
    double people_per_device = 1;  // people = people_per_device * devices + offset
    double offset = 0;
    // The crowd estimate's burst gap and burst interval in seconds
    // (crowd_estimate.h); fractions of a second scale them for a sped-up
    // replay.
    double burst_gap = 1;
    double burst_interval = 45;
};

// Largest people_per_device and largest offset (either sign) accepted.
constexpr double crowd_scale_limit = 100;
constexpr double crowd_offset_limit = 10000;
// Largest burst_gap and burst_interval accepted, in seconds.
constexpr double crowd_burst_gap_limit = 60;
constexpr double crowd_burst_interval_limit = 3600;

// Reads not_people (addresses separated by blanks or commas), people_per_device
// (above 0), offset, burst_gap (0 to 60) and burst_interval (above 0, at most
// 3600) of section [crowd] of `config` into `crowd`; absent
// keys (or an absent section) keep what `crowd` holds. On a bad value prints
// one line naming `path`, the section, the key and the value on standard
// error and returns false.
bool read_crowd_config(const Confile& config, const char* path, CrowdConfig& crowd);

// The crowd estimate that `crowd` asks for over `memory_s`.
CrowdEstimate crowd_estimate_of(const CrowdConfig& crowd, uint32_t memory_s);

// People for `devices` under `crowd`, never below 0.
double people_of(const CrowdConfig& crowd, double devices);
