// How far an access point's clock is from the collector's, judged over its
// recent scan documents, and so where on the collector's clock a scan belongs.
//
// A document's lag (its arrival on the collector's clock less the `time` the
// access point stamped it with) is the clocks' difference plus however long
// the document took to arrive. Delivery normally takes well under a second,
// but a backlog after a broker outage arrives minutes late: one document
// cannot tell a clock that is behind from a late one. Over several it can: the
// offset is the least lag over the access point's recent documents, which a
// backlog only raises (its documents are late, the live ones are not) and a
// clock that is behind or ahead shifts as a whole.
//
// Within the tolerance (5 s: two clocks kept by NTP agree to well within a
// second, and whole seconds on both sides add one) the access point's clock
// is trusted, and a scan is placed at its own time, so a backlog lands when it
// was scanned; beyond it the clock is off (unset after boot, not yet stepped
// by NTP, or wrong) and scans are placed at their arrival, as if just made.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fleet_clock.h"

namespace fleet {

class ApClock {
  public:
    // Seconds the two clocks may differ by and still be trusted.
    static constexpr int64_t tolerance = 5;
    // Recent documents: the least lag of each 60 s of (monotonic) arrivals, for the last
    // twelve such minutes that brought a document (so a silence of any length
    // keeps what was measured before it).
    static constexpr int64_t bucket_seconds = 60;
    static constexpr size_t bucket_count = 12;

    // A document stamped `time` by the access point arrived at `arrival`: its
    // lag against the wall clock, its minute on the monotonic one (so a step
    // of the collector's wall clock neither ends nor stretches the window). A
    // time that goes back by more than the tolerance from the newest one seen
    // is a clock that was stepped back: what was measured before goes.
    void observe(int64_t time, FleetTime arrival);
    // The access point restarted: its clock may be another.
    void reset() { used_ = 0; }

    // Whether anything was measured since the last reset.
    bool known() const { return used_ > 0; }
    // The access point's clock less the collector's, in seconds (0 unknown).
    int64_t offset() const;
    // Known and within the tolerance.
    bool trusted() const;
    // Where a scan stamped `time` that arrived at `arrival` belongs on the
    // collector's clock: its own time when the clock is trusted (never after
    // its arrival), else its arrival.
    int64_t place(int64_t time, int64_t arrival) const;

  private:
    struct Bucket {
        int64_t index = 0;  // monotonic arrival / bucket_seconds
        int64_t least_lag = 0;
    };
    Bucket buckets_[bucket_count];
    size_t used_ = 0;  // buckets in use, the newest last
    int64_t newest_time_ = 0;
};

}  // namespace fleet
