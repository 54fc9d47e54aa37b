#include "burst_tuning.h"

#include <cmath>
#include <cstdio>

#include "people_windows.h"
#include "window_figures.h"

const double tuning_gaps[] = {1, 2, 3, 4, 5, 6};
const size_t tuning_gap_count = sizeof tuning_gaps / sizeof tuning_gaps[0];
const double tuning_intervals[] = {45, 60, 75, 100, 150, 200, 300};
const size_t tuning_interval_count = sizeof tuning_intervals / sizeof tuning_intervals[0];

namespace {

// Each capture's windows (devices and people) under one pair.
std::vector<DayWindows> days_under(const std::vector<TuningCapture>& captures,
                                   RuleSettings settings, double gap, double interval,
                                   double window_s) {
    settings.persistent = true;
    settings.crowd.burst_gap = gap / settings.speed;
    settings.crowd.burst_interval = interval / settings.speed;
    const std::set<Mac> not_people(settings.not_people.begin(), settings.not_people.end());
    std::vector<DayWindows> days;
    for (const TuningCapture& c : captures) {
        const RuleOutcome outcome = replay_rule(c.steps, settings);
        DayWindows day;
        for (const PeopleWindow& w :
             people_windows(c.steps, c.first_time, c.people, outcome.scans, not_people, window_s)) {
            day.x.push_back(w.devices);
            day.people.push_back(w.people);
        }
        days.push_back(day);
    }
    return days;
}

}  // namespace

bool print_burst_tuning(const std::vector<TuningCapture>& captures, const RuleSettings& settings,
                        double window_s) {
    if (captures.size() < 3) {
        fprintf(stderr, "vorlask-evaluate: --tune-bursts needs three labelled captures or more\n");
        return false;
    }
    // grid[g * intervals + i]: the captures' windows under that pair.
    std::vector<std::vector<DayWindows>> grid;
    for (size_t g = 0; g < tuning_gap_count; ++g) {
        for (size_t i = 0; i < tuning_interval_count; ++i) {
            grid.push_back(
                days_under(captures, settings, tuning_gaps[g], tuning_intervals[i], window_s));
        }
    }
    printf(
        "\n# burst tuning, each capture left out: burst_gap and burst_interval (s) with the least\n"
        "# leave-one-out MAE on the other captures, the line fitted on those, its MAE here\n");
    printf("%-30s %7s %9s %14s %7s %6s\n", "capture", "windows", "burst_gap", "burst_interval", "r",
           "MAE");
    std::vector<double> held_out, people;
    double abs_sum = 0;
    for (size_t d = 0; d < captures.size(); ++d) {
        size_t best = 0;
        double best_mae = INFINITY;
        for (size_t k = 0; k < grid.size(); ++k) {
            std::vector<DayWindows> others = grid[k];
            others.erase(others.begin() + static_cast<long>(d));
            const double mae = figures_of(others, true).mae;
            if (mae < best_mae) {
                best_mae = mae;
                best = k;
            }
        }
        const Line line = fit_line(grid[best], d);
        const DayWindows& day = grid[best][d];
        double day_abs = 0;
        for (size_t i = 0; i < day.x.size(); ++i) {
            held_out.push_back(line.slope * day.x[i] + line.intercept);
            people.push_back(day.people[i]);
            day_abs += std::fabs(held_out.back() - day.people[i]);
        }
        abs_sum += day_abs;
        printf("%-30s %7zu %9g %14g %7.3f %6.2f\n", captures[d].name.c_str(), day.x.size(),
               tuning_gaps[best / tuning_interval_count],
               tuning_intervals[best % tuning_interval_count], pearson(day.x, day.people),
               day.x.empty() ? 0.0 : day_abs / day.x.size());
    }
    printf("%-30s %7zu %9s %14s %7.3f %6.2f\n", "all (r: held-out people pooled)", people.size(),
           "", "", pearson(held_out, people), people.empty() ? 0.0 : abs_sum / people.size());
    return true;
}
