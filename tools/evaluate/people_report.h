// What vorlask-evaluate prints about people: the crowd estimate in people
// against the three plain counts, per labelled capture and over all of them,
// and the windows file behind those figures.
#pragma once

#include <string>
#include <vector>

#include "people_windows.h"
#include "persistent/crowd_config.h"

struct LabelledCapture {
    std::string name;
    std::vector<PeopleWindow> windows;
};

// The table: per capture r and MAE of the estimate (people_of each window's
// devices) and of each count (through a line fitted on the other captures),
// then the mean of the per-capture r, r pooled over all windows and the MAE
// over all windows.
void print_people_table(const std::vector<LabelledCapture>& captures, const CrowdConfig& crowd,
                        double window_s);

// The least-squares people = people_per_device x devices + offset over all
// windows, its error on each capture when fitted on the others, and the
// [crowd] lines to paste. False (the reason on standard error) when the
// windows leave no line with people_per_device above 0.
bool print_calibration(const std::vector<LabelledCapture>& captures);

// One CSV row per window with a header; false when `path` cannot be written.
bool write_windows(const std::string& path, const std::vector<LabelledCapture>& captures,
                   const CrowdConfig& crowd);
