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
