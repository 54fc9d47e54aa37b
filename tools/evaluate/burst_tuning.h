// vorlask-evaluate --tune-bursts: the crowd estimate's burst_gap and
// burst_interval chosen on some labelled captures and judged on another.
// Each capture is left out in turn: over a grid of the two, the pair whose
// line (people = a x devices + b, fitted leave-one-out) errs least on the
// other captures is chosen, the line is fitted on those captures, and its
// error on the capture left out is the figure. No capture's own windows
// choose its pair or its line.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "replay_capture.h"
#include "rule_replay.h"

// A labelled capture kept for the replays of the grid.
struct TuningCapture {
    std::string name;
    std::vector<ReplayStep> steps;
    double first_time = 0;
    std::vector<double> people;  // per step, NaN where unlabelled
};

// The grid, in seconds of the capture.
extern const double tuning_gaps[];
extern const size_t tuning_gap_count;
extern const double tuning_intervals[];
extern const size_t tuning_interval_count;

// Replays every capture under each pair of the grid (the persistent rule
// of `settings`, its spans and not_people), prints per capture the pair
// chosen on the others with its r and held-out MAE, and over all captures
// the MAE and r pooled over the held-out people estimates. False (the reason
// on standard error) with fewer than three captures.
bool print_burst_tuning(const std::vector<TuningCapture>& captures, const RuleSettings& settings,
                        double window_s);
