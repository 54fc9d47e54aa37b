#include "scan_part.h"

#include <simdjson.h>

#include <array>
#include <cstring>
#include <memory>
#include <string_view>

#include "client_id.h"
#include "same_text.h"

namespace fleet {

namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;

// The values of the keys one object of the document may hold that the reader
// reads, found in one pass over the object. A key the reader reads may come
// only once: a document with such a key twice is refused, so no value of it
// goes unchecked and no reader could take another of the two than this one.
// Other keys are skipped, whatever they hold.
template <size_t N>
struct Fields {
    const std::array<std::string_view, N>& names;
    std::array<element, N> value{};
    uint32_t present = 0;

    bool has(size_t i) const { return (present >> i & 1) != 0; }

    bool collect(element object, std::string& error) {
        simdjson::dom::object fields;
        if (object.get_object().get(fields) != simdjson::SUCCESS) {
            return false;
        }
        size_t guess = 0;  // the daemon writes the keys in the order of `names`
        for (simdjson::dom::key_value_pair field : fields) {
            size_t i = guess;
            size_t tried = 0;
            while (tried < N && !same_text(names[i], field.key)) {
                i = i + 1 == N ? 0 : i + 1;
                tried++;
            }
            if (tried == N) {
                continue;
            }
            if (has(i)) {
                error = "duplicate key \"" + std::string(names[i]) + "\"";
                return false;
            }
            present |= uint32_t{1} << i;
            value[i] = field.value;
            guess = i + 1 == N ? 0 : i + 1;
        }
        return true;
    }

    bool get_int(size_t i, int64_t low, int64_t high, int64_t& out) const {
        // A number beyond int64 (type UINT64) is beyond max_scan_integer too.
        if (!has(i) || value[i].type() != element_type::INT64) {
            return false;
        }
        int64_t v = value[i].get_int64().value_unsafe();
        if (v < low || v > high || v > max_scan_integer || v < -max_scan_integer) {
            return false;
        }
        out = v;
        return true;
    }

    bool get_string(size_t i, std::string& out) const {
        return get_string(i, out, [](std::string_view) { return true; });
    }

    // The string at `i` if `valid` takes its bytes, checked where the parser
    // left them, before they are copied.
    template <typename Valid>
    bool get_string(size_t i, std::string& out, Valid valid) const {
        if (!has(i) || value[i].type() != element_type::STRING) {
            return false;
        }
        std::string_view s = value[i].get_string().value_unsafe();
        if (s.size() > max_scan_field || !valid(s)) {
            return false;
        }
        // Most often the same length as the string held: copied over it.
        if (out.size() != s.size()) {
            out.resize(s.size());
        }
        memcpy(out.data(), s.data(), s.size());
        return true;
    }

    bool is(size_t i, element_type type) const { return has(i) && value[i].type() == type; }
};

int hex_value(char c) {
    return c <= '9' ? c - '0' : c - 'a' + 10;
}

// What each byte may be in an address: a lower-case hex digit, or the colon.
constexpr uint8_t lower_hex = 1;
constexpr uint8_t colon = 2;
struct ByteClasses {
    uint8_t of[256] = {};
    constexpr ByteClasses() {
        for (int c = '0'; c <= '9'; ++c) {
            of[c] = lower_hex;
        }
        for (int c = 'a'; c <= 'f'; ++c) {
            of[c] = lower_hex;
        }
        of[static_cast<int>(':')] = colon;
    }
};
constexpr ByteClasses byte_classes;

uint8_t byte_class(char c) {
    return byte_classes.of[static_cast<unsigned char>(c)];
}

// Checked without a branch per byte: every byte's class is looked up, and
// a mismatch is gathered into one word rather than acted on at once.
bool plain_address_text(std::string_view s) {
    if (s.size() != 17) {
        return false;
    }
    unsigned wrong = 0;
    for (size_t i = 0; i < 17; ++i) {
        wrong |= byte_class(s[i]) ^ (i % 3 == 2 ? colon : lower_hex);
    }
    return wrong == 0;
}

bool hashed_address_text(std::string_view s) {
    if (s.size() != 16) {
        return false;
    }
    unsigned wrong = 0;
    for (size_t i = 0; i < 16; ++i) {
        wrong |= byte_class(s[i]) ^ lower_hex;
    }
    return wrong == 0;
}

enum RootKey {
    ap,
    seq,
    time,
    interval,
    part,
    parts,
    address_form,
    stations,
    totals,
    crowd,
    people
};
const std::array<std::string_view, 11> root_keys = {"ap",     "seq",   "time",         "interval",
                                                    "part",   "parts", "address_form", "stations",
                                                    "totals", "crowd", "people"};

enum StationKey {
    address,
    rssi,
    band,
    freq,
    second_mac,
    count,
    first_seen,
    last_seen,
    first_age,
    last_age,
    randomised
};
const std::array<std::string_view, 11> station_keys = {
    "address",    "rssi",      "band",      "freq",     "second_mac", "count",
    "first_seen", "last_seen", "first_age", "last_age", "randomised"};

enum TotalsKey { table, reported, dropped, turned_away, kernel_lost, queue_dropped };
const std::array<std::string_view, 6> totals_keys = {"table",       "reported",    "dropped",
                                                     "turned_away", "kernel_lost", "queue_dropped"};

enum CrowdKey { crowd_randomised, estimate };
const std::array<std::string_view, 2> crowd_keys = {"randomised", "estimate"};

bool parse_station(element item, AddressForm form, ScanStation& s, std::string& error) {
    if (item.type() != element_type::OBJECT) {
        error = "station is not an object";
        return false;
    }
    Fields<11> f{station_keys};
    if (!f.collect(item, error)) {
        return false;
    }
    if (!(form == AddressForm::plain ? f.get_string(address, s.address, plain_address_text)
                                     : f.get_string(address, s.address, hashed_address_text))) {
        error = "bad station address";
        return false;
    }
    int64_t r = 0, b = 0, q = 0;
    if (!f.get_int(rssi, -128, 127, r) || !f.get_int(band, 0, 255, b) ||
        !f.get_int(freq, 0, 1000000, q)) {
        error = "bad station rssi, band or freq";
        return false;
    }
    s.rssi = static_cast<int>(r);
    s.band = static_cast<int>(b);
    s.freq = static_cast<int>(q);
    if (!f.get_string(second_mac, s.second_mac, plain_address_text)) {
        error = "bad station second_mac";
        return false;
    }
    if (!f.get_int(count, 0, INT64_MAX, s.count) ||
        !f.get_int(first_seen, INT64_MIN, INT64_MAX, s.first_seen) ||
        !f.get_int(last_seen, INT64_MIN, INT64_MAX, s.last_seen) ||
        !f.get_int(first_age, 0, max_scan_age, s.first_age) ||
        !f.get_int(last_age, 0, max_scan_age, s.last_age)) {
        error = "bad station count, times or ages";
        return false;
    }
    bool given = false;
    if (f.has(randomised)) {
        if (!f.is(randomised, element_type::BOOL)) {
            error = "bad station randomised";
            return false;
        }
        given = f.value[randomised].get_bool().value_unsafe();
    }
    if (!station_randomised(form, s.address, f.has(randomised) ? &given : nullptr, s.randomised)) {
        error = "bad station randomised";
        return false;
    }
    return true;
}

bool parse_root(element root, ScanPart& out, std::string& error) {
    if (root.type() != element_type::OBJECT) {
        error = "not a JSON object";
        return false;
    }
    Fields<11> f{root_keys};
    if (!f.collect(root, error)) {
        return false;
    }
    if (!f.get_string(ap, out.ap) || !valid_ap_id(out.ap)) {
        error = "bad ap";
        return false;
    }
    int64_t sq = 0, pt = 0, pts = 0;
    if (!f.get_int(seq, 1, INT64_MAX, sq) || !f.get_int(time, INT64_MIN, INT64_MAX, out.time) ||
        !f.get_int(interval, 1, 86400, out.interval) || !f.get_int(parts, 1, max_scan_parts, pts) ||
        !f.get_int(part, 1, pts, pt)) {
        error = "bad seq, time, interval, part or parts";
        return false;
    }
    out.seq = static_cast<uint64_t>(sq);
    out.part = static_cast<int>(pt);
    out.parts = static_cast<int>(pts);
    std::string form;
    if (!f.get_string(address_form, form) || (form != "plain" && form != "hashed")) {
        error = "bad address_form";
        return false;
    }
    out.form = form == "plain" ? AddressForm::plain : AddressForm::hashed;

    ScanTotals& t = out.totals;
    Fields<6> tf{totals_keys};
    if (!f.is(totals, element_type::OBJECT) || !tf.collect(f.value[totals], error)) {
        error = error.empty() ? "bad totals" : error;
        return false;
    }
    if (!tf.get_int(table, 0, INT64_MAX, t.table) ||
        !tf.get_int(reported, 0, INT64_MAX, t.reported) ||
        !tf.get_int(dropped, 0, INT64_MAX, t.dropped) ||
        !tf.get_int(turned_away, 0, INT64_MAX, t.turned_away) ||
        !tf.get_int(kernel_lost, 0, INT64_MAX, t.kernel_lost) ||
        !tf.get_int(queue_dropped, 0, INT64_MAX, t.queue_dropped)) {
        error = "bad totals";
        return false;
    }
    out.has_crowd = f.has(crowd);
    if (out.has_crowd) {
        Fields<2> cf{crowd_keys};
        if (!f.is(crowd, element_type::OBJECT) || !cf.collect(f.value[crowd], error) ||
            !cf.get_int(crowd_randomised, 0, INT64_MAX, out.crowd_randomised) ||
            !cf.get_int(estimate, 0, INT64_MAX, out.crowd_estimate)) {
            error = error.empty() ? "bad crowd" : error;
            return false;
        }
    }
    out.has_people = f.has(people);
    if (out.has_people) {
        element_type type = f.value[people].type();
        if (type == element_type::DOUBLE) {
            out.people = f.value[people].get_double().value_unsafe();
        } else if (type == element_type::INT64) {
            out.people = static_cast<double>(f.value[people].get_int64().value_unsafe());
        } else if (type == element_type::UINT64) {
            out.people = static_cast<double>(f.value[people].get_uint64().value_unsafe());
        } else {
            out.people = -1;
        }
        if (!(out.people >= 0 && out.people <= 1e9)) {
            error = "bad people";
            return false;
        }
    }

    if (!f.is(stations, element_type::ARRAY)) {
        error = "no stations array";
        return false;
    }
    simdjson::dom::array list = f.value[stations].get_array().value_unsafe();
    size_t n = list.size();
    if (n > max_part_stations) {
        error = "too many stations in one part";
        return false;
    }
    out.stations.resize(n);  // the stations already there keep their strings' room
    size_t i = 0;
    for (element item : list) {
        if (!parse_station(item, out.form, out.stations[i++], error)) {
            return false;
        }
    }
    return true;
}

// What the JSON parser's refusal says, in the reader's words: the kinds of
// text a lenient reader would take are named, so that they can be told apart.
const char* refusal(simdjson::error_code code) {
    switch (code) {
        case simdjson::NUMBER_ERROR:
        case simdjson::NUMBER_OUT_OF_RANGE:
            return "not JSON: a number that is malformed, beyond 64 bits or beyond a double";
        case simdjson::STRING_ERROR:
            return "not JSON: a bad escape in a string";
        case simdjson::UNESCAPED_CHARS:
            return "not JSON: a control character in a string";
        case simdjson::UTF8_ERROR:
            return "not JSON: not UTF-8";
        case simdjson::DEPTH_ERROR:
            return "not JSON: nested too deep";
        default:
            return "not JSON";
    }
}

static_assert(scan_payload_padding >= simdjson::SIMDJSON_PADDING, "the parser's padding");

// One parser per thread, kept from one payload to the next: its room is
// taken once, at the largest payload.
struct Reader {
    simdjson::dom::parser parser;
    bool ready = parser.allocate(max_scan_payload, max_scan_depth) == simdjson::SUCCESS;
};

}  // namespace

bool plain_address(const std::string& s) {
    return plain_address_text(s);
}

bool hashed_address(const std::string& s) {
    return hashed_address_text(s);
}

bool station_randomised(AddressForm form, const std::string& address, const bool* given,
                        bool& out) {
    const bool bit = form == AddressForm::plain && (hex_value(address[1]) & 0x2) != 0;
    if (given != nullptr && form == AddressForm::plain && *given != bit) {
        return false;
    }
    out = given != nullptr ? *given : form == AddressForm::hashed || bit;
    return true;
}

bool valid_ap_id(const std::string& id) {
    return client_id_valid(id.data(), id.size());
}

bool parse_padded_scan_part(const char* payload, size_t size, ScanPart& out, std::string& error) {
    // A NUL byte is refused by the parser, as any control character in a
    // string or byte outside one that is not JSON.
    if (size > max_scan_payload) {
        error = "payload too large";
        return false;
    }
    // Everything read afresh but the stations, overwritten field by field.
    std::vector<ScanStation> stations = std::move(out.stations);
    out = ScanPart();
    out.stations = std::move(stations);
    thread_local Reader reader;
    if (!reader.ready) {
        error = "out of memory";
        return false;
    }
    element root;
    simdjson::error_code code = reader.parser.parse(payload, size, false).get(root);
    if (code != simdjson::SUCCESS) {
        error = refusal(code);
        return false;
    }
    return parse_root(root, out, error);
}

bool parse_scan_part(const char* payload, size_t size, ScanPart& out, std::string& error) {
    // The parser reads a little past the end of its text: it reads a copy
    // with that room after it (zeroed, so nothing of an earlier payload
    // shows there). A payload too large for the copy is refused unread.
    thread_local std::unique_ptr<char[]> copy{new char[max_scan_payload + scan_payload_padding]};
    if (size <= max_scan_payload) {
        memcpy(copy.get(), payload, size);
        memset(copy.get() + size, 0, scan_payload_padding);
        payload = copy.get();
    }
    return parse_padded_scan_part(payload, size, out, error);
}

}  // namespace fleet
