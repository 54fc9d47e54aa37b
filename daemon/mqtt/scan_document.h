// The document a scan publishes to the broker: the access point, the scan's
// time and interval, every station the scan reported and the scan's totals,
// as compact JSON, split into numbered parts that each stay under a size
// bound (brokers refuse large payloads).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class AddressHashCache;

// One station as the scan reported it.
struct StationRow {
    uint8_t mac[6];
    int8_t rssi;   // signal of its latest probe request
    uint8_t band;  // of its first record, like freq and second_mac
    uint16_t freq;
    uint8_t second_mac[6];
    uint32_t count;             // probe requests since its last report
    int64_t first_ms, last_ms;  // first and latest hearing, monotonic milliseconds
};

struct DocumentTotals {
    uint32_t table = 0;          // entries after the scan
    uint32_t dropped = 0;        // entries the scan dropped
    uint32_t turned_away = 0;    // new addresses the full table turned away
    uint32_t kernel_lost = 0;    // probe messages lost in the kernel
    uint64_t queue_dropped = 0;  // documents the publisher's full queue dropped
    bool has_crowd = false;
    uint32_t randomised = 0, estimate = 0;
    double people = 0;  // the estimate in people ([crowd])
};

struct ScanDocument {
    std::string ap;
    uint64_t seq = 0;
    int64_t time = 0;     // scan time, unix seconds on the wall clock
    int64_t scan_ms = 0;  // the same moment on the monotonic clock of the rows
    uint32_t interval = 0;
    bool hashed = false;
    const std::string* secret = nullptr;  // when hashed
    // When hashed: the hashes kept from earlier scans under `secret`, or
    // nullptr to hash every address anew.
    AddressHashCache* hashes = nullptr;
    std::vector<StationRow> rows;
    DocumentTotals totals;
};

constexpr size_t scan_part_limit = size_t{64} * 1024;

// A station's age at the scan: whole seconds from `heard_ms` to `scan_ms` on
// the monotonic clock, never negative. Its first_seen and last_seen are the
// scan's time less these ages, so a step of the wall clock between the
// hearing and the scan moves neither the ages nor their difference.
int64_t age_at_scan(int64_t scan_ms, int64_t heard_ms);

// The document's parts, in order; at least one, each at most `limit` bytes.
std::vector<std::string> render_scan_document(const ScanDocument& doc,
                                              size_t limit = scan_part_limit);
// The same, a one-part document written into `room`, whose text is replaced
// and whose memory is reused when it is about the document's size.
std::vector<std::string> render_scan_document_into(const ScanDocument& doc, std::string room,
                                                   size_t limit = scan_part_limit);
