// Scan documents of the daemon's form for the fleet's unit tests, and the
// view's intake of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fleet_view.h"

namespace fleet_test {

struct Heard {
    const char* address;
    int rssi;
    int last_age;
};

// Stamped 1765280000 by the access point unless `time` says otherwise.
inline std::string doc(const std::string& ap, uint64_t seq, const std::vector<Heard>& stations,
                       int part = 1, int parts = 1, int interval = 10, const char* form = "plain",
                       int64_t time = 1765280000) {
    std::string s = "{\"ap\":\"" + ap + "\",\"seq\":" + std::to_string(seq) +
                    ",\"time\":" + std::to_string(time) +
                    ",\"interval\":" + std::to_string(interval) +
                    ",\"part\":" + std::to_string(part) + ",\"parts\":" + std::to_string(parts) +
                    ",\"address_form\":\"" + form + "\",\"stations\":[";
    for (size_t i = 0; i < stations.size(); ++i) {
        s += std::string(i ? "," : "") + "{\"address\":\"" + stations[i].address +
             "\",\"rssi\":" + std::to_string(stations[i].rssi) +
             ",\"band\":0,\"freq\":2437,\"second_mac\":\"ff:ff:ff:ff:ff:ff\",\"count\":3,"
             "\"first_seen\":1765279990,\"last_seen\":1765279999,\"first_age\":10,"
             "\"last_age\":" +
             std::to_string(stations[i].last_age) + "}";
    }
    s += "],\"totals\":{\"table\":1,\"reported\":1,\"dropped\":0,\"turned_away\":0,"
         "\"kernel_lost\":0,\"queue_dropped\":0}}";
    return s;
}

inline bool take(fleet::FleetView& view, const std::string& ap, const std::string& text,
                 fleet::FleetTime now) {
    return view.take_scan_payload(ap, text.data(), text.size(), now);
}

constexpr const char* A = "02:00:00:00:00:0a";
constexpr const char* B = "02:00:00:00:00:0b";

}  // namespace fleet_test
