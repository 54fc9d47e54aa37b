#include "people_report.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include "window_figures.h"

namespace {

// The figures of the estimate and of the three counts, in that order.
constexpr size_t measure_count = 4;
const char* const measure_names[measure_count] = {"estimate", "addr-80", "addr-any", "probes-80"};

double measure_of(const PeopleWindow& w, size_t m, const CrowdConfig& crowd) {
    switch (m) {
        case 0:
            return people_of(crowd, w.devices);
        case 1:
            return w.addresses;
        case 2:
            return w.any;
        default:
            return w.probes;
    }
}

std::string number(double v, const char* format) {
    if (std::isnan(v)) {
        return "-";
    }
    char text[32];
    snprintf(text, sizeof text, format, v);
    return text;
}

void print_row(const std::string& name, const std::string& windows, const std::string cells[]) {
    printf("%-30s %7s", name.c_str(), windows.c_str());
    for (size_t m = 0; m < measure_count; ++m) {
        printf(" %7s %6s", cells[2 * m].c_str(), cells[2 * m + 1].c_str());
    }
    printf("\n");
}

std::string utc_text(double t) {
    const time_t whole = static_cast<time_t>(std::floor(t));
    struct tm tm;
    char text[40] = "";
    if (gmtime_r(&whole, &tm) == nullptr) {
        return "-";
    }
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
    char full[48];
    snprintf(full, sizeof full, "%s.%03dZ", text,
             static_cast<int>(std::floor((t - std::floor(t)) * 1000)));
    return full;
}

}  // namespace

void print_people_table(const std::vector<LabelledCapture>& captures, const CrowdConfig& crowd,
                        double window_s) {
    Figures figures[measure_count];
    size_t windows = 0;
    for (size_t m = 0; m < measure_count; ++m) {
        std::vector<DayWindows> days(captures.size());
        for (size_t d = 0; d < captures.size(); ++d) {
            for (const PeopleWindow& w : captures[d].windows) {
                days[d].x.push_back(measure_of(w, m, crowd));
                days[d].people.push_back(w.people);
            }
        }
        figures[m] = figures_of(days, m != 0);
    }
    printf(
        "\n# people per %g-minute window: estimate = %g x devices %+g; the counts (addr-80:\n"
        "# addresses at -80 dBm or stronger, addr-any: at any signal, probes-80: probe\n"
        "# requests at -80 dBm or stronger) through a line fitted on the other captures\n",
        window_s / 60, crowd.people_per_device, crowd.offset);
    printf("%-30s %7s", "", "");
    for (size_t m = 0; m < measure_count; ++m) {
        printf(" %14s", measure_names[m]);
    }
    printf("\n");
    std::string head[2 * measure_count];
    for (size_t m = 0; m < measure_count; ++m) {
        head[2 * m] = "r";
        head[2 * m + 1] = "MAE";
    }
    print_row("capture", "windows", head);
    std::string cells[2 * measure_count];
    for (size_t d = 0; d < captures.size(); ++d) {
        windows += captures[d].windows.size();
        for (size_t m = 0; m < measure_count; ++m) {
            cells[2 * m] = number(figures[m].day_r[d], "%.3f");
            cells[2 * m + 1] = number(figures[m].day_mae[d], "%.2f");
        }
        print_row(captures[d].name, std::to_string(captures[d].windows.size()), cells);
    }
    for (size_t m = 0; m < measure_count; ++m) {
        cells[2 * m] = number(figures[m].mean_r, "%.3f");
        cells[2 * m + 1] = number(figures[m].mae, "%.2f");
    }
    print_row("all (r: mean over captures)", std::to_string(windows), cells);
    for (size_t m = 0; m < measure_count; ++m) {
        cells[2 * m] = number(figures[m].pooled_r, "%.3f");
    }
    print_row("all (r: windows pooled)", std::to_string(windows), cells);
}

bool write_windows(const std::string& path, const std::vector<LabelledCapture>& captures,
                   const CrowdConfig& crowd) {
    FILE* out = fopen(path.c_str(), "w");
    if (out == nullptr) {
        return false;
    }
    fprintf(out,
            "capture,window_start,people,estimate,devices,baseline_addresses,baseline_any,"
            "baseline_probes\n");
    for (const LabelledCapture& c : captures) {
        for (const PeopleWindow& w : c.windows) {
            fprintf(out, "%s,%s,%.3f,%.3f,%.0f,%u,%u,%u\n", c.name.c_str(),
                    utc_text(w.start).c_str(), w.people, people_of(crowd, w.devices), w.devices,
                    w.addresses, w.any, w.probes);
        }
    }
    return fclose(out) == 0;
}

bool print_calibration(const std::vector<LabelledCapture>& captures) {
    std::vector<DayWindows> days(captures.size());
    size_t windows = 0;
    for (size_t d = 0; d < captures.size(); ++d) {
        for (const PeopleWindow& w : captures[d].windows) {
            days[d].x.push_back(w.devices);
            days[d].people.push_back(w.people);
        }
        windows += captures[d].windows.size();
    }
    const Line line = fit_line(days);
    if (!line.fitted || line.slope <= 0 || line.slope > crowd_scale_limit ||
        std::fabs(line.intercept) > crowd_offset_limit) {
        fprintf(stderr,
                "vorlask-evaluate: --calibrate: the %zu labelled windows fit no line with "
                "people_per_device from 0 to %g\n",
                windows, crowd_scale_limit);
        return false;
    }
    const Figures loo = figures_of(days, true);
    printf(
        "\n# calibration: people = people_per_device x devices + offset, least squares over\n"
        "# %zu windows of %zu captures; MAE on each capture of the line fitted on the others:\n",
        windows, captures.size());
    for (size_t d = 0; d < captures.size(); ++d) {
        printf("#   %-30s %s\n", captures[d].name.c_str(), number(loo.day_mae[d], "%.2f").c_str());
    }
    printf("#   %-30s %s\n", "all windows", number(loo.mae, "%.2f").c_str());
    printf("# paste into /etc/vorlask.conf:\n[crowd]\npeople_per_device = %.4g\noffset = %.4g\n",
           line.slope, line.intercept);
    return true;
}
