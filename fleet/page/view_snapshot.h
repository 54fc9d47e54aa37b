// One moment of the merged fleet view as the web page serves it: access points and stations in
// the fleet view document's terms. A snapshot is built once, never changed, and shared between
// the HTTP threads; rendering it to JSON happens on those threads, not on the intake's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace fleet_page {

class MakerLookup;

struct ApState {
    std::string id;
    bool online = false;
    std::optional<int64_t> last_scan;
    std::optional<int64_t> seq;  // none before its first complete scan
    int64_t stations = 0;
    std::optional<int64_t> crowd;
    std::optional<double> people;  // the crowd in people; "people" only when known
    int64_t lost_documents = 0;
    // Its clock less the collector's, measured over its recent scans; none before a first scan.
    std::optional<int64_t> clock_offset;
    bool clock_off = false;  // beyond the tolerance: its scans are placed at their arrival
    std::string site;        // the site its documents came under; "site" only when not empty
};

struct HeardBy {
    std::string ap;
    int rssi = 0;
    int64_t last_seen = 0;
};

struct StationState {
    std::string address;
    bool hashed = false;
    std::string strongest;
    int64_t last_seen = 0;
    std::vector<HeardBy> heard_by;
};

struct ViewSnapshot {
    int64_t time = 0;
    std::vector<ApState> access_points;  // sorted by id
    std::vector<StationState> stations;  // sorted by address
    // The collector's counters (parts, scans, malformed, ...), in their document order.
    std::vector<std::pair<std::string, int64_t>> counters;
};

// The fleet view document (compact JSON, no line break): the one renderer of it, behind /api/view
// and vorlask-fleet --once --json.
std::string render_view(const ViewSnapshot& view);
// The fleet view document read back; false and error when it does not follow the format.
bool parse_view(const std::string& json, ViewSnapshot& view, std::string& error);

// Access points and the station count: what the page's live feed carries.
// With `history`, the history's counters as one more object, "history".
std::string render_summary(const ViewSnapshot& view,
                           const std::vector<std::pair<std::string, int64_t>>& history = {});
// What changed from `before` to `after`, for the live feed: the access points new or changed,
// the ids gone and the station count (and, with `history`, the history's counters as in the
// summary); empty when more than max_changes access points did.
std::string render_changes(const ViewSnapshot& before, const ViewSnapshot& after,
                           size_t max_changes,
                           const std::vector<std::pair<std::string, int64_t>>& history = {});
// Stations whose address contains query (case-insensitive), offset/limit into that match, each
// with the maker of a globally administered address ("maker": null otherwise).
std::string render_station_page(const ViewSnapshot& view, const std::string& query, size_t offset,
                                size_t limit, const MakerLookup& makers);

}  // namespace fleet_page
