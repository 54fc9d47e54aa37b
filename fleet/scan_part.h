// One part of an access point's scan document, as read from the broker: the
// JSON text checked field by field (types, ranges, sizes) before anything in
// it is used. A payload that fails any check is refused as a whole.
// The text must be strict JSON (RFC 8259, UTF-8): no comments, single quotes,
// trailing commas, leading zeros, NaN, control characters in strings, unpaired
// surrogate escapes or numbers beyond 64 bits, anywhere in it. A key the reader
// reads may appear once in its object (a second one refuses the document);
// other keys are skipped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fleet {

enum class AddressForm { plain, hashed };

struct ScanStation {
    std::string address;  // plain: "00:1a:2b:3c:4d:5e"; hashed: 16 lower-case hex digits
    int rssi = -128;      // dBm of the latest probe request; -128: none
    int band = 0;
    int freq = 0;
    std::string second_mac;
    int64_t count = 0;
    int64_t first_seen = 0;  // router clock
    int64_t last_seen = 0;
    int64_t first_age = 0;  // seconds before the scan time
    int64_t last_age = 0;
    // Whether the address is one a device made up (the locally administered
    // bit). From the document's "randomised" when present, else from a
    // plain address itself; a hashed address without it counts as made up.
    bool randomised = true;
};

struct ScanTotals {
    int64_t table = 0;
    int64_t reported = 0;
    int64_t dropped = 0;
    int64_t turned_away = 0;
    int64_t kernel_lost = 0;
    int64_t queue_dropped = 0;
};

struct ScanPart {
    std::string ap;
    uint64_t seq = 0;
    int64_t time = 0;  // router clock
    int64_t interval = 0;
    int part = 1;
    int parts = 1;
    AddressForm form = AddressForm::plain;
    std::vector<ScanStation> stations;
    ScanTotals totals;
    bool has_crowd = false;
    int64_t crowd_randomised = 0;
    int64_t crowd_estimate = 0;
    bool has_people = false;  // "people": the estimate in people, beside "crowd"
    double people = 0;
};

// Bounds on what one payload may hold.
constexpr size_t max_scan_payload = 256 * 1024;  // parts are cut at 64 KiB
constexpr int max_scan_parts = 1024;
constexpr size_t max_part_stations = 4096;
// Root object, stations array, station object; totals and crowd are shallower;
// a skipped value may go one level deeper.
constexpr size_t max_scan_depth = 4;
constexpr int64_t max_scan_age = 1000000000;  // first_age and last_age, seconds
constexpr size_t max_scan_field = 64;         // bytes of a string field
// Integers beyond what a JSON number holds exactly are refused.
constexpr int64_t max_scan_integer = (int64_t{1} << 53) - 1;

// "00:1a:2b:3c:4d:5e": six lower-case hex pairs joined by colons.
bool plain_address(const std::string& s);
// 16 lower-case hex digits.
bool hashed_address(const std::string& s);
// A station's `randomised` from the document's value (`given`, nullptr when
// absent) and its address: false when the value contradicts a plain address's
// locally administered bit; absent, it is that bit, or true for a hashed address.
bool station_randomised(AddressForm form, const std::string& address, const bool* given, bool& out);

// An access point id (its MQTT client id) as it may appear in a topic level
// and in the view: the client-id rule every program shares (client_id.h:
// 1..64 bytes of well-formed UTF-8, no control character, none of '/', '+', '#').
bool valid_ap_id(const std::string& id);

// Reads one scan document part. Returns false with a short reason in `error`
// (for the verbose log) when the payload is not a well-formed part.
bool parse_scan_part(const char* payload, size_t size, ScanPart& out, std::string& error);

// Readable bytes a payload given to parse_padded_scan_part has after its
// end, zeroed by the caller: the JSON parser reads a little past the text.
constexpr size_t scan_payload_padding = 64;
// The same reading of a payload followed by scan_payload_padding zero bytes,
// read where it is instead of being copied into room of that kind first.
bool parse_padded_scan_part(const char* payload, size_t size, ScanPart& out, std::string& error);

}  // namespace fleet
