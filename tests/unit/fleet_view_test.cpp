// The fleet view: merging scans from several access points, the strongest
// access point, parts, scan numbers, forgetting, refused payloads, the JSON
// view, and the command line of vorlask-fleet.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <malloc.h>

#include <string>
#include <vector>

#include "fleet_client.h"
#include "fleet_options.h"
#include "fleet_test_doc.h"
#include "fleet_view.h"
#include "repeat_notices.h"
#include "same_text.h"
#include "scan_part.h"
#ifdef FLEET_VIEW_WITH_DOCUMENT
#include "fleet_document.h"
#endif

using namespace fleet;
using namespace fleet_test;

// Each row: scans taken in order, then what one station looks like.
TEST(FleetView, MergesStationsAcrossAccessPoints) {
    struct Scan {
        const char* ap;
        uint64_t seq;
        int rssi;
        int last_age;
        int64_t now;
    };
    struct Case {
        const char* what;
        std::vector<Scan> scans;
        const char* strongest;
        size_t heard_by;
        int64_t last_seen;
    };
    const Case cases[] = {
        {"one access point", {{"ap1", 1, -50, 2, 1000}}, "ap1", 1, 998},
        {"the louder access point wins",
         {{"ap1", 1, -70, 1, 1000}, {"ap2", 1, -40, 3, 1001}},
         "ap2",
         2,
         999},
        {"a later quieter scan replaces the signal",
         {{"ap1", 1, -40, 1, 1000}, {"ap2", 1, -60, 1, 1000}, {"ap1", 2, -80, 1, 1010}},
         "ap2",
         2,
         1009},
        {"equal signals: the latest sighting wins",
         {{"ap1", 1, -50, 1, 1000}, {"ap2", 1, -50, 1, 1005}},
         "ap2",
         2,
         1004},
        {"no signal (-128) still names an access point",
         {{"ap3", 1, -128, 0, 1000}},
         "ap3",
         1,
         1000},
        // ap1 heard it loudly long ago; two of its intervals later only ap2
        // still hears it.
        {"a station that walked away",
         {{"ap1", 1, -30, 0, 1000}, {"ap2", 1, -75, 0, 1030}},
         "ap2",
         2,
         1030},
    };
    for (const Case& c : cases) {
        FleetView view;
        for (const Scan& s : c.scans) {
            ASSERT_TRUE(take(view, s.ap, doc(s.ap, s.seq, {{A, s.rssi, s.last_age}}), s.now))
                << c.what;
        }
        const StationView& station = view.stations().at(A);
        EXPECT_EQ(station.strongest, c.strongest) << c.what;
        EXPECT_EQ(station.heard_by.size(), c.heard_by) << c.what;
        EXPECT_EQ(station.last_seen, c.last_seen) << c.what;
    }
}

// Each row: (access point, seq) scans or status payloads in order, then the
// access point's lost documents and the view's duplicates and scans.
TEST(FleetView, CountsGapsDuplicatesAndRestarts) {
    struct Step {
        uint64_t seq;  // 0: a status payload
        const char* status;
    };
    struct Case {
        const char* what;
        std::vector<Step> steps;
        uint64_t lost, duplicates, scans, last_seq;
    };
    const Case cases[] = {
        {"in order", {{1, ""}, {2, ""}, {3, ""}}, 0, 0, 3, 3},
        {"first seen mid-run is no gap", {{40, ""}, {41, ""}}, 0, 0, 2, 41},
        {"two missing", {{1, ""}, {4, ""}}, 2, 0, 2, 4},
        {"redelivered at QoS 1", {{2, ""}, {3, ""}, {3, ""}, {2, ""}}, 0, 2, 2, 3},
        {"restart numbers from 1 again", {{7, ""}, {8, ""}, {1, ""}, {2, ""}}, 0, 0, 4, 2},
        {"restart whose first scan was lost",
         {{7, ""}, {0, "offline"}, {0, "online"}, {2, ""}},
         1,
         0,
         2,
         2},
        {"older number while it stayed online", {{7, ""}, {0, "online"}, {3, ""}}, 0, 1, 1, 7},
        {"stopped after one scan, started again",
         {{1, ""}, {0, "offline"}, {0, "online"}, {1, ""}},
         0,
         0,
         2,
         1},
        {"scan 1 again while it stayed online", {{1, ""}, {0, "online"}, {1, ""}}, 0, 1, 1, 1},
        {"the last scan sent again after a reconnection",
         {{4, ""}, {0, "offline"}, {0, "online"}, {4, ""}},
         0,
         1,
         1,
         4},
        {"late after a fail-over, then again", {{1, ""}, {3, ""}, {2, ""}, {2, ""}}, 0, 1, 2, 3},
    };
    for (const Case& c : cases) {
        FleetView view;
        int64_t now = 1000;
        for (const Step& s : c.steps) {
            if (s.seq == 0) {
                ASSERT_TRUE(view.take_status("ap1", s.status, strlen(s.status), now)) << c.what;
            } else {
                ASSERT_TRUE(take(view, "ap1", doc("ap1", s.seq, {{A, -50, 1}}), now)) << c.what;
            }
            now += 10;
        }
        const ApView& ap = view.access_points().at("ap1");
        EXPECT_EQ(ap.lost_documents, c.lost) << c.what;
        EXPECT_EQ(view.counters().duplicates, c.duplicates) << c.what;
        EXPECT_EQ(view.counters().scans, c.scans) << c.what;
        EXPECT_EQ(ap.seq, c.last_seq) << c.what;
    }
}

// A scan counts once all its parts are in, in any order; its stations come
// out in part order to the listeners.
TEST(FleetView, GathersPartsBeforeTheScanCounts) {
    FleetView view;
    std::vector<std::string> told;
    view.add_scan_listener([&](const Scan& scan, int64_t) {
        for (const ScanStation& s : scan.stations) {
            told.push_back(s.address);
        }
    });
    const char* C = "02:00:00:00:00:0c";
    EXPECT_TRUE(take(view, "ap1", doc("ap1", 5, {{C, -50, 1}}, 3, 3), 1000));
    EXPECT_TRUE(take(view, "ap1", doc("ap1", 5, {{A, -50, 1}}, 1, 3), 1000));
    EXPECT_TRUE(take(view, "ap1", doc("ap1", 5, {{A, -50, 1}}, 1, 3), 1000));  // again
    EXPECT_EQ(view.counters().scans, 0u);
    EXPECT_TRUE(view.stations().empty());
    // A part that disagrees with the others on the part count is refused.
    EXPECT_FALSE(take(view, "ap1", doc("ap1", 5, {{B, -50, 1}}, 2, 4), 1000));
    EXPECT_TRUE(take(view, "ap1", doc("ap1", 5, {{B, -50, 1}}, 2, 3), 1000));
    EXPECT_EQ(view.counters().scans, 1u);
    EXPECT_EQ(told, (std::vector<std::string>{A, B, C}));
    EXPECT_EQ(view.access_points().at("ap1").stations, 3u);
    EXPECT_EQ(view.counters().duplicates, 1u);

    // Scan 7 overtakes scan 6, which counts as lost until its last part comes;
    // then it is told to the listeners but not merged over the newer sighting.
    EXPECT_TRUE(take(view, "ap1", doc("ap1", 6, {{A, -50, 1}}, 1, 2), 1010));
    EXPECT_TRUE(take(view, "ap1", doc("ap1", 7, {{A, -60, 1}}), 1020));
    EXPECT_EQ(view.access_points().at("ap1").lost_documents, 1u);
    EXPECT_TRUE(take(view, "ap1", doc("ap1", 6, {{B, -50, 1}}, 2, 2), 1021));
    EXPECT_EQ(view.access_points().at("ap1").lost_documents, 0u);
    EXPECT_EQ(view.counters().late, 1u);
    EXPECT_EQ(view.counters().scans, 2u);
    EXPECT_EQ(told.size(), 3u + 1u + 2u);
    EXPECT_EQ(view.stations().at(A).heard_by[0].rssi, -60);
    // At most eight scans are gathered at once: the oldest unfinished goes.
    for (uint64_t seq = 10; seq < 19; ++seq) {
        EXPECT_TRUE(take(view, "ap1", doc("ap1", seq, {{A, -50, 1}}, 1, 2), 1030));
    }
    EXPECT_EQ(view.counters().incomplete, 1u);

    // Unfinished scans of all access points together hold a bounded number
    // of stations: beyond it a scan is given up, and its room comes back.
    ViewLimits limits;
    // Each scan and each part held counts one besides its stations.
    limits.max_gathered = 6;
    FleetView small(limits);
    EXPECT_TRUE(take(small, "ap1", doc("ap1", 1, {{A, -50, 1}, {B, -50, 1}}, 1, 2), 1000));
    EXPECT_TRUE(take(small, "ap2", doc("ap2", 1, {{A, -50, 1}, {B, -50, 1}}, 1, 2), 1000));
    EXPECT_EQ(small.counters().turned_away, 1u);
    EXPECT_EQ(small.gathered_stations(), 2u);
    EXPECT_EQ(small.gathered(), 4u);
    EXPECT_TRUE(take(small, "ap1", doc("ap1", 1, {{C, -50, 1}}, 2, 2), 1000));
    EXPECT_EQ(small.gathered_stations(), 0u);
    EXPECT_EQ(small.gathered(), 0u);
    EXPECT_EQ(small.stations().size(), 3u);
}

TEST(FleetView, ForgetsWhatWasNotHeard) {
    FleetView view(ViewLimits{100});
    ASSERT_TRUE(take(view, "ap1", doc("ap1", 1, {{A, -30, 0}, {B, -50, 0}}), 1000));
    ASSERT_TRUE(take(view, "ap2", doc("ap2", 1, {{A, -60, 0}}), 1050));
    ASSERT_TRUE(view.take_status("ap3", "offline", 7, 1000));
    view.forget(1099);
    EXPECT_EQ(view.stations().size(), 2u);
    EXPECT_EQ(view.access_points().size(), 3u);
    // At 1100 ap1's sightings are 100 s old: B goes, A stays, heard by ap2
    // alone, which is now its strongest; the offline ap3 goes, and so does
    // ap1, online but silent for the forget time.
    view.forget(1100);
    ASSERT_EQ(view.stations().size(), 1u);
    EXPECT_EQ(view.stations().at(A).strongest, "ap2");
    EXPECT_EQ(view.stations().at(A).heard_by.size(), 1u);
    EXPECT_EQ(view.access_points().count("ap3"), 0u);
    EXPECT_EQ(view.access_points().count("ap1"), 0u);
    EXPECT_EQ(view.access_points().count("ap2"), 1u);
    view.forget(1150);
    EXPECT_TRUE(view.stations().empty());
}

// Every refused payload is counted and leaves the view as it was.
TEST(FleetView, RefusesMalformedPayloads) {
    std::string good = doc("ap1", 1, {{A, -50, 1}});
    auto with = [&](const std::string& from, const std::string& to) {
        std::string s = good;
        size_t at = s.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return s.replace(at, from.size(), to);
    };
    const std::string cases[] = {
        "",
        "not json",
        "[]",
        good + "x",
        good.substr(0, good.size() - 1),
        std::string(good).insert(10, 1, '\0'),
        with("\"ap\":\"ap1\"", "\"ap\":\"ap2\""),  // another access point's document
        with("\"ap\":\"ap1\"", "\"ap\":\"a/b\""),
        with("\"seq\":1", "\"seq\":0"),
        with("\"seq\":1", "\"seq\":1.5"),
        with("\"seq\":1", "\"seq\":\"1\""),
        with("\"seq\":1", "\"seq\":99999999999999999999999"),
        with("\"part\":1", "\"part\":2"),
        with("\"parts\":1", "\"parts\":5000"),
        with("\"interval\":10", "\"interval\":0"),
        with("plain", "clear"),
        with(A, "02:00:00:00:00:0A"),
        with(A, "020000000000"),
        with("\"rssi\":-50", "\"rssi\":-129"),
        with("\"rssi\":-50", "\"rssi\":null"),
        with("\"second_mac\":\"ff:ff:ff:ff:ff:ff\"", "\"second_mac\":7"),
        with("\"last_age\":1", "\"last_age\":-1"),
        with("\"last_age\":1", "\"last_age\":1,\"randomised\":1"),
        with("\"last_age\":1", "\"last_age\":1,\"randomised\":false"),  // A has the bit set
        with("\"totals\":{", "\"totals\":{\"x\":[[[[1]]]],"),
        with(",\"totals\":{\"table\":1", ",\"totals\":{\"table\":-1"),
        with("\"stations\":[", "\"stations\":[7,"),
        with("\"totals\":{", "\"people\":-1,\"totals\":{"),
        with("\"totals\":{", "\"people\":\"8\",\"totals\":{"),
        "{\"a\":" + std::string(100, '[') + std::string(100, ']') + "}",
        // Strict JSON only, where the reader before took what json-c's lenient
        // mode takes; and a key the reader reads may come once per object.
        with("\"seq\":1", "\"seq\":1 /* a comment */"),
        with("\"ap\":\"ap1\"", "'ap':'ap1'"),
        with("\"last_age\":1}", "\"last_age\":1,}"),
        with("\"queue_dropped\":0}", "\"queue_dropped\":0,\"x\":[1,]}"),
        with("\"seq\":1", "\"seq\":01"),
        with("\"totals\":{", "\"x\":NaN,\"totals\":{"),
        with("\"ap\":\"ap1\"", "\"ap\":\"ap1\",\"x\":\"\t\""),
        with("\"seq\":1", "\"seq\":2,\"seq\":1"),
        with("\"rssi\":-50", "\"rssi\":-50,\"rssi\":-50"),
        with("\"table\":1", "\"table\":1,\"table\":1"),
        std::string(300 * 1024, ' '),
    };
    FleetView view;
    uint64_t n = 0;
    for (const std::string& payload : cases) {
        EXPECT_FALSE(take(view, "ap1", payload, 1000)) << payload.substr(0, 200);
        n++;
    }
    EXPECT_FALSE(view.take_status("ap1", "maybe", 5, 1000));
    EXPECT_FALSE(view.take_status("a+b", "online", 6, 1000));
    EXPECT_EQ(view.counters().malformed, n + 2);
    EXPECT_TRUE(view.stations().empty());
    EXPECT_TRUE(view.access_points().empty());
    EXPECT_TRUE(take(view, "ap1", good, 1000));
    EXPECT_TRUE(
        take(view, "ap1", doc("ap1", 2, {{"5a00000000000001", -50, 1}}, 1, 1, 10, "hashed"), 1010));
    EXPECT_EQ(view.stations().size(), 2u);
    // Client ids follow the shared rule: UTF-8 letters are welcome, bytes that are not UTF-8 not.
    const std::string cafe = "caf\xc3\xa9-ap";
    EXPECT_TRUE(view.take_status(cafe, "online", 6, 1010));
    EXPECT_TRUE(take(view, cafe, doc(cafe, 1, {{B, -50, 1}}), 1010));
    EXPECT_EQ(view.access_points().at(cafe).stations, 1u);
    EXPECT_FALSE(view.take_status("caf\xe9-ap", "online", 6, 1010));
    EXPECT_EQ(view.counters().malformed, n + 3);
    // Keys it does not read are skipped, however often they come.
    FleetView other;
    EXPECT_TRUE(take(other, "ap1", with("\"totals\":{", "\"x\":1,\"x\":[2],\"totals\":{"), 1000));
}

// The address checks and the key comparison read bytes in words and tables:
// every byte value at every position, and every length and place of a
// difference, against what the rule says.
TEST(FleetView, ChecksEveryByteOfAddressesAndKeys) {
    const std::string plain = "0a:1b:2c:3d:4e:5f", hashed = "0123456789abcdef";
    EXPECT_TRUE(plain_address(plain));
    EXPECT_TRUE(hashed_address(hashed));
    for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
        for (size_t i = 0; i < plain.size(); ++i) {
            std::string s = plain;
            s[i] = c;
            EXPECT_EQ(plain_address(s), i % 3 == 2 ? c == ':' : hex) << i << " " << b;
        }
        for (size_t i = 0; i < hashed.size(); ++i) {
            std::string s = hashed;
            s[i] = c;
            EXPECT_EQ(hashed_address(s), hex) << i << " " << b;
        }
    }
    for (const std::string& s :
         {plain + "0", plain.substr(0, 16), hashed + "0", hashed.substr(1)}) {
        EXPECT_FALSE(plain_address(s) || hashed_address(s)) << s;
    }
    const std::string text = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEF";
    for (size_t n = 0; n <= text.size(); ++n) {
        const std::string a = text.substr(0, n);
        EXPECT_TRUE(same_text(a, std::string(a))) << n;
        EXPECT_FALSE(same_text(a, a + "_")) << n;
        for (size_t i = 0; i < n; ++i) {
            std::string b = a;
            b[i] = '_';
            EXPECT_FALSE(same_text(a, b)) << n << " " << i;
        }
    }
}

namespace {

// Bytes the heap holds in use: what the view keeps, measured, not estimated.
size_t heap_in_use() {
    return mallinfo2().uordblks;
}

// The honest access point of the hostile runs: one station, seq counting up.
struct Honest {
    uint64_t seq = 0;
    void scan(FleetView& view, int64_t now) {
        ASSERT_TRUE(take(view, "honest", doc("honest", ++seq, {{A, -41, 0}}), now));
    }
    void check(const FleetView& view, const char* what) {
        const ApView& ap = view.access_points().at("honest");
        EXPECT_EQ(ap.seq, seq) << what;
        EXPECT_EQ(ap.lost_documents, 0u) << what;
        EXPECT_EQ(view.stations().at(A).strongest, "honest") << what;
        EXPECT_EQ(view.stations().at(A).heard_by.at(0).rssi, -41) << what;
    }
};

}  // namespace

// 32,000 documents announcing 1,024 parts and sending none of the rest: each
// holds one slot, not 1,024; they go two intervals later, their ids at the
// forget time, and the heap is back where it was.
TEST(FleetViewUnderAttack, PartsThatNeverComplete) {
    FleetView view(ViewLimits{100});
    Honest honest;
    honest.scan(view, 1000);
    size_t before = heap_in_use();
    for (int i = 0; i < 32000; ++i) {
        std::string ap = "p" + std::to_string(i / 8);
        ASSERT_TRUE(take(view, ap, doc(ap, 1 + i % 8, {}, 1, 1024), 1000));
    }
    size_t held = heap_in_use() - before;
    EXPECT_EQ(view.gathered(), 32000u * 2);
    EXPECT_EQ(view.counters().turned_away, 0u);
    // 4,000 access points and 32,000 one-slot scans; 1,024 slots each
    // (the old way) would be 768 MB.
    EXPECT_LT(held, size_t{32} << 20) << held;
    honest.scan(view, 1010);
    view.forget(1021);  // two intervals of 10 s after the first parts
    EXPECT_EQ(view.gathered(), 0u);
    EXPECT_EQ(view.counters().incomplete, 32000u);
    honest.scan(view, 1090);
    view.forget(1100);  // the forget time: only the honest one is left
    EXPECT_EQ(view.access_points().size(), 1u);
    EXPECT_LT(heap_in_use(), before + (size_t{64} << 10));
    honest.check(view, "after the parts");
}

// 100,001 ids, online and never heard again, fill the table; the real
// access point that comes next is turned away until they are forgotten.
TEST(FleetViewUnderAttack, IdsThatFillTheTable) {
    FleetView view(ViewLimits{100});
    Honest honest;
    honest.scan(view, 1000);
    size_t before = heap_in_use();
    for (int i = 0; i <= 100000; ++i) {
        std::string id = "fake" + std::to_string(i);
        ASSERT_TRUE(view.take_status(id, "online", 6, 1000));
    }
    EXPECT_EQ(view.access_points().size(), 100000u);
    EXPECT_LT(heap_in_use() - before, size_t{96} << 20);
    ASSERT_TRUE(take(view, "real", doc("real", 1, {{B, -60, 0}}), 1050));
    EXPECT_EQ(view.access_points().count("real"), 0u);
    // The honest one took a place: the last two fakes and the real one were turned away.
    EXPECT_EQ(view.counters().turned_away, 3u);
    honest.scan(view, 1060);
    view.forget(1100);
    EXPECT_EQ(view.access_points().size(), 1u);
    ASSERT_TRUE(take(view, "real", doc("real", 2, {{B, -60, 0}}), 1101));
    EXPECT_EQ(view.access_points().at("real").stations, 1u);
    EXPECT_EQ(view.stations().at(B).strongest, "real");
    honest.check(view, "after the ids");
}

// Each row: scan numbers in order (a forged far-ahead one among them), then
// the access point's last number, lost documents and outliers.
TEST(FleetViewUnderAttack, ScanNumbersFarAhead) {
    constexpr uint64_t far = (uint64_t{1} << 53) - 1;
    struct Case {
        const char* what;
        std::vector<uint64_t> seqs;
        uint64_t last, lost, outliers;
    };
    const Case cases[] = {
        {"one far ahead is set aside", {1, 2, far, 3, 4}, 4, 0, 1},
        {"far ahead first", {40, far, far, 41}, 41, 0, 2},
        {"a gap within the window is lost", {1, 100001}, 100001, 99999, 0},
        {"a restart is a restart", {1, 2, far, 1, 2}, 2, 0, 1},
        {"three in a row are the new numbering", {5, far - 3, far - 2, far - 1, far}, far, 0, 2},
        {"the honest numbering wins back", {far, 5, 6, 7, 8}, 8, 0, 2},
    };
    for (const Case& c : cases) {
        FleetView view;
        int64_t now = 1000;
        for (uint64_t seq : c.seqs) {
            ASSERT_TRUE(take(view, "ap1", doc("ap1", seq, {{A, -50, 0}}), now)) << c.what;
            now += 10;
        }
        const ApView& ap = view.access_points().at("ap1");
        EXPECT_EQ(ap.seq, c.last) << c.what;
        EXPECT_EQ(ap.lost_documents, c.lost) << c.what;
        EXPECT_EQ(view.counters().outliers, c.outliers) << c.what;
    }
}

// One id rule for scans and status: 64 bytes pass both, 65 neither.
TEST(FleetView, TakesTheSameIdLengthEverywhere) {
    FleetView view;
    for (size_t length : {size_t{64}, size_t{65}}) {
        std::string id(length, 'i');
        bool ok = length == 64;
        EXPECT_EQ(view.take_status(id, "online", 6, 1000), ok) << length;
        EXPECT_EQ(take(view, id, doc(id, 1, {{A, -50, 0}}), 1000), ok) << length;
    }
    EXPECT_EQ(view.access_points().size(), 1u);
    EXPECT_EQ(view.counters().malformed, 2u);
}

#ifdef FLEET_VIEW_WITH_DOCUMENT
TEST(FleetView, RendersTheViewDocument) {
    FleetView view;
    ASSERT_TRUE(view.take_status("ap2", "online", 6, 990));
    ASSERT_TRUE(take(view, "ap1", doc("ap1", 3, {{A, -52, 1}}), 1000));
    std::string text = view_document(view, 1003);
    EXPECT_EQ(text,
              "{\"time\":1003,\"access_points\":["
              "{\"id\":\"ap1\",\"online\":true,\"last_scan\":1000,\"seq\":3,\"stations\":1,"
              "\"crowd\":null,\"lost_documents\":0,\"clock_offset\":1765279000,\"clock_off\":true},"
              "{\"id\":\"ap2\",\"online\":true,\"last_scan\":null,\"seq\":null,\"stations\":0,"
              "\"crowd\":null,\"lost_documents\":0,\"clock_offset\":null,\"clock_off\":false}],"
              "\"stations\":[{\"address\":\"02:00:00:00:00:0a\",\"form\":\"plain\","
              "\"strongest\":\"ap1\",\"last_seen\":999,"
              "\"heard_by\":[{\"ap\":\"ap1\",\"rssi\":-52,\"last_seen\":999}]}],"
              "\"counters\":{\"parts\":1,\"scans\":1,\"malformed\":0,\"duplicates\":0,"
              "\"incomplete\":0,\"late\":0,\"turned_away\":0,\"outliers\":0}}");
    // A scan with the crowd in people: the people beside the devices, to one decimal.
    std::string crowd = doc("ap2", 1, {{B, -50, 1}});
    crowd.replace(crowd.find("\"totals\":{"), 10,
                  "\"crowd\":{\"randomised\":9,\"estimate\":6},\"people\":8.54,\"totals\":{");
    ASSERT_TRUE(take(view, "ap2", crowd, 1004));
    EXPECT_NE(view_document(view, 1005).find("\"stations\":1,\"crowd\":6,\"people\":8.5,\"lost"),
              std::string::npos);
}
#endif

TEST(FleetOptions, ReadsTheCommandLine) {
    struct Case {
        std::vector<const char*> args;
        bool ok;
        const char* brokers;  // "host:port ..." as understood
        uint16_t port;
    };
    const Case cases[] = {
        {{}, true, "localhost:0", 1883},
        {{"--host", "a,b:1884,c", "--port", "1999"}, true, "a:0 b:1884 c:0", 1999},
        {{"--ca-file", "ca.pem"}, true, "localhost:0", 8883},
        {{"--host", "a,,b"}, false, "", 0},
        {{"--host", "a:0"}, false, "", 0},
        {{"--json"}, false, "", 0},
        {{"--cert-file", "c.pem", "--ca-file", "ca.pem"}, false, "", 0},
        {{"--password-file", "p"}, false, "", 0},
        {{"--qos", "2"}, false, "", 0},
        {{"--prefix", "a/+"}, false, "", 0},
        {{"--forget"}, false, "", 0},
        {{"--http", "8080", "--http-host", "a", "--http-host", "[::1]:81", "--http-per-address",
          "64"},
         true,
         "localhost:0",
         1883},
        {{"--http-host", "a"}, false, "", 0},
        {{"--http", "8080", "--http-per-address", "65"}, false, "", 0},
        {{"--metrics-per-ap", "0"}, true, "localhost:0", 1883},
        {{"--metrics-per-ap", "1000001"}, false, "", 0},
        // Visits keep their rows in the page's history; their options go with --visits.
        {{"--http", "8080", "--visit-timeout", "shop=2", "--visits", "--visit-retention", "90"},
         true,
         "localhost:0",
         1883},
        {{"--visits"}, false, "", 0},
        {{"--http", "8080", "--visitor-rssi", "-60"}, false, "", 0},
        {{"--http", "8080", "--visits", "--visit-retention", "0"}, false, "", 0},
        {{"--bogus"}, false, "", 0},
        {{"--homeassistant", "homeassistant"}, true, "localhost:0", 1883},
        {{"--homeassistant", "homeassistant", "--once"}, false, "", 0},
        {{"--homeassistant", "ha/#"}, false, "", 0},
    };
    for (const Case& c : cases) {
        std::vector<char*> argv{const_cast<char*>("vorlask-fleet")};
        for (const char* a : c.args) {
            argv.push_back(const_cast<char*>(a));
        }
        FleetOptions options;
        std::string error;
        bool ok = parse_fleet_options(static_cast<int>(argv.size()), argv.data(), options, error);
        std::string what = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(ok, c.ok) << what << ": " << error;
        if (ok) {
            std::string brokers;
            for (const BrokerAddress& b : options.brokers) {
                brokers += (brokers.empty() ? "" : " ") + b.host + ":" + std::to_string(b.port);
            }
            EXPECT_EQ(brokers, c.brokers) << what;
            EXPECT_EQ(options.port, c.port) << what;
        }
    }
}

// A storm of failed attempts says each text once, then a count once a
// minute; a reset (a connection that held) says the rest and starts afresh.
TEST(FleetIntakeWords, SaysRepeatsOnceWithACount) {
    std::vector<std::string> said;
    RepeatNotices notices([&](const std::string& line) { said.push_back(line); }, 60000);
    for (uint64_t ms = 0; ms < 59000; ms += 10) {
        notices.say("lost b:1883: closed", ms);
        notices.say("connected to b:1883", ms);
    }
    EXPECT_EQ(said, (std::vector<std::string>{"lost b:1883: closed", "connected to b:1883"}));
    notices.tick(60000);
    notices.say("lost b:1883: closed", 61000);
    notices.reset(65000);
    notices.say("lost b:1883: closed", 66000);
    EXPECT_EQ(said, (std::vector<std::string>{"lost b:1883: closed", "connected to b:1883",
                                              "connected to b:1883 (5899 more times in 60 s)",
                                              "lost b:1883: closed (5899 more times in 60 s)",
                                              "lost b:1883: closed (1 more time in 5 s)",
                                              "lost b:1883: closed"}));
}

TEST(FleetIntakeWords, GivesEachRunItsOwnClientId) {
    EXPECT_EQ(default_client_id("gw", false, 0xabcdef12), "vorlask-fleet-gw");
    EXPECT_EQ(default_client_id("gw", true, 0xabcdef12), "vorlask-fleet-gw-cdef12");
    EXPECT_NE(default_client_id("gw", true, 1), default_client_id("gw", true, 2));
}

// A refusal reads the same whichever protocol the broker speaks; only a
// protocol refusal sends the collector back to 3.1.1.
TEST(FleetIntakeWords, SaysRefusalsAlikeInBothProtocols) {
    struct Case {
        int v311, v5;
        bool protocol;
    };
    for (const Case& c : {Case{1, 0x84, true}, Case{2, 0x85, false}, Case{3, 0x88, false},
                          Case{4, 0x86, false}, Case{5, 0x87, false}}) {
        EXPECT_EQ(connack_text(c.v5, true), connack_text(c.v311, false)) << c.v5;
        EXPECT_EQ(protocol_refused(c.v5), c.protocol) << c.v5;
        EXPECT_EQ(protocol_refused(c.v311), c.protocol) << c.v311;
    }
    EXPECT_EQ(connack_text(0x97, true), "Connection Refused: Quota exceeded.");
    EXPECT_FALSE(protocol_refused(0));
}
