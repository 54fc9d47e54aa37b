// The split between the two clocks: a step of the wall clock, either way, of
// any size, at any moment, changes no station, no crowd estimate and no age;
// only the times of day printed follow it.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "clock_reading.h"
#include "mqtt/scan_document.h"
#include "persistent/persistent_rule.h"
#include "probe_table.h"
#include "session_fixture.h"

namespace {

// Virtual time: the monotonic clock runs as the script says, the wall clock
// beside it with an offset that a step changes.
struct VirtualClock {
    int64_t monotonic_ms = 0;
    int64_t wall_offset_ms = 0;
};

ClockReading virtual_reading(void* context) {
    const auto* clock = static_cast<const VirtualClock*>(context);
    return clock_reading_at(clock->monotonic_ms, clock->monotonic_ms + clock->wall_offset_ms);
}

struct ScanOutcome {
    std::vector<std::string> stations;  // address byte, latest wall second, ages
    uint32_t estimate;
    bool operator==(const ScanOutcome& o) const {
        return stations == o.stations && estimate == o.estimate;
    }
};

std::ostream& operator<<(std::ostream& out, const ScanOutcome& o) {
    out << "{";
    for (const std::string& s : o.stations) {
        out << s << "; ";
    }
    return out << "estimate " << o.estimate << "}";
}

struct Gathered {
    std::vector<std::string> stations;
    std::vector<int64_t> walls;  // wall second of each station's latest hearing
};

void gather(void* context, const ProbeEntry& entry) {
    auto* g = static_cast<Gathered*>(context);
    const int64_t scan_ms = read_clocks().monotonic_ms;
    g->stations.push_back(std::to_string(entry.record->mac[5]) + " ages " +
                          std::to_string(age_at_scan(scan_ms, entry.first_ms)) + "/" +
                          std::to_string(age_at_scan(scan_ms, entry.last_ms)));
    g->walls.push_back(entry.last_seen.tv_sec);
}

// 40 s of hearings under rule = persistent (min_span 2 s, memory 10 s), a
// scan every second: station 1 heard every second up to 20 s (forgotten at
// 31 s), station 2 heard at 4, 5.5 and 7 s, and strong randomised addresses
// (one burst each) at 3, 8, 15 and 25 s. The wall clock starts at
// `wall_start_ms` and steps by `step_ms` at `step_at_ms`. `walls` gets the
// console's wall seconds of the stations' rows.
std::vector<ScanOutcome> play(int64_t wall_start_ms, int64_t step_at_ms, int64_t step_ms,
                              std::vector<int64_t>* walls = nullptr) {
    VirtualClock clock;
    clock.wall_offset_ms = wall_start_ms;
    set_clock_source(virtual_reading, &clock);
    TestSession t;
    PersistentRule rule(2, 10);
    Gathered gathered;
    ScanSinks sinks{};
    add_scan_sink(sinks, ScanSink{gather, nullptr, &gathered});
    std::vector<ScanOutcome> outcomes;
    uint8_t next_random = 100;
    for (int64_t ms = 0; ms <= 40000; ms += 500) {
        clock.monotonic_ms = ms;
        if (ms == step_at_ms) {
            clock.wall_offset_ms += step_ms;
        }
        if (ms % 1000 == 0 && ms <= 20000) {
            add_probe(t.session->table_, t.session->counters_, new_record(1, -50));
        }
        if (ms == 4000 || ms == 5500 || ms == 7000) {
            add_probe(t.session->table_, t.session->counters_, new_record(2, -60));
        }
        if (ms == 3000 || ms == 8000 || ms == 15000 || ms == 25000) {
            add_probe(t.session->table_, t.session->counters_, new_record(next_random++, -55));
        }
        if (ms % 1000 == 0 && ms > 0) {
            gathered.stations.clear();
            const ScanTotals totals =
                rule.scan(t.session->table_, sinks, t.session->counters_, t.session->kernel_);
            outcomes.push_back(ScanOutcome{gathered.stations, totals.crowd_estimate});
        }
    }
    set_clock_source(nullptr, nullptr);
    if (walls != nullptr) {
        *walls = gathered.walls;
    }
    return outcomes;
}

TEST(ClockSplit, WallStepsChangeNoStationNoEstimateNoAge) {
    const std::vector<ScanOutcome> steady = play(1765280000000, -1, 0);
    // The script does what it says, so that the comparison below means
    // something: station 1 from its third hearing until forgotten, station 2
    // at 7 s, and a crowd.
    ASSERT_EQ(steady.size(), 40u);
    EXPECT_EQ(steady[2].stations, (std::vector<std::string>{"1 ages 0/0"}));
    EXPECT_EQ(steady[6].stations, (std::vector<std::string>{"1 ages 0/0", "2 ages 0/0"}));
    EXPECT_TRUE(steady[35].stations.empty());
    EXPECT_GT(steady[8].estimate, steady[1].estimate);
    struct Step {
        const char* what;
        int64_t wall_start_ms, at_ms, by_ms;
    } steps[] = {
        {"1970 at boot, to now before the first station", 0, 1500, 1765280000000},
        {"1970 at boot, to now between two hearings", 0, 5000, 1765280000000},
        {"an hour back while stations are known", 1765280000000, 10500, -3600000},
        {"an hour forward while stations are known", 1765280000000, 10500, 3600000},
        {"a day back just before they are forgotten", 1765280000000, 30500, -86400000},
        {"to before 1970", 1000, 6500, -2000000},
    };
    for (const Step& s : steps) {
        std::vector<int64_t> walls;
        EXPECT_EQ(play(s.wall_start_ms, s.at_ms, s.by_ms, &walls), steady) << s.what;
        // The console rows follow the wall clock: their last one (station
        // 1's at 20 s) shows the time of day, stepped if the step came first.
        const int64_t wall_ms = s.wall_start_ms + (s.at_ms < 20000 ? s.by_ms : 0) + 20000;
        ASSERT_FALSE(walls.empty()) << s.what;
        EXPECT_EQ(walls.back(), wall_ms / 1000) << s.what;
    }
}

TEST(ClockSplit, PublishedAgesAreWholeSecondsAndNeverNegative) {
    struct Case {
        int64_t scan_ms, heard_ms, age;
    } cases[] = {
        {10000, 0, 10},      {10000, 10000, 0}, {10000, 9001, 0},
        {10000, 8999, 1},    {10000, 12000, 0},  // heard after the scan's reading: never below 0
        {-5000, -65000, 60},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(age_at_scan(c.scan_ms, c.heard_ms), c.age) << c.scan_ms << " " << c.heard_ms;
    }
}

TEST(ClockSplit, ReadingsAtVirtualTimes) {
    const ClockReading r = clock_reading_at(7, -1500);
    EXPECT_EQ(r.monotonic_ms, 7);
    EXPECT_EQ(r.wall.tv_sec, -2);
    EXPECT_EQ(r.wall.tv_usec, 500000);
    // The system clocks: the monotonic one never goes back.
    const ClockReading a = read_clocks();
    const ClockReading b = read_clocks();
    EXPECT_LE(a.monotonic_ms, b.monotonic_ms);
    EXPECT_GT(b.wall.tv_sec, 0);
}

}  // namespace
