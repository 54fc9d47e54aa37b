#include "view_snapshot.h"

#include <json-c/json.h>

#include <algorithm>
#include <cctype>
#include <memory>

#include "maker_lookup.h"
#include "view_writer.h"

namespace fleet_page {

namespace {

struct JsonFree {
    void operator()(json_object* o) const { json_object_put(o); }
};
using Json = std::unique_ptr<json_object, JsonFree>;

json_object* optional_int(const std::optional<int64_t>& v) {
    return v ? json_object_new_int64(*v) : nullptr;
}

json_object* new_string(const std::string& s) {
    return json_object_new_string_len(s.data(), static_cast<int>(s.size()));
}

json_object* ap_object(const ApState& ap) {
    json_object* o = json_object_new_object();
    json_object_object_add(o, "id", new_string(ap.id));
    if (!ap.site.empty())
        json_object_object_add(o, "site", new_string(ap.site));
    json_object_object_add(o, "online", json_object_new_boolean(ap.online));
    json_object_object_add(o, "last_scan", optional_int(ap.last_scan));
    json_object_object_add(o, "seq", optional_int(ap.seq));
    json_object_object_add(o, "stations", json_object_new_int64(ap.stations));
    json_object_object_add(o, "crowd", optional_int(ap.crowd));
    if (ap.people) {
        char text[32];
        snprintf(text, sizeof text, "%.1f", *ap.people);
        json_object_object_add(o, "people", json_object_new_double_s(*ap.people, text));
    }
    json_object_object_add(o, "lost_documents", json_object_new_int64(ap.lost_documents));
    json_object_object_add(o, "clock_offset", optional_int(ap.clock_offset));
    json_object_object_add(o, "clock_off", json_object_new_boolean(ap.clock_off));
    return o;
}

json_object* station_object(const StationState& st) {
    json_object* o = json_object_new_object();
    json_object_object_add(o, "address", new_string(st.address));
    json_object_object_add(o, "form", json_object_new_string(st.hashed ? "hashed" : "plain"));
    json_object_object_add(o, "strongest", new_string(st.strongest));
    json_object_object_add(o, "last_seen", json_object_new_int64(st.last_seen));
    json_object* heard = json_object_new_array_ext(static_cast<int>(st.heard_by.size()));
    for (const HeardBy& h : st.heard_by) {
        json_object* e = json_object_new_object();
        json_object_object_add(e, "ap", new_string(h.ap));
        json_object_object_add(e, "rssi", json_object_new_int(h.rssi));
        json_object_object_add(e, "last_seen", json_object_new_int64(h.last_seen));
        json_object_array_add(heard, e);
    }
    json_object_object_add(o, "heard_by", heard);
    return o;
}

std::string to_string(json_object* o) {
    return json_object_to_json_string_ext(o,
                                          JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
}

// Reading back: every member must be there with its type.
bool get(json_object* o, const char* name, json_type type, json_object*& out) {
    return json_object_object_get_ex(o, name, &out) && json_object_is_type(out, type);
}

bool get_int(json_object* o, const char* name, int64_t& out) {
    json_object* v;
    if (!get(o, name, json_type_int, v))
        return false;
    out = json_object_get_int64(v);
    return true;
}

bool get_optional_int(json_object* o, const char* name, std::optional<int64_t>& out) {
    json_object* v;
    if (!json_object_object_get_ex(o, name, &v))
        return false;
    if (v == nullptr) {
        out.reset();
        return true;
    }
    if (!json_object_is_type(v, json_type_int))
        return false;
    out = json_object_get_int64(v);
    return true;
}

bool get_string(json_object* o, const char* name, std::string& out) {
    json_object* v;
    if (!get(o, name, json_type_string, v))
        return false;
    out.assign(json_object_get_string(v), static_cast<size_t>(json_object_get_string_len(v)));
    return true;
}

bool parse_ap(json_object* o, ApState& ap) {
    json_object *online, *clock_off;
    if (!get_string(o, "id", ap.id) || !get(o, "online", json_type_boolean, online) ||
        !get(o, "clock_off", json_type_boolean, clock_off))
        return false;
    ap.online = json_object_get_boolean(online);
    ap.clock_off = json_object_get_boolean(clock_off);
    json_object* site;
    if (json_object_object_get_ex(o, "site", &site) && !get_string(o, "site", ap.site))
        return false;
    json_object* people;
    if (json_object_object_get_ex(o, "people", &people)) {
        if (!json_object_is_type(people, json_type_double) &&
            !json_object_is_type(people, json_type_int))
            return false;
        ap.people = json_object_get_double(people);
    }
    return get_optional_int(o, "last_scan", ap.last_scan) && get_optional_int(o, "seq", ap.seq) &&
           get_int(o, "stations", ap.stations) && get_optional_int(o, "crowd", ap.crowd) &&
           get_int(o, "lost_documents", ap.lost_documents) &&
           get_optional_int(o, "clock_offset", ap.clock_offset);
}

bool parse_station(json_object* o, StationState& st) {
    std::string form;
    json_object* heard;
    if (!get_string(o, "address", st.address) || !get_string(o, "form", form) ||
        !get_string(o, "strongest", st.strongest) || !get_int(o, "last_seen", st.last_seen) ||
        !get(o, "heard_by", json_type_array, heard) || (form != "plain" && form != "hashed"))
        return false;
    st.hashed = form == "hashed";
    for (size_t i = 0; i < json_object_array_length(heard); ++i) {
        json_object* e = json_object_array_get_idx(heard, i);
        HeardBy h;
        int64_t rssi;
        if (!json_object_is_type(e, json_type_object) || !get_string(e, "ap", h.ap) ||
            !get_int(e, "rssi", rssi) || !get_int(e, "last_seen", h.last_seen))
            return false;
        h.rssi = static_cast<int>(rssi);
        st.heard_by.push_back(std::move(h));
    }
    return true;
}

// The history's counters as "history", when given.
void add_history(json_object* doc, const std::vector<std::pair<std::string, int64_t>>& history) {
    if (history.empty())
        return;
    json_object* counters = json_object_new_object();
    for (const auto& [name, value] : history)
        json_object_object_add(counters, name.c_str(), json_object_new_int64(value));
    json_object_object_add(doc, "history", counters);
}

bool contains_folded(const std::string& text, const std::string& folded_query) {
    if (folded_query.empty())
        return true;
    auto it = std::search(
        text.begin(), text.end(), folded_query.begin(), folded_query.end(),
        [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
    return it != text.end();
}

}  // namespace

std::string render_view(const ViewSnapshot& view) {
    // Access points and stations written straight to text (view_writer.h); a view of many
    // stations never stands as one tree.
    std::string out;
    out.reserve(256 + view.access_points.size() * 128 + view.stations.size() * 200);
    auto put = [&](json_object* o) {
        size_t length = 0;
        const char* text = json_object_to_json_string_length(
            o, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE, &length);
        out.append(text, length);
        json_object_put(o);
    };
    out += "{\"time\":" + std::to_string(view.time) + ",\"access_points\":[";
    for (size_t i = 0; i < view.access_points.size(); ++i) {
        if (i)
            out += ',';
        write_ap(out, view.access_points[i]);
    }
    out += "],\"stations\":[";
    for (size_t i = 0; i < view.stations.size(); ++i) {
        if (i)
            out += ',';
        write_station(out, view.stations[i]);
    }
    out += "],\"counters\":";
    json_object* counters = json_object_new_object();
    for (const auto& [name, value] : view.counters)
        json_object_object_add(counters, name.c_str(), json_object_new_int64(value));
    put(counters);
    out += '}';
    return out;
}

bool parse_view(const std::string& json, ViewSnapshot& view, std::string& error) {
    json_tokener* tok = json_tokener_new();
    Json doc(json_tokener_parse_ex(tok, json.data(), static_cast<int>(json.size())));
    // One document and nothing after it but white space.
    bool complete =
        json_tokener_get_error(tok) == json_tokener_success &&
        json.find_first_not_of(" \t\r\n", json_tokener_get_parse_end(tok)) == std::string::npos;
    json_tokener_free(tok);
    json_object *aps, *stations;
    view = ViewSnapshot();
    if (!complete || !json_object_is_type(doc.get(), json_type_object) ||
        !get_int(doc.get(), "time", view.time) ||
        !get(doc.get(), "access_points", json_type_array, aps) ||
        !get(doc.get(), "stations", json_type_array, stations)) {
        error = "not a fleet view document";
        return false;
    }
    for (size_t i = 0; i < json_object_array_length(aps); ++i) {
        ApState ap;
        json_object* o = json_object_array_get_idx(aps, i);
        if (!json_object_is_type(o, json_type_object) || !parse_ap(o, ap)) {
            error = "access point " + std::to_string(i) + " is malformed";
            return false;
        }
        view.access_points.push_back(std::move(ap));
    }
    for (size_t i = 0; i < json_object_array_length(stations); ++i) {
        StationState st;
        json_object* o = json_object_array_get_idx(stations, i);
        if (!json_object_is_type(o, json_type_object) || !parse_station(o, st)) {
            error = "station " + std::to_string(i) + " is malformed";
            return false;
        }
        view.stations.push_back(std::move(st));
    }
    json_object* counters;
    if (json_object_object_get_ex(doc.get(), "counters", &counters)) {
        if (!json_object_is_type(counters, json_type_object)) {
            error = "counters are malformed";
            return false;
        }
        json_object_object_foreach(counters, name, value) {
            if (!json_object_is_type(value, json_type_int)) {
                error = std::string("counter ") + name + " is malformed";
                return false;
            }
            view.counters.emplace_back(name, json_object_get_int64(value));
        }
    }
    return true;
}

std::string render_summary(const ViewSnapshot& view,
                           const std::vector<std::pair<std::string, int64_t>>& history) {
    std::string out;
    out.reserve(64 + view.access_points.size() * 160);
    out += "{\"time\":" + std::to_string(view.time) + ",\"access_points\":[";
    for (size_t i = 0; i < view.access_points.size(); ++i) {
        if (i)
            out += ',';
        write_ap(out, view.access_points[i]);
    }
    out += "],\"station_count\":" + std::to_string(view.stations.size());
    if (!history.empty()) {
        out += ",\"history\":{";
        for (size_t i = 0; i < history.size(); ++i) {
            if (i)
                out += ',';
            write_json_string(out, history[i].first);
            out += ':' + std::to_string(history[i].second);
        }
        out += '}';
    }
    out += '}';
    return out;
}

std::string render_changes(const ViewSnapshot& before, const ViewSnapshot& after,
                           size_t max_changes,
                           const std::vector<std::pair<std::string, int64_t>>& history) {
    auto same = [](const ApState& x, const ApState& y) {
        return x.online == y.online && x.last_scan == y.last_scan && x.seq == y.seq &&
               x.stations == y.stations && x.crowd == y.crowd && x.people == y.people &&
               x.lost_documents == y.lost_documents && x.clock_offset == y.clock_offset &&
               x.clock_off == y.clock_off && x.site == y.site;
    };
    Json doc(json_object_new_object());
    json_object* changed = json_object_new_array();
    json_object* gone = json_object_new_array();
    json_object_object_add(doc.get(), "time", json_object_new_int64(after.time));
    json_object_object_add(doc.get(), "access_points", changed);
    json_object_object_add(doc.get(), "gone", gone);
    json_object_object_add(doc.get(), "station_count",
                           json_object_new_int64(static_cast<int64_t>(after.stations.size())));
    size_t count = 0;
    auto add = [&](json_object* list, json_object* item) {
        json_object_array_add(list, item);
        return ++count <= max_changes;
    };
    // Both lists are sorted by id: one walk through them side by side, given up past the bound.
    auto b = before.access_points.begin(), b_end = before.access_points.end();
    for (const ApState& ap : after.access_points) {
        for (; b != b_end && b->id < ap.id; ++b) {
            if (!add(gone, new_string(b->id)))
                return std::string();
        }
        bool known = b != b_end && b->id == ap.id;
        if ((!known || !same(*b, ap)) && !add(changed, ap_object(ap)))
            return std::string();
        if (known)
            ++b;
    }
    for (; b != b_end; ++b) {
        if (!add(gone, new_string(b->id)))
            return std::string();
    }
    add_history(doc.get(), history);
    return to_string(doc.get());
}

std::string render_station_page(const ViewSnapshot& view, const std::string& query, size_t offset,
                                size_t limit, const MakerLookup& makers) {
    std::string folded;
    for (char c : query)
        folded += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    Json doc(json_object_new_object());
    json_object* page = json_object_new_array();
    size_t total = 0;
    for (const StationState& st : view.stations) {
        if (!contains_folded(st.address, folded))
            continue;
        if (total >= offset && total - offset < limit) {
            json_object* o = station_object(st);
            const std::string& maker = st.hashed ? std::string() : makers.maker(st.address);
            json_object_object_add(o, "maker", maker.empty() ? nullptr : new_string(maker));
            json_object_array_add(page, o);
        }
        ++total;
    }
    json_object_object_add(doc.get(), "time", json_object_new_int64(view.time));
    json_object_object_add(doc.get(), "total", json_object_new_int64(static_cast<int64_t>(total)));
    json_object_object_add(doc.get(), "offset",
                           json_object_new_int64(static_cast<int64_t>(offset)));
    json_object_object_add(doc.get(), "stations", page);
    return to_string(doc.get());
}

}  // namespace fleet_page
