// The fleet view as a console table: a summary line, the access points, then
// the most recently seen stations with their strongest access point and every
// access point that heard them. On a terminal each table replaces the last.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace fleet {

class FleetView;

struct ConsoleStatus {
    std::string broker;  // "host:port", or what the intake is doing
    bool connected = false;
};

class FleetConsole {
  public:
    FleetConsole(FILE* out, bool terminal, uint32_t rows)
        : out_(out), terminal_(terminal), rows_(rows) {}
    // The whole table as text (what print writes).
    std::string render(const FleetView& view, const ConsoleStatus& status, int64_t now) const;
    void print(const FleetView& view, const ConsoleStatus& status, int64_t now);

  private:
    FILE* out_;
    bool terminal_;
    uint32_t rows_;
};

}  // namespace fleet
