#include "scan_part_reference.h"

#include <json-c/json.h>

#include <cstring>
#include <memory>

namespace fleet_fuzz {

namespace {

struct TokenerDeleter {
    void operator()(json_tokener* t) const { json_tokener_free(t); }
};
struct ObjectDeleter {
    void operator()(json_object* o) const { json_object_put(o); }
};

bool get_int(json_object* parent, const char* key, int64_t low, int64_t high, int64_t& out) {
    json_object* value = nullptr;
    if (!json_object_object_get_ex(parent, key, &value) ||
        !json_object_is_type(value, json_type_int)) {
        return false;
    }
    int64_t v = json_object_get_int64(value);
    if (v < low || v > high || v > fleet::max_scan_integer || v < -fleet::max_scan_integer) {
        return false;
    }
    out = v;
    return true;
}

bool get_string(json_object* parent, const char* key, std::string& out) {
    json_object* value = nullptr;
    if (!json_object_object_get_ex(parent, key, &value) ||
        !json_object_is_type(value, json_type_string)) {
        return false;
    }
    int length = json_object_get_string_len(value);
    if (length < 0 || static_cast<size_t>(length) > fleet::max_scan_field) {
        return false;
    }
    out.assign(json_object_get_string(value), static_cast<size_t>(length));
    return true;
}

bool parse_station(json_object* item, fleet::AddressForm form, fleet::ScanStation& s,
                   std::string& error) {
    if (!json_object_is_type(item, json_type_object)) {
        error = "station is not an object";
        return false;
    }
    if (!get_string(item, "address", s.address) ||
        !(form == fleet::AddressForm::plain ? fleet::plain_address(s.address)
                                            : fleet::hashed_address(s.address))) {
        error = "bad station address";
        return false;
    }
    int64_t rssi = 0, band = 0, freq = 0;
    if (!get_int(item, "rssi", -128, 127, rssi) || !get_int(item, "band", 0, 255, band) ||
        !get_int(item, "freq", 0, 1000000, freq)) {
        error = "bad station rssi, band or freq";
        return false;
    }
    s.rssi = static_cast<int>(rssi);
    s.band = static_cast<int>(band);
    s.freq = static_cast<int>(freq);
    if (!get_string(item, "second_mac", s.second_mac) || !fleet::plain_address(s.second_mac)) {
        error = "bad station second_mac";
        return false;
    }
    if (!get_int(item, "count", 0, INT64_MAX, s.count) ||
        !get_int(item, "first_seen", INT64_MIN, INT64_MAX, s.first_seen) ||
        !get_int(item, "last_seen", INT64_MIN, INT64_MAX, s.last_seen) ||
        !get_int(item, "first_age", 0, fleet::max_scan_age, s.first_age) ||
        !get_int(item, "last_age", 0, fleet::max_scan_age, s.last_age)) {
        error = "bad station count, times or ages";
        return false;
    }
    json_object* randomised = nullptr;
    bool given = false;
    const bool has = json_object_object_get_ex(item, "randomised", &randomised);
    if (has) {
        if (!json_object_is_type(randomised, json_type_boolean)) {
            error = "bad station randomised";
            return false;
        }
        given = json_object_get_boolean(randomised) != 0;
    }
    if (!fleet::station_randomised(form, s.address, has ? &given : nullptr, s.randomised)) {
        error = "bad station randomised";
        return false;
    }
    return true;
}

bool parse_root(json_object* root, fleet::ScanPart& out, std::string& error) {
    if (!json_object_is_type(root, json_type_object)) {
        error = "not a JSON object";
        return false;
    }
    if (!get_string(root, "ap", out.ap) || !fleet::valid_ap_id(out.ap)) {
        error = "bad ap";
        return false;
    }
    int64_t seq = 0, part = 0, parts = 0;
    if (!get_int(root, "seq", 1, INT64_MAX, seq) ||
        !get_int(root, "time", INT64_MIN, INT64_MAX, out.time) ||
        !get_int(root, "interval", 1, 86400, out.interval) ||
        !get_int(root, "parts", 1, fleet::max_scan_parts, parts) ||
        !get_int(root, "part", 1, parts, part)) {
        error = "bad seq, time, interval, part or parts";
        return false;
    }
    out.seq = static_cast<uint64_t>(seq);
    out.part = static_cast<int>(part);
    out.parts = static_cast<int>(parts);
    std::string form;
    if (!get_string(root, "address_form", form) || (form != "plain" && form != "hashed")) {
        error = "bad address_form";
        return false;
    }
    out.form = form == "plain" ? fleet::AddressForm::plain : fleet::AddressForm::hashed;

    json_object* totals = nullptr;
    fleet::ScanTotals& t = out.totals;
    if (!json_object_object_get_ex(root, "totals", &totals) ||
        !json_object_is_type(totals, json_type_object) ||
        !get_int(totals, "table", 0, INT64_MAX, t.table) ||
        !get_int(totals, "reported", 0, INT64_MAX, t.reported) ||
        !get_int(totals, "dropped", 0, INT64_MAX, t.dropped) ||
        !get_int(totals, "turned_away", 0, INT64_MAX, t.turned_away) ||
        !get_int(totals, "kernel_lost", 0, INT64_MAX, t.kernel_lost) ||
        !get_int(totals, "queue_dropped", 0, INT64_MAX, t.queue_dropped)) {
        error = "bad totals";
        return false;
    }
    json_object* crowd = nullptr;
    out.has_crowd = json_object_object_get_ex(root, "crowd", &crowd);
    if (out.has_crowd && (!json_object_is_type(crowd, json_type_object) ||
                          !get_int(crowd, "randomised", 0, INT64_MAX, out.crowd_randomised) ||
                          !get_int(crowd, "estimate", 0, INT64_MAX, out.crowd_estimate))) {
        error = "bad crowd";
        return false;
    }
    json_object* people = nullptr;
    out.has_people = json_object_object_get_ex(root, "people", &people);
    if (out.has_people) {
        const bool number = json_object_is_type(people, json_type_double) ||
                            json_object_is_type(people, json_type_int);
        out.people = number ? json_object_get_double(people) : -1;
        if (!number || !(out.people >= 0 && out.people <= 1e9)) {
            error = "bad people";
            return false;
        }
    }

    json_object* stations = nullptr;
    if (!json_object_object_get_ex(root, "stations", &stations) ||
        !json_object_is_type(stations, json_type_array)) {
        error = "no stations array";
        return false;
    }
    size_t n = json_object_array_length(stations);
    if (n > fleet::max_part_stations) {
        error = "too many stations in one part";
        return false;
    }
    out.stations.clear();
    out.stations.resize(n);
    for (size_t i = 0; i < n; ++i) {
        if (!parse_station(json_object_array_get_idx(stations, i), out.form, out.stations[i],
                           error)) {
            return false;
        }
    }
    return true;
}

// Whether the text holds a digit followed by a point and no digit ("1.").
bool bare_point(const char* p, size_t size) {
    for (size_t i = 1; i < size; ++i) {
        if (p[i] == '.' && p[i - 1] >= '0' && p[i - 1] <= '9' &&
            (i + 1 == size || p[i + 1] < '0' || p[i + 1] > '9')) {
            return true;
        }
    }
    return false;
}

bool holds(const char* p, size_t size, const char* what) {
    return std::string(p, size).find(what) != std::string::npos;
}

bool starts(const std::string& s, const char* prefix) {
    return s.compare(0, strlen(prefix), prefix) == 0;
}

}  // namespace

bool reference_parse(const char* payload, size_t size, fleet::ScanPart& out, std::string& error) {
    if (size > fleet::max_scan_payload || size == 0 || memchr(payload, '\0', size) != nullptr) {
        error = "too large, empty or a NUL byte";
        return false;
    }
    std::unique_ptr<json_tokener, TokenerDeleter> tokener(
        json_tokener_new_ex(static_cast<int>(fleet::max_scan_depth)));
    if (!tokener) {
        error = "out of memory";
        return false;
    }
    json_tokener_set_flags(tokener.get(), JSON_TOKENER_STRICT | JSON_TOKENER_VALIDATE_UTF8);
    std::unique_ptr<json_object, ObjectDeleter> root(
        json_tokener_parse_ex(tokener.get(), payload, static_cast<int>(size)));
    if (json_tokener_get_error(tokener.get()) != json_tokener_success || !root) {
        error = "not JSON";
        return false;
    }
    for (size_t i = json_tokener_get_parse_end(tokener.get()); i < size; ++i) {
        if (payload[i] != ' ' && payload[i] != '\n' && payload[i] != '\r' && payload[i] != '\t') {
            error = "text after the document";
            return false;
        }
    }
    return parse_root(root.get(), out, error);
}

const char* strict_json_difference(const char* payload, size_t size, const std::string& error) {
    if (starts(error, "duplicate key")) {
        return "a key read twice in one object";
    }
    if (starts(error, "not JSON: a number") &&
        (bare_point(payload, size) || holds(payload, size, "e") || holds(payload, size, "E") ||
         size >= 20)) {
        return "a number json-c saturates or ends in its point";
    }
    if (starts(error, "not JSON: a bad escape") && holds(payload, size, "\\u")) {
        return "an unpaired surrogate escape";
    }
    if (starts(error, "not JSON: a control character")) {
        return "a control character in a string";
    }
    if (error == "not JSON" && (holds(payload, size, "'") || holds(payload, size, "NaN") ||
                                holds(payload, size, "nfinity"))) {
        return "single quotes, NaN or Infinity";
    }
    return nullptr;
}

}  // namespace fleet_fuzz
