#include "persistent/scan_config.h"

#include <string>

#include "chameleon.h"
#include "config_key.h"
#include "number_text.h"

namespace {

bool lookup(const Confile& config, const char* key, std::string& value) {
    return config_key(config, "scan", key, value);
}

void bad_value(const char* path, const char* key, const std::string& value, const char* why) {
    say_bad_value(path, "scan", key, value, why);
}

// A whole number of seconds from 1 to scan_span_limit, digits only.
bool parse_span(const std::string& text, uint32_t& out) {
    const UnsignedForm span{1, scan_span_limit, 9};
    uint64_t v = 0;
    if (read_unsigned(text.data(), text.size(), span, v) != NumberRead::ok) {
        return false;
    }
    out = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

bool read_scan_rule(const Confile& config, const char* path, ScanRule& rule) {
    std::string value;
    if (lookup(config, "rule", value)) {
        if (value == "persistent") {
            rule.persistent = true;
        } else if (value == "count") {
            rule.persistent = false;
        } else {
            bad_value(path, "rule", value, "count or persistent");
            return false;
        }
    }
    const char* span_why = "a whole number of seconds from 1 to 604800";
    if (lookup(config, "min_span", value) && !parse_span(value, rule.min_span)) {
        bad_value(path, "min_span", value, span_why);
        return false;
    }
    if (lookup(config, "memory", value) && !parse_span(value, rule.memory)) {
        bad_value(path, "memory", value, span_why);
        return false;
    }
    if (rule.min_span > rule.memory) {
        bad_value(path, "min_span", std::to_string(rule.min_span),
                  ("longer than memory, " + std::to_string(rule.memory)).c_str());
        return false;
    }
    return true;
}
