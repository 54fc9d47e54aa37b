// How well one per-window figure follows the people present over several
// days: per-day Pearson r and its mean, r over all windows pooled, and the
// mean absolute error in people, either as the figure stands or through a
// straight line fitted on the other days.
#pragma once

#include <cstddef>
#include <vector>

// One day's windows: the figure and the people present.
struct DayWindows {
    std::vector<double> x, people;
};

struct Line {
    double slope = 1;
    double intercept = 0;
    bool fitted = false;  // false when the windows leave the slope open
};

double pearson(const std::vector<double>& a, const std::vector<double>& b);

// Least squares people = slope * x + intercept over every window of `days`
// but those of day `skip` (none when out of range).
Line fit_line(const std::vector<DayWindows>& days, size_t skip = static_cast<size_t>(-1));

struct Figures {
    std::vector<double> day_r;    // NaN where a day's people or figure never moves
    std::vector<double> day_mae;  // NaN where no line could be fitted for the day
    double mean_r = 0;            // over the days with an r; NaN when none has
    double pooled_r = 0;
    double mae = 0;  // over all windows; NaN when any day has no error
};

// `leave_one_out`: each day's error is that of a line fitted on the other
// days; otherwise x is taken as people already.
Figures figures_of(const std::vector<DayWindows>& days, bool leave_one_out);
