#include "mqtt/scan_document.h"

#include <json-c/json.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>

#include "mqtt/address_hash.h"

namespace {

// Room left in every part for the digits of its part numbers.
constexpr size_t number_room = 24;
// An entry's longest: its literal text, two addresses or a hash and an
// address, eight numbers of at most 20 characters each, and the 16 bytes a
// short text copies whole.
constexpr size_t entry_room = 400;

const char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

size_t decimal_length(uint64_t v) {
    for (size_t n = 1;; n += 4, v /= 10000) {
        if (v < 10) {
            return n;
        }
        if (v < 100) {
            return n + 1;
        }
        if (v < 1000) {
            return n + 2;
        }
        if (v < 10000) {
            return n + 3;
        }
    }
}

// Writes text where the caller has made room for it. The members of the
// document are numbers, literals and hexadecimal texts made here (the ap,
// the one string that may need escaping, is escaped by json-c), so the
// document is written directly, in the bytes json-c wrote it in: building
// it as json-c objects cost about ten allocations and a hash table per
// station.
class TextWriter {
  public:
    explicit TextWriter(char* at) : p_(at) {}
    template <size_t N>
    void text(const char (&literal)[N]) {
        memcpy(p_, literal, N - 1);
        p_ += N - 1;
    }
    void text(std::string_view value) {
        memcpy(p_, value.data(), value.size());
        p_ += value.size();
    }
    // A text of at most N characters, with N readable at `value`: copied
    // N at a time, which the compiler does in a move or two (the room
    // after the text is written over next).
    template <size_t N>
    void short_text(const char* value, size_t length) {
        memcpy(p_, value, N);
        p_ += length;
    }
    // Decimal, as json-c and std::to_chars write it; two digits a step.
    void number(int64_t value) {
        uint64_t v = static_cast<uint64_t>(value);
        if (value < 0) {
            *p_++ = '-';
            v = 0 - v;
        }
        const size_t length = decimal_length(v);
        char* q = p_ + length;
        while (v >= 100) {
            q -= 2;
            memcpy(q, digit_pairs + size_t{2} * (v % 100), 2);
            v /= 100;
        }
        if (v >= 10) {
            memcpy(q - 2, digit_pairs + v * 2, 2);
        } else {
            q[-1] = static_cast<char>('0' + v);
        }
        p_ += length;
    }
    // `v`, below 10,000, zero-padded to four digits.
    void four_digits(uint32_t v) {
        memcpy(p_, digit_pairs + size_t{2} * (v / 100), 2);
        memcpy(p_ + 2, digit_pairs + size_t{2} * (v % 100), 2);
        p_ += 4;
    }
    void address(const uint8_t* mac) {
        write_plain_address(mac, p_);
        p_ += 17;
    }
    char* end() const { return p_; }

  private:
    char* p_;
};

// The scan's time less a station's age, as TextWriter::number writes it.
// The time is split once per document into its last four digits and the
// ones before, and the ones before less one are kept too: an age up to the
// last four digits and 10,000 s more (most of a scan's) changes only the
// last four.
class SeenWriter {
  public:
    explicit SeenWriter(int64_t time) : time_(time) {
        if (time >= 20000) {
            low_ = static_cast<uint32_t>(time % 10000);
            for (int borrow = 0; borrow < 2; ++borrow) {
                TextWriter w(high_[borrow]);
                w.number(time / 10000 - borrow);
                high_length_[borrow] = static_cast<size_t>(w.end() - high_[borrow]);
            }
        }
    }
    void write(TextWriter& w, int64_t age) const {
        const int borrow = age > low_ ? 1 : 0;
        if (high_length_[0] == 0 || age < 0 || age > low_ + 10000) {
            w.number(time_ - age);
            return;
        }
        w.short_text<sizeof high_[0]>(high_[borrow], high_length_[borrow]);
        w.four_digits(static_cast<uint32_t>(low_ + 10000 * borrow - age));
    }

  private:
    int64_t time_;
    uint32_t low_ = 0;
    char high_[2][16] = {};  // at most 15 digits: the time over 10,000
    size_t high_length_[2] = {0, 0};
};

// A station's entry and the comma after it, at `at`; returns its end.
char* write_station(char* at, const StationRow& row, const ScanDocument& doc,
                    const SeenWriter& seen) {
    TextWriter w(at);
    w.text("{\"address\":\"");
    if (!doc.hashed) {
        w.address(row.mac);
    } else if (doc.hashes != nullptr) {
        const std::string_view hash = doc.hashes->lookup(row.mac);
        if (hash.size() == 16) {
            w.short_text<16>(hash.data(), 16);
        } else {
            w.text(hash);  // empty: the library failed
        }
    } else {
        w.text(hashed_address(row.mac, *doc.secret));
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
    seen.write(w, first_age);
    w.text(",\"last_seen\":");
    seen.write(w, last_age);
    w.text(",\"first_age\":");
    w.number(first_age);
    w.text(",\"last_age\":");
    w.number(last_age);
    // The locally administered bit: set in the addresses phones make up.
    // Said here because a hashed address no longer shows it.
    w.text((row.mac[0] & 0x02) != 0 ? ",\"randomised\":true}," : ",\"randomised\":false},");
    return w.end();
}

// The ap as a JSON string, quoted and escaped as json-c writes it.
std::string quote(const std::string& text) {
    json_object* string = json_object_new_string(text.c_str());
    const char* json = string == nullptr
                           ? nullptr
                           : json_object_to_json_string_ext(
                                 string, JSON_C_TO_STRING_PLAIN | JSON_C_TO_STRING_NOSLASHESCAPE);
    if (json == nullptr) {
        json_object_put(string);
        throw std::bad_alloc();
    }
    std::string quoted_text = json;
    json_object_put(string);
    return quoted_text;
}

// The same, kept from the last document (the ap stays the same).
const std::string& quoted(const std::string& text) {
    thread_local std::string last_text;
    thread_local std::string last_quoted;
    if (last_quoted.empty() || text != last_text) {
        last_quoted = quote(text);
        last_text = text;
    }
    return last_quoted;
}

// A part's envelope: `head` up to its station array's opening bracket,
// `tail` from the closing bracket on.
struct Envelope {
    std::string head, tail;
};

Envelope envelope(const ScanDocument& doc, const std::string& ap, size_t part, size_t parts) {
    // The ap goes in as it is, of any length; the numbers and literals in
    // a buffer of room for them.
    char buffer[512];
    TextWriter w(buffer);
    w.text(",\"seq\":");
    w.number(static_cast<int64_t>(doc.seq));
    w.text(",\"time\":");
    w.number(doc.time);
    w.text(",\"interval\":");
    w.number(doc.interval);
    w.text(",\"part\":");
    w.number(static_cast<int64_t>(part));
    w.text(",\"parts\":");
    w.number(static_cast<int64_t>(parts));
    w.text(doc.hashed ? ",\"address_form\":\"hashed\",\"stations\":["
                      : ",\"address_form\":\"plain\",\"stations\":[");
    Envelope e;
    e.head.reserve(6 + ap.size() + static_cast<size_t>(w.end() - buffer));
    e.head.append("{\"ap\":").append(ap).append(buffer, w.end());
    w = TextWriter(buffer);
    w.text("],\"totals\":{\"table\":");
    w.number(doc.totals.table);
    w.text(",\"reported\":");
    w.number(static_cast<int64_t>(doc.rows.size()));
    w.text(",\"dropped\":");
    w.number(doc.totals.dropped);
    w.text(",\"turned_away\":");
    w.number(doc.totals.turned_away);
    w.text(",\"kernel_lost\":");
    w.number(doc.totals.kernel_lost);
    w.text(",\"queue_dropped\":");
    w.number(static_cast<int64_t>(doc.totals.queue_dropped));
    if (doc.totals.has_crowd) {
        w.text("},\"crowd\":{\"randomised\":");
        w.number(doc.totals.randomised);
        w.text(",\"estimate\":");
        w.number(doc.totals.estimate);
        // Beside the devices, the people they make, to one decimal.
        char people[32];
        // A longer figure is cut to the buffer.
        if (snprintf(people, sizeof people, "%.1f", doc.totals.people) < 0) {
            people[0] = '\0';
        }
        w.text("},\"people\":");
        w.text(std::string_view(people));
    } else {
        w.text("}");
    }
    w.text("}");
    e.tail.assign(buffer, w.end());
    return e;
}

// A station entry's usual length, for the room asked for in advance.
constexpr size_t usual_entry = 208;

}  // namespace

int64_t age_at_scan(int64_t scan_ms, int64_t heard_ms) {
    return scan_ms > heard_ms ? (scan_ms - heard_ms) / 1000 : 0;
}

std::vector<std::string> render_scan_document(const ScanDocument& doc, size_t limit) {
    return render_scan_document_into(doc, std::string(), limit);
}

std::vector<std::string> render_scan_document_into(const ScanDocument& doc, std::string room,
                                                   size_t limit) {
    const std::string& ap = quoted(doc.ap);
    // The envelope of a one-part document: measured, and used as it is when
    // the stations fit in one part (the usual case).
    const Envelope single = envelope(doc, ap, 1, 1);
    const size_t base = single.head.size() + single.tail.size() + number_room;
    // The one-part document is written straight into `room`: its envelope's
    // head, every entry followed by a comma, and (over the last comma) its
    // tail. Entry i is [starts[i], starts[i + 1] - 1). Room much larger than
    // this document needs is not kept for it.
    const size_t expected = base + doc.rows.size() * usual_entry + entry_room;
    if (room.capacity() > 2 * expected + 4096) {
        std::string().swap(room);
    }
    if (room.size() < expected) {
        room.resize(expected);
    }
    memcpy(room.data(), single.head.data(), single.head.size());
    size_t used = single.head.size();
    const SeenWriter seen(doc.time);
    std::vector<size_t> starts;
    starts.reserve(doc.rows.size() + 1);
    // The stations cut into runs whose parts stay within the limit.
    std::vector<size_t> run_ends;
    size_t size = base;
    for (size_t i = 0; i < doc.rows.size(); ++i) {
        if (room.size() < used + entry_room) {
            room.resize(used + entry_room + (doc.rows.size() - i) * usual_entry);
        }
        starts.push_back(used);
        used =
            static_cast<size_t>(write_station(&room[used], doc.rows[i], doc, seen) - room.data());
        const size_t length = used - starts.back();
        if (size + length > limit && size != base) {
            run_ends.push_back(starts.size() - 1);
            size = base;
        }
        size += length;
    }
    starts.push_back(used);
    run_ends.push_back(doc.rows.size());

    std::vector<std::string> parts;
    if (run_ends.size() == 1) {
        // Over the last entry's comma.
        used -= doc.rows.empty() ? 0 : 1;
        room.resize(used);
        room.append(single.tail);
        parts.push_back(std::move(room));
        return parts;
    }
    parts.reserve(run_ends.size());
    size_t first = 0;
    for (size_t part = 0; part < run_ends.size(); ++part) {
        const Envelope e = envelope(doc, ap, part + 1, run_ends.size());
        const size_t last = run_ends[part];
        // The run's entries and the commas between them.
        const size_t from = starts[first];
        const size_t length = last == first ? 0 : starts[last] - 1 - from;
        std::string text;
        text.reserve(e.head.size() + length + e.tail.size());
        text.append(e.head).append(room, from, length).append(e.tail);
        first = last;
        parts.push_back(std::move(text));
    }
    return parts;
}
