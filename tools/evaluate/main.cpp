// vorlask-evaluate: measures what each keep rule reports about real devices.
// Each capture's probe requests go through the daemon's own table and scan
// code on virtual time, once per rule; the addresses heard for at least
// min_span seconds are taken as the true stations.
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "burst_tuning.h"
#include "evaluate_options.h"
#include "mac_text.h"
#include "occupancy_labels.h"
#include "people_report.h"
#include "people_windows.h"
#include "rule_replay.h"
#include "window_figures.h"

namespace {

std::string ratio_text(double num, double den) {
    if (den == 0) {
        return "-";
    }
    char text[16];
    snprintf(text, sizeof text, "%.3f", num / den);
    return text;
}

std::string base_name(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Totals over the captures, per rule.
struct RuleTotals {
    uint64_t heard = 0, reported = 0, truth = 0, hits = 0, devices = 0, within_memory = 0;
    double correlation_sum = 0;
    unsigned days = 0;
};

}  // namespace

int main(int argc, char** argv) {
    EvaluateOptions options;
    if (int status = parse_evaluate_options(argc, argv, options)) {
        return status < 0 ? 0 : status;
    }
    const RuleSettings& settings = options.settings;
    const bool one_device = options.one_device;
    const bool list = options.list;
    const std::vector<std::string>& paths = options.paths;
    const std::set<Mac> not_people(settings.not_people.begin(), settings.not_people.end());
    std::vector<LabelledCapture> labelled_captures;
    std::vector<TuningCapture> tuning_captures;
    printf(
        "# -t %u -R %u, persistent: min_span %u memory %u; truth: heard for %u s or more;\n"
        "# in-mem: of the truth, heard at two moments %u s apart within %u s\n",
        settings.timeout, settings.randommax, settings.min_span, settings.memory, settings.min_span,
        settings.min_span, settings.memory);
    printf("%-34s %-10s %6s %8s %6s %9s %6s %10s %6s %6s\n", "capture", "rule", "heard", "reported",
           "truth", "precision", "recall", "per-device", "corr", "MAE");
    RuleTotals totals[2];
    for (const std::string& path : paths) {
        std::vector<ReplayStep> steps;
        ReplayCounts counts;
        std::string error;
        if (!read_capture(path, steps, counts, error)) {
            fprintf(stderr, "vorlask-evaluate: %s: %s\n", path.c_str(), error.c_str());
            return 1;
        }
        std::vector<OccupancyRow> rows;
        bool labelled = false;
        std::string csv = path.substr(0, path.rfind('.')) + ".csv";
        if (!read_occupancy(csv, rows, labelled, error)) {
            fprintf(stderr, "vorlask-evaluate: %s: %s\n", csv.c_str(), error.c_str());
            return 1;
        }
        OccupancyJoin join;
        if (labelled) {
            join = join_occupancy(steps, counts.first_time, rows);
            if (join.unmatched_steps != 0 || join.unused_rows != 0) {
                fprintf(stderr,
                        "vorlask-evaluate: %s: %zu rows for %llu frames: %zu probe requests "
                        "without a row at their time left out, %zu rows unused\n",
                        csv.c_str(), rows.size(), static_cast<unsigned long long>(counts.frames),
                        join.unmatched_steps, join.unused_rows);
            }
        }
        // Truth: addresses heard over at least min_span seconds of the capture.
        std::map<Mac, std::pair<double, double>> spans;
        for (const ReplayStep& s : steps) {
            Mac mac;
            memcpy(mac.data(), s.probe.mac, 6);
            auto it = spans.emplace(mac, std::make_pair(s.offset, s.offset)).first;
            it->second.second = s.offset;
        }
        std::set<Mac> truth;
        for (const auto& [mac, span] : spans) {
            if ((span.second - span.first) / settings.speed >= settings.min_span) {
                truth.insert(mac);
            }
        }
        // Of those, the ones heard at two moments min_span apart within
        // memory: what the persistent rule can find at all.
        std::map<Mac, std::vector<double>> times;
        for (const ReplayStep& s : steps) {
            Mac mac;
            memcpy(mac.data(), s.probe.mac, 6);
            if (truth.count(mac) != 0) {
                times[mac].push_back(s.offset / settings.speed);
            }
        }
        size_t within_memory = 0;
        for (const auto& [mac, t] : times) {
            size_t first = 0;
            bool found = false;
            for (size_t i = 0; i < t.size() && !found; ++i) {
                while (t[i] - t[first] > settings.memory) {
                    ++first;
                }
                found = t[i] - t[first] >= settings.min_span;
            }
            within_memory += found ? 1 : 0;
        }
        for (int r = 0; r < 2; ++r) {
            RuleSettings rs = settings;
            rs.persistent = r == 1;
            RuleOutcome outcome = replay_rule(steps, rs);
            uint64_t hits = 0;
            for (const Mac& mac : outcome.reported) {
                hits += truth.count(mac);
            }
            std::string corr = "-", mae = "-";
            RuleTotals& t = totals[r];
            if (labelled && rs.persistent) {
                LabelledCapture capture{
                    base_name(path), people_windows(steps, counts.first_time, join.people,
                                                    outcome.scans, not_people, options.window_s)};
                std::vector<double> a, b;
                double abs_sum = 0;
                for (const PeopleWindow& w : capture.windows) {
                    a.push_back(w.people);
                    b.push_back(w.devices);
                    abs_sum += std::fabs(a.back() - b.back());
                }
                labelled_captures.push_back(capture);
                if (options.tune_bursts) {
                    tuning_captures.push_back(
                        TuningCapture{capture.name, steps, counts.first_time, join.people});
                }
                double c = pearson(a, b);
                char text[16];
                snprintf(text, sizeof text, "%.3f", c);
                corr = text;
                snprintf(text, sizeof text, "%.2f", a.empty() ? 0.0 : abs_sum / a.size());
                mae = text;
                if (!std::isnan(c)) {
                    t.correlation_sum += c;
                    t.days += 1;
                }
            }
            t.heard += spans.size();
            t.reported += outcome.reported.size();
            t.truth += truth.size();
            t.within_memory += within_memory;
            t.hits += hits;
            t.devices += 1;
            printf("%-34s %-10s %6zu %8zu %6zu %9s %6s %10s %6s %6s %6zu\n",
                   base_name(path).c_str(), rs.persistent ? "persistent" : "count", spans.size(),
                   outcome.reported.size(), truth.size(),
                   ratio_text(hits, outcome.reported.size()).c_str(),
                   ratio_text(hits, truth.size()).c_str(),
                   one_device ? ratio_text(outcome.reported.size(), 1).c_str() : "-", corr.c_str(),
                   mae.c_str(), within_memory);
            if (list) {
                for (const Mac& mac : outcome.reported) {
                    printf("reported %s %s\n", rs.persistent ? "persistent" : "count",
                           format_mac(mac.data()).c_str());
                }
            }
        }
    }
    if (paths.size() > 1) {
        for (int r = 0; r < 2; ++r) {
            const RuleTotals& t = totals[r];
            std::string corr = "-";
            if (t.days != 0) {
                char text[16];
                snprintf(text, sizeof text, "%.3f", t.correlation_sum / t.days);
                corr = text;
            }
            printf("%-34s %-10s %6llu %8llu %6llu %9s %6s %10s %6s %6s %6llu\n",
                   "all (corr: mean over days)", r == 1 ? "persistent" : "count",
                   static_cast<unsigned long long>(t.heard),
                   static_cast<unsigned long long>(t.reported),
                   static_cast<unsigned long long>(t.truth), ratio_text(t.hits, t.reported).c_str(),
                   ratio_text(t.hits, t.truth).c_str(),
                   one_device ? ratio_text(t.reported, t.devices).c_str() : "-", corr.c_str(), "-",
                   static_cast<unsigned long long>(t.within_memory));
        }
    }
    if (!labelled_captures.empty()) {
        print_people_table(labelled_captures, options.crowd, options.window_s);
    }
    if (options.calibrate && !print_calibration(labelled_captures)) {
        return 1;
    }
    if (options.tune_bursts && !print_burst_tuning(tuning_captures, settings, options.window_s)) {
        return 1;
    }
    if (!options.windows_path.empty() &&
        !write_windows(options.windows_path, labelled_captures, options.crowd)) {
        fprintf(stderr, "vorlask-evaluate: cannot write %s\n", options.windows_path.c_str());
        return 1;
    }
    return 0;
}
