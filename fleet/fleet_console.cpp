#include "fleet_console.h"

#include <algorithm>
#include <cstdarg>
#include <ctime>
#include <vector>

#include "fleet_view.h"

namespace fleet {

namespace {

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
    char buffer[512];
    va_list args;
    va_start(args, pattern);
    vsnprintf(buffer, sizeof buffer, pattern, args);
    va_end(args);
    return buffer;
}

// The crowd column: people/devices when the scan gave people, else devices.
std::string crowd_cell(const ApView& ap) {
    if (!ap.has_crowd) {
        return "-";
    }
    if (!ap.has_people) {
        return std::to_string(ap.crowd);
    }
    return format("%.1f/%lld", ap.people, static_cast<long long>(ap.crowd));
}

std::string age(int64_t now, int64_t then) {
    int64_t s = std::max<int64_t>(now - then, 0);
    if (s < 120) {
        return format("%llds ago", static_cast<long long>(s));
    }
    if (s < 7200) {
        return format("%lldm ago", static_cast<long long>(s / 60));
    }
    return format("%lldh ago", static_cast<long long>(s / 3600));
}

// An access point whose clock is off is flagged at the end of its row; a trusted one is not.
std::string clock_note(const ApClock& clock) {
    if (!clock.known() || clock.trusted()) {
        return std::string();
    }
    // Times within 2^53 (the document's bound) keep the offset far from INT64_MIN.
    int64_t offset = clock.offset();
    return format("  clock off: %lld s %s, placed by arrival",
                  static_cast<long long>(offset < 0 ? -offset : offset),
                  offset < 0 ? "behind" : "ahead");
}

}  // namespace

std::string FleetConsole::render(const FleetView& view, const ConsoleStatus& status,
                                 int64_t now) const {
    std::string out;
    char clock[32];
    time_t t = static_cast<time_t>(now);
    struct tm utc;
    gmtime_r(&t, &utc);
    strftime(clock, sizeof clock, "%Y-%m-%d %H:%M:%S UTC", &utc);
    const auto& aps = view.access_points();
    const auto& stations = view.stations();
    size_t online = 0;
    for (const auto& [id, ap] : aps) {
        online += ap.online ? 1 : 0;
    }
    const ViewCounters& c = view.counters();
    out += format("vorlask-fleet  %s  broker %s %s\n", clock, status.broker.c_str(),
                  status.connected ? "connected" : "not connected");
    out += format(
        "access points %zu (%zu online)  stations %zu  scans %llu  lost documents %llu  "
        "malformed %llu\n",
        aps.size(), online, stations.size(), static_cast<unsigned long long>(c.scans),
        static_cast<unsigned long long>(view.lost_documents()),
        static_cast<unsigned long long>(c.malformed));

    out += format("%-24s %-8s %-10s %10s %8s %6s %6s\n", "ACCESS POINT", "STATE", "LAST SCAN",
                  "SEQ", "STATIONS", "CROWD", "LOST");
    uint32_t shown = 0;
    for (const auto& [id, ap] : aps) {
        if (shown++ == rows_) {
            out += format("  ... and %zu more access points\n", aps.size() - rows_);
            break;
        }
        out += format("%-24.24s %-8s %-10s %10s %8zu %6s %6llu", id.c_str(),
                      ap.online ? "online" : "offline",
                      ap.has_scan ? age(now, ap.last_scan).c_str() : "-",
                      ap.has_scan ? std::to_string(ap.seq).c_str() : "-", ap.stations,
                      crowd_cell(ap).c_str(), static_cast<unsigned long long>(ap.lost_documents));
        out += clock_note(ap.clock);
        out += '\n';
    }

    // The most recently seen stations first.
    std::vector<const std::pair<const std::string, StationView>*> order;
    order.reserve(stations.size());
    for (const auto& entry : stations) {
        order.push_back(&entry);
    }
    size_t n = std::min<size_t>(rows_, order.size());
    std::partial_sort(order.begin(), order.begin() + static_cast<ptrdiff_t>(n), order.end(),
                      [](const auto* a, const auto* b) {
                          if (a->second.last_seen != b->second.last_seen) {
                              return a->second.last_seen > b->second.last_seen;
                          }
                          return a->first < b->first;
                      });
    out += format("%-17s %-24s %5s %-10s %s\n", "STATION", "STRONGEST", "RSSI", "LAST SEEN",
                  "HEARD BY (RSSI)");
    for (size_t i = 0; i < n; ++i) {
        const std::string& address = order[i]->first;
        const StationView& s = order[i]->second;
        int rssi = -128;
        std::string heard;
        for (const HeardBy& e : s.heard_by) {
            if (e.ap == s.strongest) {
                rssi = e.rssi;
            }
            if (!heard.empty()) {
                heard += ", ";
            }
            heard += format("%.24s %d", e.ap.c_str(), e.rssi);
        }
        out += format("%-17s %-24.24s %5d %-10s ", address.c_str(), s.strongest.c_str(), rssi,
                      age(now, s.last_seen).c_str());
        out += heard;
        out += '\n';
    }
    if (order.size() > n) {
        out += format("  ... and %zu more stations\n", order.size() - n);
    }
    return out;
}

void FleetConsole::print(const FleetView& view, const ConsoleStatus& status, int64_t now) {
    std::string text = render(view, status, now);
    // On a terminal: home, clear, table; elsewhere one table after another.
    fputs(terminal_ ? "\033[H\033[2J" : "\n", out_);
    fputs(text.c_str(), out_);
    fflush(out_);
}

}  // namespace fleet
