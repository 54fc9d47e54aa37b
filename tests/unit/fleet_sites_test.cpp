// Sites in the collector's topics: the subscriptions for one site, for sites and for a
// collector's partitions, the topics each takes apart, the options that choose them, and the
// site carried into the view document.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fleet_options.h"
#include "fleet_subscriptions.h"
#include "fleet_view.h"
#ifdef FLEET_VIEW_WITH_DOCUMENT
#include "fleet_document.h"
#endif

using namespace fleet;

TEST(FleetSites, SubscribesAndSplitsEachForm) {
    FleetSubscriptions one("vorlask", 1), sites("vorlask", 1, true),
        parts("vorlask", 1, true, {0, 12});
    auto topics = [](const FleetSubscriptions& s) {
        std::string all;
        for (size_t i = 0; i < s.count(); ++i)
            all += (i ? " " : "") + s.topic(i);
        return all;
    };
    EXPECT_EQ(topics(one), "vorlask/+/scan vorlask/+/status");
    EXPECT_EQ(topics(sites), "vorlask/+/+/scan vorlask/+/+/status");
    EXPECT_EQ(topics(parts),
              "vorlask/0/+/+/scan vorlask/0/+/+/status vorlask/12/+/+/scan vorlask/12/+/+/status");
    struct Case {
        const FleetSubscriptions* subs;
        const char* topic;
        const char* parts;  // "site ap kind subscription", empty: not one of ours
    };
    const Case cases[] = {
        {&one, "vorlask/ap1/scan", " ap1 0 0"},
        {&one, "vorlask/ap1/status", " ap1 1 1"},
        {&one, "vorlask/north/ap1/scan", ""},
        {&one, "vorlask/ap1/other", ""},
        {&one, "vorlasker/ap1/scan", ""},
        {&sites, "vorlask/north/ap1/scan", "north ap1 0 0"},
        {&sites, "vorlask/north/ap1/status", "north ap1 1 1"},
        {&sites, "vorlask//ap1/scan", ""},
        {&sites, "vorlask/ap1/scan", ""},
        {&parts, "vorlask/12/north/ap1/status", "north ap1 1 3"},
        {&parts, "vorlask/0/south/ap2/scan", "south ap2 0 0"},
        {&parts, "vorlask/1/south/ap2/scan", ""},
        {&parts, "vorlask/120/south/ap2/scan", ""},
        {&parts, "vorlask/1/ap2/scan", ""},
        {&parts, "vorlask/0/south/ap2/scan/x", ""},
    };
    for (const Case& c : cases) {
        FleetSubscriptions::Parts p;
        std::string got;
        if (c.subs->split(c.topic, p))
            got = p.site + " " + p.ap + " " + std::to_string(p.kind) + " " +
                  std::to_string(p.subscription);
        EXPECT_EQ(got, c.parts) << c.topic;
    }
}

TEST(FleetSites, ReadsSitesAndPartitions) {
    struct Case {
        std::vector<const char*> args;
        bool ok;
        bool sites;
        std::vector<unsigned> partitions;
    };
    const Case cases[] = {
        {{}, true, false, {}},
        {{"--sites"}, true, true, {}},
        {{"--partitions", "2,0,11"}, true, true, {0, 2, 11}},
        {{"--partitions", "3"}, true, true, {3}},
        {{"--partitions", "1,1"}, false, false, {}},
        {{"--partitions", "1,"}, false, false, {}},
        {{"--partitions", "10000"}, false, false, {}},
        {{"--partitions", "-1"}, false, false, {}},
        {{"--partitions"}, false, false, {}},
    };
    for (const Case& c : cases) {
        std::vector<char*> argv{const_cast<char*>("vorlask-fleet")};
        for (const char* a : c.args)
            argv.push_back(const_cast<char*>(a));
        FleetOptions options;
        std::string error;
        bool ok = parse_fleet_options(static_cast<int>(argv.size()), argv.data(), options, error);
        std::string what = c.args.empty() ? "(none)" : c.args.back();
        EXPECT_EQ(ok, c.ok) << what << ": " << error;
        if (ok && c.ok) {
            EXPECT_EQ(options.sites, c.sites) << what;
            EXPECT_EQ(options.partitions, c.partitions) << what;
        }
    }
}

TEST(FleetSites, PlacesAnAccessPointInItsLatestSite) {
    FleetView view;
    view.place("ap1", "north");  // not in the view yet: nothing
    EXPECT_TRUE(view.access_points().empty());
    ASSERT_TRUE(view.take_status("ap1", "online", 6, 990));
    uint64_t before = view.generation();
    view.place("ap1", "north");
    EXPECT_EQ(view.access_points().at("ap1").site, "north");
    EXPECT_GT(view.generation(), before);
    view.place("ap1", "south");
    EXPECT_EQ(view.access_points().at("ap1").site, "south");
#ifdef FLEET_VIEW_WITH_DOCUMENT
    ASSERT_TRUE(view.take_status("ap2", "online", 6, 991));
    std::string text = view_document(view, 1000);
    EXPECT_NE(text.find("{\"id\":\"ap1\",\"site\":\"south\",\"online\":true,"), std::string::npos)
        << text;
    EXPECT_NE(text.find("{\"id\":\"ap2\",\"online\":true,"), std::string::npos) << text;
    fleet_page::ViewSnapshot back;
    std::string error;
    ASSERT_TRUE(fleet_page::parse_view(text, back, error)) << error;
    EXPECT_EQ(back.access_points.at(0).site, "south");
    EXPECT_EQ(back.access_points.at(1).site, "");
#endif
}
