// The persistent rule's two tiers and the crowd estimate: when an address
// becomes a station, how long the rule remembers it, and what a flood or a
// full tier does to the stations already known.
#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

#include "hash_seed_scope.h"
#include "persistent/crowd_config.h"
#include "persistent/crowd_estimate.h"
#include "persistent/station_tiers.h"

namespace {

using Hearing = StationTiers::Hearing;

ProbeRecord record_of(uint32_t n, int8_t rssi = -50) {
    ProbeRecord r{};
    r.mac[0] = 0x02;
    memcpy(r.mac + 1, &n, 4);
    r.rssi = rssi;
    return r;
}

Hearing hear(StationTiers& tiers, uint32_t n, int64_t ms) {
    return tiers.hear(record_of(n), ms, ms, 1, timeval{});
}

// One address heard at the given moments (ms); the expected outcome of each.
struct Case {
    const char* what;
    std::vector<int64_t> at;
    std::vector<Hearing> expect;
    int64_t forget_at;  // forget_silent before the last hearing, or -1
};

TEST(StationTiers, TwoMomentsApartWithinMemory) {
    const auto c = Hearing::candidate;
    const auto s = Hearing::station;
    const Case cases[] = {
        {"just under min_span", {0, 59999}, {c, c}, -1},
        {"just over min_span", {0, 60000}, {c, s}, -1},
        {"burst, then min_span after its start", {0, 500, 1000, 60000}, {c, c, c, s}, -1},
        {"second moment after memory", {0, 600001}, {c, c}, -1},
        {"first moment out of memory, the later one counts", {0, 600001, 660001}, {c, c, s}, -1},
        {"return within memory", {0, 60000, 660000}, {c, s, s}, 660000},
        {"return after memory starts over", {0, 60000, 660001}, {c, s, c}, 660001},
    };
    for (const Case& k : cases) {
        StationTiers tiers(60, 600, 64, 16);
        for (size_t i = 0; i < k.at.size(); ++i) {
            if (i + 1 == k.at.size() && k.forget_at >= 0) {
                tiers.forget_silent(k.forget_at);
            }
            EXPECT_EQ(hear(tiers, 7, k.at[i]), k.expect[i]) << k.what << ", hearing " << i;
        }
    }
}

TEST(StationTiers, OneIntervalLongerThanMinSpanMakesAStation) {
    StationTiers tiers(60, 600, 64, 16);
    EXPECT_EQ(tiers.hear(record_of(1), 1000, 61000, 9, timeval{}), Hearing::station);
    ASSERT_EQ(tiers.stations().size(), 1u);
    EXPECT_EQ(tiers.stations()[0].count, 9u);
}

TEST(StationTiers, FloodFillsOnlyTheCandidatesOldestFirst) {
    const HashSeedScope seed;  // where the ring's addresses land in its index
    const size_t capacity = 64;
    StationTiers tiers(60, 600, capacity, 16);
    hear(tiers, 1, 0);
    ASSERT_EQ(hear(tiers, 1, 60000), Hearing::station);
    // Ten times the candidates' capacity of new addresses, each heard once.
    const uint32_t flood = 10 * capacity;
    for (uint32_t n = 100; n < 100 + flood; ++n) {
        EXPECT_EQ(hear(tiers, n, 61000), Hearing::candidate);
    }
    EXPECT_EQ(tiers.candidate_count(), capacity);
    // The station is still known and heard as one.
    EXPECT_EQ(hear(tiers, 1, 62000), Hearing::station);
    // A remembered candidate counts as returning within memory only.
    const uint32_t newest = 100 + flood - 1;
    EXPECT_TRUE(tiers.recent_candidate(record_of(newest).mac, 661000));
    EXPECT_FALSE(tiers.recent_candidate(record_of(newest).mac, 661001));
    EXPECT_FALSE(tiers.recent_candidate(record_of(100).mac, 62000));
    // The newest candidates are remembered, the older ones forgotten.
    for (uint32_t n = 100 + flood - 10; n < 100 + flood; ++n) {
        EXPECT_EQ(hear(tiers, n, 121000), Hearing::station) << n;
    }
    EXPECT_EQ(hear(tiers, 100, 121000), Hearing::candidate);
    EXPECT_EQ(tiers.stations().size(), 11u);
    EXPECT_EQ(tiers.turned_away(), 0u);
}

TEST(StationTiers, FullStationsTierTurnsNewStationsAway) {
    StationTiers tiers(60, 600, 64, 2);
    for (uint32_t n = 1; n <= 3; ++n) {
        hear(tiers, n, 0);
    }
    EXPECT_EQ(hear(tiers, 1, 60000), Hearing::station);
    EXPECT_EQ(hear(tiers, 2, 60000), Hearing::station);
    EXPECT_EQ(hear(tiers, 3, 60000), Hearing::turned_away);
    EXPECT_EQ(hear(tiers, 3, 70000), Hearing::turned_away);
    EXPECT_EQ(tiers.turned_away(), 2u);
    EXPECT_EQ(hear(tiers, 1, 80000), Hearing::station);
    // Once station 2 is forgotten, 3 takes its place at its next hearing.
    hear(tiers, 1, 600000);
    tiers.forget_silent(660001);
    EXPECT_EQ(tiers.stations().size(), 1u);
    EXPECT_EQ(hear(tiers, 3, 620000), Hearing::station);
    EXPECT_NE(tiers.find(record_of(3).mac), nullptr);
    EXPECT_EQ(tiers.find(record_of(2).mac), nullptr);
}

TEST(CrowdEstimate, StrongBurstsOverMemoryPlusStations) {
    struct Heard {
        int64_t ms;
        int rssi;
        bool returning = false;
    };
    struct Scan {
        int64_t at_ms;
        std::vector<Heard> randomised;  // heard since the scan before
    };
    struct Case {
        const char* what;
        std::vector<Scan> scans;
        size_t stations;
        uint32_t randomised;  // of the last scan
        uint32_t estimate;    // after the last scan
    };
    // Memory 90 s: a device sends two bursts over it (one each 45 s).
    const Case cases[] = {
        {"nothing heard", {{10000, {}}}, 3, 0, 3},
        {"addresses starting together are one burst",
         {{10000, {{1000, -60}, {1400, -60}, {2300, -60}, {2600, -60}}}},
         0,
         4,
         1},
        {"weak addresses count as randomised only", {{10000, {{1000, -90}, {5000, -81}}}}, 1, 2, 1},
        {"no signal strength counts as strong", {{10000, {{1000, -128}, {5000, -128}}}}, 0, 2, 1},
        {"bursts over several scans add up",
         {{10000, {{1000, -60}, {3000, -60}}},
          {20000, {{11000, -60}}},
          {30000, {{21000, -60}, {23000, -60}}}},
         0,
         2,
         3},
        {"an address heard again adds no burst",
         {{10000, {{1000, -60}}}, {20000, {{11000, -60, true}}}, {30000, {{21000, -60, true}}}},
         0,
         1,
         1},
        {"bursts older than the memory are left out",
         {{10000, {{1000, -60}, {3000, -60}, {5000, -60}, {7000, -60}}}, {100000, {}}},
         2,
         0,
         2},
    };
    for (const Case& k : cases) {
        CrowdEstimate crowd(90);
        CrowdFigures f;
        for (const Scan& scan : k.scans) {
            for (const Heard& h : scan.randomised) {
                crowd.hear_randomised(h.ms, h.rssi, h.returning);
            }
            f = crowd.close_scan(scan.at_ms, k.stations);
        }
        EXPECT_EQ(f.randomised, k.randomised) << k.what;
        EXPECT_EQ(f.estimate, k.estimate) << k.what;
    }
}

// The edges of the estimate: the signal floor, the burst gap, the memory's
// end, the bursts per device and their rounding, and people from devices.
TEST(CrowdEstimate, BoundaryCases) {
    struct Scan {
        int64_t at_ms;
        std::vector<std::pair<int64_t, int>> heard;  // latest hearing (ms) and rssi
    };
    struct Case {
        const char* what;
        uint32_t memory_s;  // 45 s: one burst per device
        std::vector<Scan> scans;
        size_t stations;
        uint32_t estimate;
        int64_t gap_ms = crowd_burst_gap_ms;  // [crowd] burst_gap and burst_interval
        int64_t interval_ms = crowd_burst_interval_ms;
    };
    const Case cases[] = {
        {"-80 dBm is strong", 45, {{10000, {{1000, -80}}}}, 0, 1},
        {"-81 dBm is not", 45, {{10000, {{1000, -81}}}}, 0, 0},
        {"hearings 1000 ms apart are one burst",
         45,
         {{10000, {{1000, -60}, {2000, -60}, {3000, -60}}}},
         0,
         1},
        {"1001 ms apart are two", 45, {{10000, {{1000, -60}, {2001, -60}}}}, 0, 2},
        {"a burst as old as the memory is forgotten",
         45,
         {{10000, {{1000, -60}}}, {55000, {}}},
         0,
         0},
        {"a millisecond younger it is kept", 45, {{10000, {{1000, -60}}}, {54999, {}}}, 0, 1},
        {"a memory under 22.5 s still needs one burst a device",
         10,
         {{10000, {{1000, -60}, {5000, -60}}}},
         0,
         2},
        {"67 s rounds to one burst a device", 67, {{10000, {{1000, -60}, {5000, -60}}}}, 0, 2},
        {"68 s rounds to two", 68, {{10000, {{1000, -60}, {5000, -60}}}}, 0, 1},
        {"three bursts over two a device round up",
         90,
         {{10000, {{1000, -60}, {3000, -60}, {5000, -60}}}},
         0,
         2},
        {"stations alone", 45, {{10000, {}}}, 5, 5},
        {"a 5 s gap joins hearings 5000 ms apart",
         45,
         {{10000, {{1000, -60}, {6000, -60}}}},
         0,
         1,
         5000},
        {"and not 5001 ms apart", 45, {{10000, {{1000, -60}, {6001, -60}}}}, 0, 2, 5000},
        {"a 300 s interval over 600 s: two bursts a device",
         600,
         {{10000, {{1000, -60}, {3000, -60}, {5000, -60}, {7000, -60}}}},
         1,
         3,
         crowd_burst_gap_ms,
         300000},
    };
    for (const Case& k : cases) {
        CrowdEstimate crowd(k.memory_s, k.gap_ms, k.interval_ms);
        CrowdFigures f;
        for (const Scan& scan : k.scans) {
            for (const auto& [ms, rssi] : scan.heard) {
                crowd.hear_randomised(ms, rssi);
            }
            f = crowd.close_scan(scan.at_ms, k.stations);
        }
        EXPECT_EQ(f.estimate, k.estimate) << k.what;
    }
    struct People {
        double per_device, offset, devices, people;
    };
    const People people[] = {
        {1, 0, 6, 6}, {1.5, 2, 6, 11}, {0.5, -10, 6, 0}, {1, -6, 6, 0}, {2, -1, 0, 0}};
    for (const People& p : people) {
        CrowdConfig config;
        config.people_per_device = p.per_device;
        config.offset = p.offset;
        EXPECT_DOUBLE_EQ(people_of(config, p.devices), p.people) << p.per_device << " " << p.offset;
    }
}

}  // namespace
