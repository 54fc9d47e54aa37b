// The view document's direct writer against json-c, which wrote it before: every byte value
// in a string, and access points and stations with every optional member both ways, give the
// same text.
#include <gtest/gtest.h>
#include <json-c/json.h>

#include <string>

#include "view_snapshot.h"
#include "view_writer.h"

using namespace fleet_page;

namespace {

std::string by_json_c(const std::string& text) {
    json_object* o = json_object_new_string_len(text.data(), static_cast<int>(text.size()));
    std::string out =
        json_object_to_json_string_ext(o, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
    json_object_put(o);
    return out;
}

}  // namespace

TEST(ViewWriter, EscapesStringsAsJsonCDoes) {
    std::string every;
    for (int c = 0; c < 256; ++c) {
        std::string one(1, static_cast<char>(c));
        std::string mine;
        write_json_string(mine, one);
        EXPECT_EQ(mine, by_json_c(one)) << "byte " << c;
        every += one;
    }
    for (const std::string& text :
         {std::string(), every, std::string("a\0b", 3), std::string("caf\xc3\xa9 <b>/\"x\"</b>"),
          std::string("\\\\n\n\x1f\x7f end")}) {
        std::string mine;
        write_json_string(mine, text);
        EXPECT_EQ(mine, by_json_c(text));
    }
}

TEST(ViewWriter, WritesAccessPointsAsTheFeedsJsonCObjects) {
    // render_changes still builds each access point with json-c: against nothing before, its
    // list is every access point, which render_summary now writes directly.
    ViewSnapshot view;
    view.time = 1765280000;
    ApState full;
    full.id = "ap-\"1\"/\x01";
    full.online = true;
    full.last_scan = 1765279999;
    full.seq = 17;
    full.stations = 3;
    full.crowd = -4;
    full.people = 8.54;
    full.lost_documents = 2;
    full.clock_offset = -1;
    full.clock_off = true;
    full.site = "north\tside";
    ApState bare;
    bare.id = "ap-2";
    view.access_points = {full, bare};
    view.stations.resize(5);
    std::string changes = render_changes(ViewSnapshot(), view, 10);
    std::string summary = render_summary(view);
    auto list = [](const std::string& doc, const char* after) {
        size_t from = doc.find("\"access_points\":[");
        size_t to = doc.find(after, from);
        return from == std::string::npos || to == std::string::npos ? std::string()
                                                                    : doc.substr(from, to - from);
    };
    EXPECT_NE(list(summary, "],\"station_count\":5}"), "");
    EXPECT_EQ(list(summary, "],\"station_count\":5}"), list(changes, "],\"gone\":[]"));
}
