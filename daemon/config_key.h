// One key of a section of the start-up configuration file, as the section
// readers look it up and word a bad value.
#pragma once

#include <string>

class Confile;

// The value of `key` in `section`, or false when the key is absent.
bool config_key(const Confile& config, const char* section, const char* key, std::string& value);

// Prints "vorlask: PATH: section [SECTION] key KEY: bad value "VALUE" (WHY)"
// on standard error.
void say_bad_value(const char* path, const char* section, const char* key, const std::string& value,
                   const char* why);
