// The Home Assistant discovery configs of the daemon and the collector,
// checked against Home Assistant's documented device-based discovery schema:
// the topic `<prefix>/device/<object id>/config` with an object id of
// [a-zA-Z0-9_-], a JSON object with `dev` (identifiers), `o` (origin, its
// name), `cmps` (each with its platform `p` and a unique id) in the
// documented abbreviations, the availability and state topics, and each
// sensor's template reading a member the state payload has.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <mosquitto.h>

#include <cstring>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "fleet_homeassistant.h"
#include "fleet_test_doc.h"
#include "fleet_view.h"
#include "homeassistant_id.h"
#include "mqtt/homeassistant_discovery.h"

namespace {

// Keys Home Assistant documents at each level of a device-based config: the
// abbreviations used here, and the keys that have none.
const std::set<std::string> top_keys = {"dev",          "o",      "cmps", "avty_t", "pl_avail",
                                        "pl_not_avail", "stat_t", "qos"};
const std::set<std::string> device_keys = {"ids", "name", "mf", "mdl", "sw"};
const std::set<std::string> origin_keys = {"name", "sw", "url"};
const std::set<std::string> sensor_keys = {
    "p", "name", "uniq_id", "val_tpl", "unit_of_meas", "dev_cla", "stat_cla"};
const std::set<std::string> state_classes = {"measurement", "total", "total_increasing"};

// A topic one may publish to: not empty, no wildcard, no NUL.
bool publish_topic(const std::string& topic) {
    return !topic.empty() && topic.find_first_of("+#") == std::string::npos &&
           topic.find('\0') == std::string::npos;
}

std::string text_of(json_object* object, const char* key) {
    json_object* value = nullptr;
    if (!json_object_object_get_ex(object, key, &value) ||
        json_object_get_type(value) != json_type_string) {
        return "";
    }
    return json_object_get_string(value);
}

void expect_keys_in(json_object* object, const std::set<std::string>& allowed,
                    const std::string& where) {
    json_object_object_foreach(object, key, value) {
        (void)value;
        EXPECT_EQ(allowed.count(key), 1u) << where << ": key " << key << " is not documented";
    }
}

struct JsonPut {
    void operator()(json_object* object) const { json_object_put(object); }
};
using Json = std::unique_ptr<json_object, JsonPut>;

struct Checked {
    std::string object_id;
    std::vector<std::string> unique_ids;
    std::set<std::string> sensors;
};

// Checks one config with its topic, the topics it must name and the state
// payload its sensors read.
void check_config(const std::string& topic, const std::string& config, const std::string& prefix,
                  const std::string& availability, const std::string& state_topic,
                  const std::string& state, Checked& out) {
    std::smatch m;
    const std::regex form("^" + prefix + "/device/([a-zA-Z0-9_-]+)/config$");
    EXPECT_TRUE(std::regex_match(topic, m, form)) << topic;
    out.object_id = m.size() == 2 ? m[1].str() : "";

    const Json config_json(json_tokener_parse(config.c_str()));
    const Json state_json(json_tokener_parse(state.c_str()));
    json_object* top = config_json.get();
    json_object* st = state_json.get();
    ASSERT_NE(top, nullptr) << config;
    ASSERT_NE(st, nullptr) << state;
    expect_keys_in(top, top_keys, "config");
    json_object *dev = nullptr, *origin = nullptr, *cmps = nullptr, *ids = nullptr;
    EXPECT_TRUE(json_object_object_get_ex(top, "dev", &dev));
    EXPECT_TRUE(json_object_object_get_ex(top, "o", &origin));
    EXPECT_TRUE(json_object_object_get_ex(top, "cmps", &cmps));
    EXPECT_TRUE(dev != nullptr && json_object_object_get_ex(dev, "ids", &ids));
    if (dev == nullptr || origin == nullptr || cmps == nullptr || ids == nullptr) {
        return;
    }
    expect_keys_in(dev, device_keys, "dev");
    expect_keys_in(origin, origin_keys, "o");
    EXPECT_EQ(text_of(origin, "name"), "vorlask");
    ASSERT_EQ(json_object_get_type(ids), json_type_array);
    EXPECT_EQ(json_object_array_length(ids), 1u);
    EXPECT_EQ(json_object_get_string(json_object_array_get_idx(ids, 0)), out.object_id);
    EXPECT_EQ(text_of(top, "avty_t"), availability);
    EXPECT_EQ(text_of(top, "stat_t"), state_topic);
    EXPECT_TRUE(publish_topic(availability) && publish_topic(state_topic));
    // The status topic's payloads: Home Assistant's defaults when not named.
    const std::string available = text_of(top, "pl_avail");
    const std::string not_available = text_of(top, "pl_not_avail");
    EXPECT_TRUE(available.empty() || available == "online") << available;
    EXPECT_TRUE(not_available.empty() || not_available == "offline") << not_available;

    const std::regex template_form(R"(^\{\{ value_json\.([a-z_]+) \}\}$)");
    json_object_object_foreach(cmps, key, sensor) {
        const std::string where = topic + " cmps." + key;
        out.sensors.insert(key);
        expect_keys_in(sensor, sensor_keys, where);
        EXPECT_EQ(text_of(sensor, "p"), "sensor") << where;
        EXPECT_FALSE(text_of(sensor, "name").empty()) << where;
        const std::string unique = text_of(sensor, "uniq_id");
        EXPECT_EQ(unique, out.object_id + "_" + key) << where;
        out.unique_ids.push_back(unique);
        // The template's member is in the state: a number (or null while not
        // known) for a measurement, an ISO 8601 time with its zone for a
        // timestamp.
        const std::string tpl = text_of(sensor, "val_tpl");
        std::smatch member;
        ASSERT_TRUE(std::regex_match(tpl, member, template_form)) << where << ": " << tpl;
        json_object* value = nullptr;
        ASSERT_TRUE(json_object_object_get_ex(st, member[1].str().c_str(), &value))
            << where << " reads " << member[1] << " missing from " << state;
        const std::string cla = text_of(sensor, "stat_cla");
        if (text_of(sensor, "dev_cla") == "timestamp") {
            EXPECT_TRUE(cla.empty() && text_of(sensor, "unit_of_meas").empty()) << where;
            EXPECT_TRUE(std::regex_match(std::string(json_object_get_string(value)),
                                         std::regex(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\+00:00$)")))
                << where;
        } else {
            EXPECT_EQ(state_classes.count(cla), 1u) << where;
            EXPECT_FALSE(text_of(sensor, "unit_of_meas").empty()) << where;
            const json_type type = json_object_get_type(value);
            EXPECT_TRUE(type == json_type_int || type == json_type_double || type == json_type_null)
                << where;
        }
    }
}

// Client ids whose sanitised forms would be alike, one in UTF-8, one as long
// as allowed, one with what a JSON string escapes.
const std::vector<std::string> client_ids = {
    "ap.1", "ap_1", "ap 1", "ap-1", "caf\xc3\xa9-ap", std::string(64, 'x'), "ap\"q\\x"};

TEST(HomeAssistantDiscovery, ConfigsFollowTheDocumentedSchema) {
    std::set<std::string> object_ids, unique_ids;
    size_t configs = 0;
    for (const std::string& id : client_ids) {
        for (bool persistent : {false, true}) {
            MqttSettings s;
            s.client_id = id;
            s.prefix = "vorlask/site";
            s.homeassistant = "homeassistant";
            s.crowd_sensors = persistent;
            ScanDocument doc;
            doc.time = 1765280000;
            doc.rows.resize(3);
            doc.totals.has_crowd = persistent;
            doc.totals.estimate = 7;
            doc.totals.people = 3.5;
            char text[access_point_state_room];
            access_point_state(doc, persistent, text);
            const std::string state = text;
            Checked c;
            const HomeAssistantLink link(s);
            check_config(link.config_topic(), link.config(), "homeassistant",
                         "vorlask/site/" + id + "/status", "vorlask/site/" + id + "/state", state,
                         c);
            // Under the count rule the config has no people, nor devices.
            const std::set<std::string> expected =
                persistent ? std::set<std::string>{"people", "devices", "stations", "last_scan"}
                           : std::set<std::string>{"stations", "last_scan"};
            EXPECT_EQ(c.sensors, expected) << id;
            if (persistent) {
                EXPECT_NE(state.find("\"people\":3.5"), std::string::npos) << state;
                EXPECT_NE(state.find("\"devices\":7"), std::string::npos) << state;
            }
            EXPECT_NE(state.find("\"stations\":3"), std::string::npos) << state;
            object_ids.insert(c.object_id);
            unique_ids.insert(c.unique_ids.begin(), c.unique_ids.end());
            configs += 1;
        }
        fleet::IntakeSettings f;
        f.client_id = id;
        f.prefix = "vorlask/site";
        f.homeassistant = "ha/test";
        fleet::FleetView view;
        Checked c;
        check_config(fleet::site_config_topic(f), fleet::site_config(f), "ha/test",
                     "vorlask/site/fleet/" + id + "/availability",
                     "vorlask/site/fleet/" + id + "/state", fleet::site_state(view), c);
        EXPECT_EQ(c.sensors, (std::set<std::string>{"people", "stations", "access_points_online"}));
        object_ids.insert(c.object_id);
        unique_ids.insert(c.unique_ids.begin(), c.unique_ids.end());
        configs += 1;
    }
    // Each config one object id (the same per access point under both rules),
    // every sensor its own unique id across access points and collectors.
    EXPECT_EQ(object_ids.size(), client_ids.size() * 2);
    EXPECT_EQ(unique_ids.size(), client_ids.size() * (4 + 3));
    EXPECT_EQ(configs, client_ids.size() * 3);
}

TEST(HomeAssistantDiscovery, ObjectIdsKeepEveryClientIdApart) {
    const struct {
        const char* kind;
        std::string id;
        const char* object_id;
    } cases[] = {
        {"ap", "ap-1", "vorlask_ap_ap-1"},
        {"ap", "ap_1", "vorlask_ap_ap_5f1"},
        {"ap", "ap.1", "vorlask_ap_ap_2e1"},
        {"ap", "ap_2e1", "vorlask_ap_ap_5f2e1"},
        {"ap", "caf\xc3\xa9", "vorlask_ap_caf_c3_a9"},
        {"site", "ap-1", "vorlask_site_ap-1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(homeassistant::object_id(c.kind, c.id), c.object_id) << c.id;
    }
}

// The collector's state: people summed over the access points that said
// theirs, null while none did; stations of the merged view; access points online.
TEST(HomeAssistantDiscovery, SiteStateSumsTheAccessPoints) {
    fleet::FleetView view;
    EXPECT_EQ(fleet::site_state(view),
              "{\"people\":null,\"stations\":0,\"access_points_online\":0}");
    const fleet::FleetTime now(1765280000);
    for (const char* ap : {"ap1", "ap2", "ap3"}) {
        ASSERT_TRUE(view.take_status(ap, "online", 6, now));
    }
    ASSERT_TRUE(view.take_status("ap3", "offline", 7, now));
    std::string with_people = fleet_test::doc("ap1", 1, {{fleet_test::A, -50, 1}});
    with_people.pop_back();
    with_people += ",\"crowd\":{\"randomised\":1,\"estimate\":4},\"people\":2.5}";
    ASSERT_TRUE(fleet_test::take(view, "ap1", with_people, now));
    std::string more =
        fleet_test::doc("ap2", 1, {{fleet_test::A, -60, 1}, {fleet_test::B, -70, 1}});
    more.pop_back();
    more += ",\"crowd\":{\"randomised\":0,\"estimate\":2},\"people\":1.2}";
    ASSERT_TRUE(fleet_test::take(view, "ap2", more, now));
    EXPECT_EQ(fleet::site_state(view),
              "{\"people\":3.7,\"stations\":2,\"access_points_online\":2}");
}

TEST(HomeAssistantDiscovery, OnlyHomeAssistantsOnlineRepublishes) {
    const struct {
        const char* topic;
        const char* payload;
        bool online;
    } cases[] = {
        {"homeassistant/status", "online", true},    {"homeassistant/status", "offline", false},
        {"homeassistant/status", "onlinex", false},  {"other/status", "online", false},
        {"homeassistant/status/x", "online", false},
    };
    MqttSettings s;
    s.client_id = "ap1";
    s.homeassistant = "homeassistant";
    for (const auto& c : cases) {
        HomeAssistantLink link(s);
        mosquitto_message message{};
        message.topic = const_cast<char*>(c.topic);
        message.payload = const_cast<char*>(c.payload);
        message.payloadlen = static_cast<int>(strlen(c.payload));
        link.message(&message);
        EXPECT_EQ(link.config_due(), c.online) << c.topic << " " << c.payload;
    }
}

}  // namespace
