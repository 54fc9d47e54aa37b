// The people present when each frame of a capture was heard: the `datetime`
// and `occupancy` columns of a `;`-separated CSV beside the capture (same
// name, .csv), one row per frame, joined to the capture's probe requests by
// their time.
#pragma once

#include <string>
#include <vector>

#include "replay_capture.h"

struct OccupancyRow {
    double time;    // `datetime` read as if it were UTC, seconds since the epoch
    double people;  // `occupancy`
};

// Reads the columns; false (with `error` set) when the file lacks one of them
// or a row has no date and time or no number in them. A missing file is not
// an error: `found` is then false.
bool read_occupancy(const std::string& path, std::vector<OccupancyRow>& rows, bool& found,
                    std::string& error);

// What the join matched.
struct OccupancyJoin {
    std::vector<double> people;  // per step; NaN where no row has the step's time
    double zone_s = 0;           // the rows' clock minus the capture's, whole quarter hours
    size_t unmatched_steps = 0;
    size_t unused_rows = 0;
};

// Rows written within this many seconds of a frame's time are that frame's.
constexpr double occupancy_join_tolerance_s = 0.001;

// Joins `rows` (local time without a zone) to `steps` (offsets from
// `first_time`, UTC): the zone is the difference of the first row and the
// first step, rounded to a quarter hour; then each step takes the next
// unused row at its time. A missing or extra row leaves one step without
// people, or one row unused.
OccupancyJoin join_occupancy(const std::vector<ReplayStep>& steps, double first_time,
                             const std::vector<OccupancyRow>& rows);
