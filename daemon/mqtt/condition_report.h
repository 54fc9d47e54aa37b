// What the publisher says of its broker: each change of condition once, as
// "vorlask: mqtt broker HOST:PORT: TEXT" on standard error and in the system
// log (a notice when connected, an error otherwise).
#pragma once

#include <string>

class ConditionReport {
  public:
    // Says `text` of `broker` unless `condition` is the one said last.
    void say(const std::string& broker, const std::string& condition, const std::string& text);

  private:
    std::string last_condition_;
};
