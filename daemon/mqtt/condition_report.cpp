#include "mqtt/condition_report.h"

#include <cstdio>

#include "platform/platform.h"

void ConditionReport::say(const std::string& broker, const std::string& condition,
                          const std::string& text) {
    if (condition == last_condition_) {
        return;
    }
    last_condition_ = condition;
    const std::string line = "mqtt broker " + broker + ": " + text;
    fprintf(stderr, "vorlask: %s\n", line.c_str());
    if (condition == "connected") {
        system_log_notice(line.c_str());
    } else {
        system_log_error(line.c_str());
    }
}
