// The collector's side of its web page: copies the view for the page's threads once a second
// when it changed, and hands every merged scan to the history. Runs on the loop thread; neither
// step waits for the disk or a browser.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "fleet_document.h"
#include "fleet_options.h"
#include "fleet_page.h"
#include "fleet_view.h"

namespace fleet {

// A merged scan as the history takes it, at its place on the fleet clock (when it was scanned,
// or when it arrived from an access point whose clock is off): a backlog delivered late goes
// into the minutes and hours it was heard in.
fleet_page::ScanSample sample_of(const Scan& scan, int64_t scan_time);

class FleetWeb {
  public:
    // Starts the page from the command line's --http, --db, --token-file and --retention.
    bool start(const FleetOptions& options, std::string& error);
    void stop() { page_.stop(); }
    uint16_t port() const { return page_.port(); }

    void on_scan(const Scan& scan, int64_t scan_time) { page_.on_scan(sample_of(scan, scan_time)); }
    // Once a second from the loop's tick.
    void tick(const FleetView& view, FleetTime now);

  private:
    fleet_page::FleetPage page_;
    uint64_t published_generation_ = UINT64_MAX;
    int64_t published_time_ = 0;  // monotonic
};

}  // namespace fleet
