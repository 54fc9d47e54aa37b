// The collector's side of its web page: copies the view for the page's threads once a second
// when it changed, and hands every merged scan to the history. Runs on the loop thread; neither
// step waits for the disk or a browser.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fleet_document.h"
#include "fleet_options.h"
#include "fleet_page.h"
#include "fleet_view.h"
#include "visit_tracker.h"

namespace fleet {

// A merged scan as the history takes it, at its place on the fleet clock (when it was scanned,
// or when it arrived from an access point whose clock is off): a backlog delivered late goes
// into the minutes and hours it was heard in.
fleet_page::ScanSample sample_of(const Scan& scan, int64_t scan_time);

// The hearings of a merged scan that may make visits: its stations whose addresses are not
// randomised, each at the access point the view now finds strongest (and that one's site), with
// this scan's signal and when it was heard on both clocks.
std::vector<fleet_visits::Sighting> sightings_of(const FleetView& view, const Scan& scan);

class FleetWeb {
  public:
    // Starts the page from the command line's --http, --db, --token-file and --retention.
    bool start(const FleetOptions& options, std::string& error);
    void stop() { page_.stop(); }
    uint16_t port() const { return page_.port(); }

    void on_scan(const Scan& scan, int64_t scan_time) { page_.on_scan(sample_of(scan, scan_time)); }
    // With --visits: a merged scan's hearings for the visits (after the view took it in).
    void on_visit_scan(const FleetView& view, const Scan& scan, FleetTime now);
    // Once a second from the loop's tick: ends visits unheard for their timeout.
    void tick(const FleetView& view, FleetTime now);

  private:
    fleet_page::FleetPage page_;
    std::unique_ptr<fleet_visits::VisitTracker> visits_;  // --visits
    uint64_t published_generation_ = UINT64_MAX;
    int64_t published_time_ = 0;  // monotonic
};

}  // namespace fleet
