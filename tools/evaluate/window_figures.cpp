#include "window_figures.h"

#include <cmath>

double pearson(const std::vector<double>& a, const std::vector<double>& b) {
    const double n = static_cast<double>(a.size());
    double ma = 0, mb = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        ma += a[i] / n;
        mb += b[i] / n;
    }
    double sab = 0, saa = 0, sbb = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        sab += (a[i] - ma) * (b[i] - mb);
        saa += (a[i] - ma) * (a[i] - ma);
        sbb += (b[i] - mb) * (b[i] - mb);
    }
    return saa == 0 || sbb == 0 ? NAN : sab / std::sqrt(saa * sbb);
}

Line fit_line(const std::vector<DayWindows>& days, size_t skip) {
    double n = 0, sx = 0, sy = 0;
    for (size_t d = 0; d < days.size(); ++d) {
        for (size_t i = 0; d != skip && i < days[d].x.size(); ++i) {
            n += 1;
            sx += days[d].x[i];
            sy += days[d].people[i];
        }
    }
    Line line;
    if (n < 2) {
        return line;
    }
    const double mx = sx / n, my = sy / n;
    double sxy = 0, sxx = 0;
    for (size_t d = 0; d < days.size(); ++d) {
        for (size_t i = 0; d != skip && i < days[d].x.size(); ++i) {
            sxy += (days[d].x[i] - mx) * (days[d].people[i] - my);
            sxx += (days[d].x[i] - mx) * (days[d].x[i] - mx);
        }
    }
    if (sxx == 0) {
        return line;
    }
    line.slope = sxy / sxx;
    line.intercept = my - line.slope * mx;
    line.fitted = true;
    return line;
}

Figures figures_of(const std::vector<DayWindows>& days, bool leave_one_out) {
    Figures f;
    std::vector<double> all_x, all_people;
    double r_sum = 0, abs_sum = 0;
    unsigned r_days = 0;
    size_t windows = 0;
    bool every_day = true;
    for (size_t d = 0; d < days.size(); ++d) {
        const DayWindows& day = days[d];
        f.day_r.push_back(pearson(day.x, day.people));
        if (!std::isnan(f.day_r.back())) {
            r_sum += f.day_r.back();
            r_days += 1;
        }
        Line line;
        line.fitted = true;
        if (leave_one_out) {
            line = fit_line(days, d);
        }
        double day_abs = 0;
        for (size_t i = 0; i < day.x.size(); ++i) {
            day_abs += std::fabs(line.slope * day.x[i] + line.intercept - day.people[i]);
        }
        f.day_mae.push_back(line.fitted && !day.x.empty() ? day_abs / day.x.size() : NAN);
        every_day = every_day && line.fitted;
        abs_sum += day_abs;
        windows += day.x.size();
        all_x.insert(all_x.end(), day.x.begin(), day.x.end());
        all_people.insert(all_people.end(), day.people.begin(), day.people.end());
    }
    f.mean_r = r_days == 0 ? NAN : r_sum / r_days;
    f.pooled_r = pearson(all_x, all_people);
    f.mae = every_day && windows != 0 ? abs_sum / windows : NAN;
    return f;
}
