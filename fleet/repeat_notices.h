// What the intake says on standard error, each text once: a text said before
// is only counted, and the count is said once a period ("... (41 more times
// in 60 s)"), so that a broker refusing or dropping every attempt fills no
// log, however often the intake tries.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace fleet {

class RepeatNotices {
  public:
    using Sink = std::function<void(const std::string& line)>;
    // `sink` nullptr: "vorlask-fleet: " and the line on standard error.
    explicit RepeatNotices(Sink sink = nullptr, uint64_t period_ms = 60000);

    // Says `text` unless it was said since the last reset; counts it if so.
    void say(const std::string& text, uint64_t now_ms);
    // Once a period has passed: says the count of every text repeated in it.
    void tick(uint64_t now_ms);
    // Says the counts not said yet and forgets every text: each is said
    // again the next time (once the trouble is over, its return is news).
    void reset(uint64_t now_ms);

  private:
    void say_counts(uint64_t now_ms);

    Sink sink_;
    uint64_t period_ms_;
    uint64_t period_start_ = 0;
    std::map<std::string, uint64_t> repeats_;  // text: times since it was last said
};

}  // namespace fleet
