// The visit classifier: visitors and passersby at the signal and dwell thresholds, the timeout
// that ends a visit, new and returning visitors across days, per-site thresholds, its bounds,
// the thresholds on the command line, and (with the collector) which hearings of a merged scan
// may make visits at all.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "visit_rules.h"
#include "visit_tracker.h"
#ifdef FLEET_VISITS_WITH_COLLECTOR
#include "fleet_test_doc.h"
#include "fleet_web.h"
#endif

using namespace fleet_visits;

namespace {

constexpr int64_t kDay = 86400;
constexpr int64_t kMonday = 20430 * kDay;  // a UTC midnight

VisitSettings settings(int rssi = -70, int64_t dwell = 300, int64_t timeout = 600) {
    VisitSettings s;
    s.rules = VisitRules{rssi, dwell, timeout};
    return s;
}

// A hearing of `key` at monotonic `heard`, at wall time `base` + heard.
Sighting hearing(const std::string& key, int rssi, int64_t heard, int64_t base = kMonday,
                 const std::string& site = "") {
    return Sighting{key, site, "ap-1", rssi, heard, base + heard};
}

struct Step {
    int rssi;
    int64_t heard;
};

struct BoundaryCase {
    const char* name;
    std::vector<Step> steps;  // one station's hearings, each taken when it was heard
    int64_t expire_at;        // monotonic time of the last expire
    uint64_t started, ended, visitors;
    int64_t dwell;  // of the first visit ended (-1: none ended)
};

TEST(FleetVisitTracker, SortsVisitsAtTheThresholdsAndEndsThemAtTheTimeout) {
    // Visitor: strongest signal at least -70 dBm and dwell at least 300 s; timeout 600 s.
    const BoundaryCase cases[] = {
        {"signal at the threshold", {{-70, 0}, {-90, 300}}, 900, 1, 1, 1, 300},
        {"signal a dBm under", {{-71, 0}, {-90, 300}}, 900, 1, 1, 0, 300},
        {"strongest signal anywhere in the visit",
         {{-90, 0}, {-65, 100}, {-90, 300}},
         900,
         1,
         1,
         1,
         300},
        {"dwell at the threshold", {{-50, 0}, {-50, 300}}, 900, 1, 1, 1, 300},
        {"dwell a second under", {{-50, 0}, {-50, 299}}, 899, 1, 1, 0, 299},
        {"heard once", {{-40, 0}}, 600, 1, 1, 0, 0},
        {"unheard a second less than the timeout: still open",
         {{-50, 0}, {-50, 300}},
         899,
         1,
         0,
         0,
         -1},
        {"unheard for exactly the timeout: ended", {{-50, 0}, {-50, 300}}, 900, 1, 1, 1, 300},
        {"unheard a second past the timeout: ended", {{-50, 0}, {-50, 300}}, 901, 1, 1, 1, 300},
        {"heard again a second before the timeout: the same visit",
         {{-50, 0}, {-50, 599}},
         1000,
         1,
         0,
         0,
         -1},
        {"heard again after exactly the timeout: a new visit",
         {{-50, 0}, {-50, 300}, {-50, 900}},
         1000,
         2,
         1,
         1,
         300},
        {"heard again a second past the timeout: a new visit",
         {{-50, 0}, {-50, 300}, {-50, 901}},
         1000,
         2,
         1,
         1,
         300},
    };
    for (const BoundaryCase& c : cases) {
        SCOPED_TRACE(c.name);
        VisitTracker tracker(settings());
        std::vector<VisitEvent> events;
        for (const Step& s : c.steps)
            tracker.see(hearing("00:1a:2b:3c:4d:5e", s.rssi, s.heard), s.heard, events);
        tracker.expire(c.expire_at, events);
        VisitTotals t = tracker.totals();
        EXPECT_EQ(t.started, c.started);
        EXPECT_EQ(t.ended, c.ended);
        EXPECT_EQ(t.visitors, c.visitors);
        EXPECT_EQ(t.passersby, c.ended - c.visitors);
        EXPECT_EQ(t.open, c.started - c.ended);
        int64_t dwell = -1;
        for (const VisitEvent& e : events) {
            if (e.ended && dwell < 0) {
                dwell = e.dwell;
                EXPECT_EQ(
                    e.time,
                    kMonday +
                        c.steps[c.ended == c.started ? c.steps.size() - 1 : c.steps.size() - 2]
                            .heard);
            }
        }
        EXPECT_EQ(dwell, c.dwell);
    }
}

TEST(FleetVisitTracker, PutsDwellInBucketsAtTheirBounds) {
    const std::pair<int64_t, Dwell> cases[] = {
        {0, Dwell::under_5}, {299, Dwell::under_5}, {300, Dwell::to_15},    {899, Dwell::to_15},
        {900, Dwell::to_60}, {3599, Dwell::to_60},  {3600, Dwell::over_60},
    };
    for (const auto& [seconds, bucket] : cases)
        EXPECT_EQ(dwell_bucket(seconds), bucket) << seconds;
}

// Visitors on several days: returning when the station made a visit on an earlier day within the
// retention (a passerby's visit counts), new otherwise; twice on one day keeps the day before.
TEST(FleetVisitTracker, KnowsReturningVisitorsFromEarlierDaysWithinTheRetention) {
    struct Visit {
        const char* key;
        int64_t day;  // after kMonday
        int rssi;     // -50: a visitor; -90: a passerby
        bool returning;
    };
    const Visit visits[] = {
        {"a", 0, -50, false},   // first seen
        {"a", 0, -50, false},   // again the same day: still no earlier day
        {"a", 1, -50, true},    // the next day
        {"a", 1, -50, true},    // twice that day: Monday is still the earlier day
        {"b", 0, -90, false},   // a passerby on Monday ...
        {"b", 2, -50, true},    // ... returns as a visitor on Wednesday
        {"c", 0, -50, false},   //
        {"c", 31, -50, false},  // beyond the retention of 30 days: new again
        {"c", 61, -50, true},   // exactly 30 days after: still within it
        {"c", 62, -50, true},   //
    };
    VisitSettings s = settings();
    s.retention_days = 30;
    VisitTracker tracker(s);
    int64_t mono = 0;
    uint64_t visitors = 0, returning = 0;
    for (const Visit& v : visits) {
        SCOPED_TRACE(std::string(v.key) + " on day " + std::to_string(v.day));
        std::vector<VisitEvent> events;
        // Each visit 400 s long, its first hearing at the day's noon.
        int64_t base = kMonday + v.day * kDay + 43200 - mono;
        tracker.see(hearing(v.key, v.rssi, mono, base), mono, events);
        tracker.see(hearing(v.key, v.rssi, mono + 400, base), mono + 400, events);
        tracker.expire(mono + 1000, events);
        mono += 2000;
        ASSERT_EQ(events.size(), 2u);
        EXPECT_EQ(events[1].visitor, v.rssi == -50);
        EXPECT_EQ(events[1].returning, v.returning);
        EXPECT_EQ(events[1].key, v.key);
        EXPECT_EQ(events[1].last_day, kMonday / kDay + v.day);
        visitors += v.rssi == -50;
        returning += v.returning;
    }
    EXPECT_EQ(tracker.totals().returning_visitors, returning);
    EXPECT_EQ(tracker.totals().new_visitors, visitors - returning);

    // Days given back from the history count as the station's own.
    VisitTracker restarted(s);
    restarted.remember("a", kMonday / kDay + 1, kMonday / kDay);
    std::vector<VisitEvent> events;
    restarted.see(hearing("a", -50, 0, kMonday + 2 * kDay), 0, events);
    restarted.see(hearing("a", -50, 400, kMonday + 2 * kDay), 400, events);
    restarted.expire(1000, events);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(events[1].returning);
    EXPECT_EQ(events[1].earlier_day, kMonday / kDay + 1);
}

TEST(FleetVisitTracker, TakesEachSitesThresholdsAndStaysWithinItsBounds) {
    VisitSettings s = settings();
    ASSERT_TRUE(parse_visit_threshold("--visitor-rssi", "shop=-50", s));
    ASSERT_TRUE(parse_visit_threshold("--visit-timeout", "shop=0.5", s));
    s.max_open = 2;
    s.max_known = 2;
    s.max_length = 3600;
    VisitTracker tracker(s);
    std::vector<VisitEvent> events;
    // -60 dBm for 400 s: a visitor at the collector's one site, a passerby in the shop; the
    // shop's visit ends after 30 s unheard, the other after 600.
    tracker.see(hearing("a", -60, 0), 0, events);
    tracker.see(hearing("a", -60, 400), 400, events);
    for (int64_t t = 0; t <= 400; t += 20)
        tracker.see(hearing("b", -60, t, kMonday, "shop"), t, events);
    // The open visits are at their bound: a third station is turned away, and counted.
    tracker.see(hearing("c", -60, 400), 400, events);
    tracker.expire(430, events);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_TRUE(events[2].ended);
    EXPECT_EQ(events[2].site, "shop");
    EXPECT_FALSE(events[2].visitor);
    EXPECT_EQ(tracker.totals().turned_away, 1u);
    // A hearing already older than its timeout makes no visit.
    tracker.see(hearing("d", -40, 0), 700, events);
    EXPECT_EQ(tracker.totals().started, 2u);
    // A visit heard without a break for its maximum length ends and another begins.
    for (int64_t t = 800; t <= 3600; t += 200)
        tracker.see(hearing("a", -60, t), t, events);
    ASSERT_EQ(tracker.totals().ended, 2u);
    EXPECT_EQ(events.back().dwell, 0);
    EXPECT_FALSE(events.back().ended);
    EXPECT_EQ(events[events.size() - 2].dwell, 3400);
    // Remembered days are bounded too: a third station's visit is not remembered, and counted.
    tracker.see(hearing("e", -60, 3600), 3600, events);
    size_t before = events.size();
    tracker.expire(10000, events);
    EXPECT_EQ(tracker.totals().unremembered, 1u);
    ASSERT_EQ(events.size(), before + 2);
    EXPECT_NE(events[before].key.empty(), events[before + 1].key.empty());
}

TEST(FleetVisitRules, ReadsThresholdsForEverySiteOrOne) {
    struct Case {
        const char* name;
        const char* value;
        bool ok;
    };
    const Case cases[] = {
        {"--visitor-rssi", "-128", true},    {"--visitor-rssi", "20", true},
        {"--visitor-rssi", "-129", false},   {"--visitor-rssi", "21", false},
        {"--visitor-rssi", "-70dBm", false}, {"--visitor-dwell", "0", true},
        {"--visitor-dwell", "1440", true},   {"--visitor-dwell", "1441", false},
        {"--visitor-dwell", "-1", false},    {"--visit-timeout", "0", false},
        {"--visit-timeout", "0.001", false}, {"--visit-timeout", "0.02", true},
        {"--visit-timeout", "=5", false},    {"--visit-timeout", "a/b=5", false},
        {"--visit-timeout", "a=b=5", true},
    };
    for (const Case& c : cases) {
        VisitSettings s;
        EXPECT_EQ(parse_visit_threshold(c.name, c.value, s), c.ok) << c.name << " " << c.value;
    }
    VisitSettings s;
    ASSERT_TRUE(parse_visit_threshold("--visitor-dwell", "2.5", s));
    ASSERT_TRUE(parse_visit_threshold("--visitor-rssi", "shop=-60", s));
    ASSERT_TRUE(parse_visit_threshold("--visitor-dwell", "shop=1", s));
    ASSERT_TRUE(parse_visit_threshold("--visit-timeout", "3", s));
    VisitRules shop = s.rules_for("shop"), other = s.rules_for("");
    EXPECT_EQ(shop.visitor_rssi, -60);
    EXPECT_EQ(shop.visitor_dwell, 60);
    EXPECT_EQ(shop.timeout, 180);  // given for every site, after the shop's own
    EXPECT_EQ(other.visitor_rssi, -75);
    EXPECT_EQ(other.visitor_dwell, 150);
}

#ifdef FLEET_VISITS_WITH_COLLECTOR
// Only addresses that are not randomised may make visits: a plain address with the locally
// administered bit, or a hashed one whose document does not say, never does. Each hearing is at
// the access point strongest now.
TEST(FleetVisitSightings, TakesOnlyStationsWhoseAddressesAreNotRandomised) {
    using fleet_test::doc;
    fleet::FleetView view;
    const char* global = "00:1a:2b:3c:4d:5e";
    ASSERT_TRUE(fleet_test::take(view, "ap-1",
                                 doc("ap-1", 1, {{global, -60, 2}, {fleet_test::A, -40, 1}}),
                                 fleet::FleetTime(1765280010, 500)));
    ASSERT_TRUE(fleet_test::take(view, "ap-2", doc("ap-2", 1, {{global, -45, 1}}),
                                 fleet::FleetTime(1765280011, 501)));
    auto scan = [](const std::string& text) {
        fleet::ScanPart part;
        std::string error;
        EXPECT_TRUE(fleet::parse_scan_part(text.data(), text.size(), part, error)) << error;
        return part;
    };
    auto first = fleet::sightings_of(
        view, scan(doc("ap-1", 1, {{global, -60, 2}, {fleet_test::A, -40, 1}})));
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].key, global);
    EXPECT_EQ(first[0].ap, "ap-2");  // heard stronger there
    EXPECT_EQ(first[0].rssi, -60);   // this scan's own signal
    EXPECT_EQ(first[0].heard, 498);

    std::string hashed =
        doc("ap-3", 1, {{"5a00000000000001", -40, 1}, {"5a00000000000002", -40, 1}}, 1, 1, 10,
            "hashed");
    size_t second = hashed.find("\"last_age\":1", hashed.find("5a00000000000002"));
    hashed.insert(second + 12, ",\"randomised\":false");
    ASSERT_TRUE(fleet_test::take(view, "ap-3", hashed, fleet::FleetTime(1765280012, 502)));
    auto third = fleet::sightings_of(view, scan(hashed));
    ASSERT_EQ(third.size(), 1u);
    EXPECT_EQ(third[0].key, "5a00000000000002");
}
#endif

}  // namespace
