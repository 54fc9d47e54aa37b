// libFuzzer target for what vorlask-fleet takes from the broker: a list of
// messages, each one byte choosing its topic (bit 0: status rather than
// scan; bits 1-2: access point ap0..ap3 of the topic), two length bytes
// (little-endian) and that many bytes of payload (fewer at the end of the
// input), through the view as the intake hands them over, one second apart,
// with a forget pass and the view document after each. Whatever the input,
// the view must stay within its bounds and its document must read back as one.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fleet_document.h"
#include "fleet_view.h"

namespace {

[[noreturn]] void fail(const char* what) {
    fprintf(stderr, "fleet_document_fuzz: %s\n", what);
    abort();
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
