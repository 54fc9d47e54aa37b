// The [crowd] section of the start-up configuration file: what the crowd
// estimate leaves out and how its devices become people.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

class Confile;

struct CrowdConfig {
    // Fixed stations that are not people (a site's PCs, printers, screens).
    std::vector<std::array<uint8_t, 6>> not_people;
    double people_per_device = 1;  // people = people_per_device * devices + offset
    double offset = 0;
};

// Largest people_per_device and largest offset (either sign) accepted.
constexpr double crowd_scale_limit = 100;
constexpr double crowd_offset_limit = 10000;

// Reads not_people (addresses separated by blanks or commas), people_per_device
// (above 0) and offset of section [crowd] of `config` into `crowd`; absent
// keys (or an absent section) keep what `crowd` holds. On a bad value prints
// one line naming `path`, the section, the key and the value on standard
// error and returns false.
bool read_crowd_config(const Confile& config, const char* path, CrowdConfig& crowd);

// People for `devices` under `crowd`, never below 0.
double people_of(const CrowdConfig& crowd, double devices);
