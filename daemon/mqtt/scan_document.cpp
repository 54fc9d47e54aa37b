#include "mqtt/scan_document.h"

#include <json-c/json.h>

#include <charconv>
#include <cstdio>
#include <cstring>

#include "mqtt/address_hash.h"

namespace {

constexpr int render_flags = JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE;
// Room left in every part for the digits of its part numbers.
constexpr size_t number_room = 24;

void add_int(json_object* object, const char* key, int64_t value) {
    json_object_object_add(object, key, json_object_new_int64(value));
}

// A station's entry. Every member is a number or a hexadecimal text made
// here, none needs escaping, so the entry is written directly: building it
// as json-c objects costs about ten allocations and a hash table per station,
// which held a 100-station document to about 1 ms.
//
// Builds one entry in a fixed buffer (an entry is under 300 bytes) and
// appends it at once: appending piece by piece to the string cost most of
// the rendering time.
class EntryWriter {
  public:
    template <size_t N>
    void text(const char (&literal)[N]) {
        memcpy(p_, literal, N - 1);
        p_ += N - 1;
    }
    void text(const std::string& value) {
        memcpy(p_, value.data(), value.size());
        p_ += value.size();
    }
    void number(int64_t value) { p_ = std::to_chars(p_, end_, value).ptr; }
    void address(const uint8_t* mac) {
        write_plain_address(mac, p_);
        p_ += 17;
    }
    void append_to(std::string& out) const {
        out.append(buffer_, static_cast<size_t>(p_ - buffer_));
    }

  private:
    char buffer_[320] = {};
    char* p_ = buffer_;
    char* const end_ = buffer_ + sizeof buffer_;
};

void append_station(std::string& out, const StationRow& row, const ScanDocument& doc) {
    EntryWriter w;
    w.text("{\"address\":\"");
    if (doc.hashed) {
        w.text(hashed_address(row.mac, *doc.secret));
    } else {
        w.address(row.mac);
    }
    w.text("\",\"rssi\":");
    w.number(row.rssi);
    w.text(",\"band\":");
    w.number(row.band);
    w.text(",\"freq\":");
    w.number(row.freq);
    w.text(",\"second_mac\":\"");
    w.address(row.second_mac);
    w.text("\",\"count\":");
    w.number(row.count);
    const int64_t first_age = age_at_scan(doc.scan_ms, row.first_ms);
    const int64_t last_age = age_at_scan(doc.scan_ms, row.last_ms);
    w.text(",\"first_seen\":");
    w.number(doc.time - first_age);
    w.text(",\"last_seen\":");
    w.number(doc.time - last_age);
    w.text(",\"first_age\":");
    w.number(first_age);
    w.text(",\"last_age\":");
    w.number(last_age);
    // The locally administered bit: set in the addresses phones make up.
    // Said here because a hashed address no longer shows it.
    w.text((row.mac[0] & 0x02) != 0 ? ",\"randomised\":true}" : ",\"randomised\":false}");
    w.append_to(out);
}

json_object* totals_object(const ScanDocument& doc) {
    json_object* totals = json_object_new_object();
    add_int(totals, "table", doc.totals.table);
    add_int(totals, "reported", static_cast<int64_t>(doc.rows.size()));
    add_int(totals, "dropped", doc.totals.dropped);
    add_int(totals, "turned_away", doc.totals.turned_away);
    add_int(totals, "kernel_lost", doc.totals.kernel_lost);
    add_int(totals, "queue_dropped", static_cast<int64_t>(doc.totals.queue_dropped));
    return totals;
}

// The part's envelope with an empty station array; stations are added later.
// The part's envelope, rendered by json-c with an empty station array.
std::string envelope(const ScanDocument& doc, size_t part, size_t parts) {
    json_object* top = json_object_new_object();
    json_object_object_add(top, "ap", json_object_new_string(doc.ap.c_str()));
    add_int(top, "seq", static_cast<int64_t>(doc.seq));
    add_int(top, "time", doc.time);
    add_int(top, "interval", doc.interval);
    add_int(top, "part", static_cast<int64_t>(part));
    add_int(top, "parts", static_cast<int64_t>(parts));
    json_object_object_add(top, "address_form",
                           json_object_new_string(doc.hashed ? "hashed" : "plain"));
    json_object_object_add(top, "stations", json_object_new_array());
    json_object_object_add(top, "totals", totals_object(doc));
    if (doc.totals.has_crowd) {
        json_object* crowd = json_object_new_object();
        add_int(crowd, "randomised", doc.totals.randomised);
        add_int(crowd, "estimate", doc.totals.estimate);
        json_object_object_add(top, "crowd", crowd);
        // Beside the devices, the people they make, to one decimal.
        char people[32];
        snprintf(people, sizeof people, "%.1f", doc.totals.people);
        json_object_object_add(top, "people", json_object_new_double_s(doc.totals.people, people));
    }
    std::string text = json_object_to_json_string_ext(top, render_flags);
    json_object_put(top);
    return text;
}

// Where the station entries go: inside the first bare "stations":[] (a
// string value cannot hold it: its quotes would be escaped).
size_t stations_slot(const std::string& envelope_text) {
    return envelope_text.find("\"stations\":[]") + strlen("\"stations\":[");
}

}  // namespace

int64_t age_at_scan(int64_t scan_ms, int64_t heard_ms) {
    return scan_ms > heard_ms ? (scan_ms - heard_ms) / 1000 : 0;
}

std::vector<std::string> render_scan_document(const ScanDocument& doc, size_t limit) {
    // The stations cut into runs whose parts stay within the limit.
    // All entries in one text; entry i is [starts[i], starts[i + 1]).
    std::string entries;
    entries.reserve(doc.rows.size() * 220);
    std::vector<size_t> starts;
    starts.reserve(doc.rows.size() + 1);
    std::vector<size_t> run_ends;
    // The envelope of a one-part document: measured, and used as it is when
    // the stations fit in one part (the usual case).
    const std::string single = envelope(doc, 1, 1);
    const size_t base = single.size() + number_room;
    size_t size = base;
    for (const StationRow& row : doc.rows) {
        starts.push_back(entries.size());
        append_station(entries, row, doc);
        const size_t length = entries.size() - starts.back() + 1;
        if (size + length > limit && size != base) {
            run_ends.push_back(starts.size() - 1);
            size = base;
        }
        size += length;
    }
    starts.push_back(entries.size());
    run_ends.push_back(doc.rows.size());

    std::vector<std::string> parts;
    parts.reserve(run_ends.size());
    size_t first = 0;
    for (size_t part = 0; part < run_ends.size(); ++part) {
        const std::string head =
            run_ends.size() == 1 ? single : envelope(doc, part + 1, run_ends.size());
        const size_t slot = stations_slot(head);
        std::string text;
        text.reserve(head.size() + starts[run_ends[part]] - starts[first] + run_ends[part]);
        text.append(head, 0, slot);
        for (size_t i = first; i < run_ends[part]; ++i) {
            if (i != first) {
                text += ',';
            }
            text.append(entries, starts[i], starts[i + 1] - starts[i]);
        }
        text.append(head, slot, head.size() - slot);
        first = run_ends[part];
        parts.push_back(std::move(text));
    }
    return parts;
}
