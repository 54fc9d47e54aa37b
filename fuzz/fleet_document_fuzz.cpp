// libFuzzer target for what vorlask-fleet takes from the broker: a list of
// messages, each one byte choosing its topic (bit 0: status rather than
// scan; bits 1-2: access point ap0..ap3 of the topic), two length bytes
// (little-endian) and that many bytes of payload (fewer at the end of the
// input), through the view as the intake hands them over, one second apart,
// with a forget pass and the view document after each. Whatever the input,
// the view must stay within its bounds and its document must read back as one.
// Every scan payload is read again by json-c in strict mode with the same
// checks (scan_part_reference.h): both must take or refuse it alike, and read
// the same part from it, but for the differences that file names.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fleet_document.h"
#include "fleet_view.h"
#include "scan_part_reference.h"

namespace {

[[noreturn]] void fail(const char* what) {
    fprintf(stderr, "fleet_document_fuzz: %s\n", what);
    abort();
}

bool same(const fleet::ScanStation& a, const fleet::ScanStation& b) {
    return a.address == b.address && a.rssi == b.rssi && a.band == b.band && a.freq == b.freq &&
           a.second_mac == b.second_mac && a.count == b.count && a.first_seen == b.first_seen &&
           a.last_seen == b.last_seen && a.first_age == b.first_age && a.last_age == b.last_age &&
           a.randomised == b.randomised;
}

bool same(const fleet::ScanPart& a, const fleet::ScanPart& b) {
    const fleet::ScanTotals &t = a.totals, &u = b.totals;
    if (a.ap != b.ap || a.seq != b.seq || a.time != b.time || a.interval != b.interval ||
        a.part != b.part || a.parts != b.parts || a.form != b.form ||
        a.stations.size() != b.stations.size() || t.table != u.table || t.reported != u.reported ||
        t.dropped != u.dropped || t.turned_away != u.turned_away ||
        t.kernel_lost != u.kernel_lost || t.queue_dropped != u.queue_dropped ||
        a.has_crowd != b.has_crowd || a.crowd_randomised != b.crowd_randomised ||
        a.crowd_estimate != b.crowd_estimate || a.has_people != b.has_people ||
        a.people != b.people) {
        return false;
    }
    for (size_t i = 0; i < a.stations.size(); ++i) {
        if (!same(a.stations[i], b.stations[i])) {
            return false;
        }
    }
    return true;
}

// The collector's reader against json-c's strict one on the same payload.
void compare_readers(const char* payload, size_t size) {
    fleet::ScanPart ours, theirs;
    std::string our_error, their_error;
    bool taken = fleet::parse_scan_part(payload, size, ours, our_error);
    bool json_c_taken = fleet_fuzz::reference_parse(payload, size, theirs, their_error);
    if (taken && json_c_taken && !same(ours, theirs)) {
        fail("the two readers read one part differently");
    }
    // The intake's way: the payload read where it lies, padded by its copier.
    std::string padded(payload, size);
    padded.append(fleet::scan_payload_padding, '\0');
    fleet::ScanPart in_place;
    std::string in_place_error;
    if (fleet::parse_padded_scan_part(padded.data(), size, in_place, in_place_error) != taken ||
        (taken && !same(ours, in_place)) || in_place_error != our_error) {
        fail("the padded payload read differently from its copy");
    }
    if (taken && !json_c_taken) {
        fail(("json-c refused a payload the reader took: " + their_error).c_str());
    }
    if (!taken && json_c_taken &&
        fleet_fuzz::strict_json_difference(payload, size, our_error) == nullptr) {
        fail(("the reader refused a payload json-c took: " + our_error).c_str());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fleet::ViewLimits limits;
    limits.forget = 30;
    limits.max_stations = 64;
    limits.max_aps = 3;
    limits.max_scan_stations = 100;
    limits.max_gathered = 150;
    fleet::FleetView view(limits);
    uint64_t told = 0;
    view.add_scan_listener([&](const fleet::Scan& scan, int64_t) {
        if (scan.stations.size() > limits.max_scan_stations) {
            fail("a scan beyond its bound reached the listeners");
        }
        told++;
    });
    int64_t now = 1000;
    size_t at = 0;
    while (at + 3 <= size) {
        uint8_t kind = data[at];
        size_t length = data[at + 1] | static_cast<size_t>(data[at + 2]) << 8;
        at += 3;
        length = std::min(length, size - at);
        std::string ap = "ap" + std::to_string((kind >> 1) & 3);
        const char* payload = reinterpret_cast<const char*>(data + at);
        if (kind & 1) {
            view.take_status(ap, payload, length, now);
        } else {
            compare_readers(payload, length);
            view.take_scan_payload(ap, payload, length, now);
        }
        at += length;
        now += 1;
        view.forget(now);
        if (view.stations().size() > limits.max_stations ||
            view.access_points().size() > limits.max_aps || view.gathered() > limits.max_gathered) {
            fail("the view outgrew its bounds");
        }
        for (const auto& [id, ap_view] : view.access_points()) {
            if (ap_view.gathering.size() > limits.max_gathering ||
                ap_view.missing.size() > limits.max_missing) {
                fail("an access point's bookkeeping outgrew its bounds");
            }
        }
        fleet_page::ViewSnapshot back;
        std::string error;
        if (!fleet_page::parse_view(fleet::view_document(view, now), back, error)) {
            fail(("the view document does not read back: " + error).c_str());
        }
    }
    if (told > view.counters().scans + view.counters().late) {
        fail("more scans told than merged or found late");
    }
    return 0;
}
