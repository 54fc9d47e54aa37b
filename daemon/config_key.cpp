#include "config_key.h"

#include <cstdio>

#include "chameleon.h"

bool config_key(const Confile& config, const char* section, const char* key, std::string& value) {
    try {
        value = static_cast<std::string>(config.Value(section, key));
        return true;
    } catch (const char*) {
        return false;
    }
}

void say_bad_value(const char* path, const char* section, const char* key, const std::string& value,
                   const char* why) {
    fprintf(stderr, "vorlask: %s: section [%s] key %s: bad value \"%s\" (%s)\n", path, section, key,
            value.c_str(), why);
}
