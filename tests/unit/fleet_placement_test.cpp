// Where the fleet places an access point's scans on its own clock: at the
// scan's time when that access point's clock agrees with the fleet's (so a
// backlog lands when it was scanned), at its arrival when the clock is off;
// forgetting by arrival either way; restarts merged from their first scan.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fleet_console.h"
#include "fleet_test_doc.h"
#include "fleet_view.h"

using namespace fleet;
using namespace fleet_test;

// Each row: one access point's scans in order (its stamp, their arrival on the
// fleet's clock, station A's age), then how the last one was placed.
TEST(FleetPlacement, PlacesScansByAClockItCanTrust) {
    struct Scan {
        uint64_t seq;
        int64_t time, arrival;
        int age;
    };
    struct Case {
        const char* what;
        std::vector<Scan> scans;
        int64_t scan_time;  // told to the listeners (the history)
        int64_t last_seen;  // station A
        bool off;
        int64_t offset;  // its clock less the fleet's
    };
    const Case cases[] = {
        {"plausible", {{1, 1000, 1001, 2}}, 1000, 998, false, -1},
        {"plausible, a backlog a minute late",
         {{1, 1000, 1000, 0}, {2, 1010, 1070, 3}},
         1010,
         1007,
         false,
         0},
        {"ahead within the tolerance: never after its arrival",
         {{1, 1004, 1000, 0}},
         1000,
         1000,
         false,
         4},
        {"ahead", {{1, 1300, 1000, 2}}, 1000, 998, true, 300},
        {"behind", {{1, 700, 1000, 2}}, 1000, 998, true, -300},
        {"unset: 1970 after boot",
         {{1, 5, 1765280000, 2}},
         1765280000,
         1765279998,
         true,
         -1765279995},
        // Late documents only raise the lag; a slow clock raises them all.
        {"behind through a backlog",
         {{1, 700, 1000, 0}, {2, 710, 1070, 0}},
         1070,
         1070,
         true,
         -300},
        {"stepped to the right time at boot",
         {{1, 5, 1000, 0}, {2, 1010, 1010, 0}},
         1010,
         1010,
         false,
         0},
        {"stepped back an hour", {{1, 5000, 5000, 0}, {2, 1410, 5010, 0}}, 5010, 5010, true, -3600},
        {"restarted with its clock unset",
         {{1, 1000, 1000, 0}, {2, 1010, 1010, 0}, {1, 5, 1020, 0}},
         1020,
         1020,
         true,
         -1015},
    };
    for (const Case& c : cases) {
        FleetView view;
        int64_t told = -1;
        view.add_scan_listener([&](const fleet::Scan&, int64_t t) { told = t; });
        for (const Scan& s : c.scans) {
            ASSERT_TRUE(take(view, "ap1",
                             doc("ap1", s.seq, {{A, -50, s.age}}, 1, 1, 10, "plain", s.time),
                             s.arrival))
                << c.what;
        }
        EXPECT_EQ(told, c.scan_time) << c.what;
        EXPECT_EQ(view.stations().at(A).last_seen, c.last_seen) << c.what;
        const ApClock& clock = view.access_points().at("ap1").clock;
        EXPECT_EQ(!clock.trusted(), c.off) << c.what;
        EXPECT_EQ(clock.offset(), c.offset) << c.what;
    }
}

// A backlog lands when it was heard but is forgotten by its arrival: a station
// heard eleven minutes before its document came is shown as heard then, and
// kept for the forget time from the arrival on.
TEST(FleetPlacement, ForgetsByArrival) {
    FleetView view(ViewLimits{600});
    ASSERT_TRUE(take(view, "ap1", doc("ap1", 1, {{A, -50, 0}}, 1, 1, 10, "plain", 1000), 1000));
    ASSERT_TRUE(take(view, "ap1", doc("ap1", 2, {{B, -50, 0}}, 1, 1, 10, "plain", 1010), 1670));
    EXPECT_EQ(view.stations().at(B).last_seen, 1010);
    view.forget(1669);
    EXPECT_EQ(view.stations().count(A), 0u);
    EXPECT_EQ(view.stations().count(B), 1u);
    view.forget(2270);
    EXPECT_TRUE(view.stations().empty());
}

// The collector's wall clock steps by an hour between two documents: what
// is forgotten and when an unfinished scan expires follow the monotonic
// clock, so nothing goes early or stays late; placement is the wall clock's
// (ahead after a forward step the clock is still judged by the minute before;
// after a backward one the access point's clock is an hour ahead of the
// collector's and its scan is placed at its arrival).
TEST(FleetPlacement, DurationsIgnoreAStepOfTheCollectorsWallClock) {
    struct Check {
        int64_t mono;
        size_t stations, aps, gathering;  // gathering: ap2's unfinished scans
    };
    struct Case {
        int64_t step;
        int64_t placed;  // station B's last_seen, told to the listeners too
        bool off;
    };
    // Station A heard at 1000, ap2's two-part scan begun at 1000 (interval 10),
    // station B heard at 1010 by ap1: A and ap2 go at 1600, B and ap1 at 1610,
    // the unfinished scan once more than 20 s old.
    const Check checks[] = {{1020, 2, 2, 1}, {1021, 2, 2, 0}, {1599, 2, 2, 0},
                            {1600, 1, 1, 0}, {1609, 1, 1, 0}, {1610, 0, 0, 0}};
    const Case cases[] = {{3600, 1010, false}, {-3600, 1010 - 3600, true}};
    for (const Case& c : cases) {
        FleetView view(ViewLimits{600});
        int64_t told = -1;
        view.add_scan_listener([&](const fleet::Scan&, int64_t t) { told = t; });
        ASSERT_TRUE(take(view, "ap1", doc("ap1", 1, {{A, -50, 0}}, 1, 1, 10, "plain", 1000), 1000));
        ASSERT_TRUE(take(view, "ap2", doc("ap2", 1, {}, 1, 2, 10, "plain", 1000), 1000));
        FleetTime arrival(1010 + c.step, 1010);
        ASSERT_TRUE(
            take(view, "ap1", doc("ap1", 2, {{B, -50, 0}}, 1, 1, 10, "plain", 1010), arrival));
        EXPECT_EQ(view.stations().at(B).last_seen, c.placed) << c.step;
        EXPECT_EQ(told, c.placed) << c.step;
        EXPECT_EQ(!view.access_points().at("ap1").clock.trusted(), c.off) << c.step;
        for (const Check& k : checks) {
            view.forget(FleetTime(k.mono + c.step, k.mono));
            EXPECT_EQ(view.stations().size(), k.stations) << c.step << " at " << k.mono;
            EXPECT_EQ(view.access_points().size(), k.aps) << c.step << " at " << k.mono;
            auto ap2 = view.access_points().find("ap2");
            size_t gathering = ap2 == view.access_points().end() ? 0 : ap2->second.gathering.size();
            EXPECT_EQ(gathering, k.gathering) << c.step << " at " << k.mono;
        }
        EXPECT_EQ(view.counters().incomplete, 1u) << c.step;
    }
}

// The collector's wall clock steps forward an hour within a minute of
// arrivals: the window over which an access point's clock is judged counts
// monotonic minutes, so the step opens no minute of its own and the lag
// measured before it stays for twelve minutes of documents, not eleven.
TEST(FleetPlacement, ClockWindowCountsMonotonicMinutes) {
    ApClock clock;
    clock.observe(1000, FleetTime(1000, 0));
    clock.observe(1010, FleetTime(1010 + 3600, 10));
    for (int64_t m = 1; m <= static_cast<int64_t>(ApClock::bucket_count); ++m) {
        clock.observe(1000 + 60 * m, FleetTime(1000 + 60 * m + 3600, 60 * m));
        EXPECT_EQ(clock.offset(), m < 12 ? 0 : -3600) << m;
    }
}

// The console flags an access point whose clock is off at the end of its row, and only that one.
TEST(FleetPlacement, FlagsAClockThatIsOffOnTheConsole) {
    FleetView view;
    ASSERT_TRUE(
        take(view, "ap-good", doc("ap-good", 1, {{A, -50, 0}}, 1, 1, 10, "plain", 999), 1000));
    ASSERT_TRUE(
        take(view, "ap-slow", doc("ap-slow", 1, {{B, -50, 0}}, 1, 1, 10, "plain", 700), 1000));
    FleetConsole console(stdout, false, 20);
    std::string table = console.render(view, ConsoleStatus{"broker:1883", true}, 1001);
    auto row = [&](const char* ap) {
        size_t at = table.find(std::string("\n") + ap);
        return at == std::string::npos ? std::string()
                                       : table.substr(at + 1, table.find('\n', at + 1) - at - 1);
    };
    EXPECT_EQ(row("ap-good").find("clock"), std::string::npos) << row("ap-good");
    const std::string slow = row("ap-slow");
    const std::string note = "  clock off: 300 s behind, placed by arrival";
    ASSERT_GE(slow.size(), note.size()) << table;
    EXPECT_EQ(slow.substr(slow.size() - note.size()), note) << slow;
}
