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

#include "number_text.h"
#include "occupancy_labels.h"
#include "rule_replay.h"

namespace {

const char usage[] =
    "usage: vorlask-evaluate [options] CAPTURE...\n"
    "  CAPTURE            pcap or pcapng file with radiotap headers; a CSV beside it\n"
    "                     (same name, .csv) with an `occupancy` column, one row per\n"
    "                     frame, gives the people present\n"
    "  -t SECONDS         scan interval (default 10)\n"
    "  -R N               keep threshold of the count rule (default 2)\n"
    "  --min-span S       persistent rule's min_span (default 60)\n"
    "  --memory S         persistent rule's memory (default 600)\n"
    "  --speed X          the capture played X times faster, as vorlask-replay --speed\n"
    "  --one-device       each capture holds one device: print stations per device\n"
    "  --not-people MAC   a fixed station left out of the crowd estimate (repeatable)\n"
    "  --list             also print every reported address, one per line\n";

// A finite real number above 0, as strtod writes one.
bool parse_number(const char* text, double& out) {
    double v = 0;
    if (read_real(text, RealForm{0, DBL_MAX}, v) != NumberRead::ok || v <= 0) {
        return false;
    }
    out = v;
    return true;
}

bool parse_mac(const char* text, Mac& mac) {
    unsigned b[6];
    char tail;
    if (sscanf(text, "%x:%x:%x:%x:%x:%x%c", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &tail) != 6) {
        return false;
    }
    for (int i = 0; i < 6; ++i) {
        if (b[i] > 255) {
            return false;
        }
        mac[i] = static_cast<uint8_t>(b[i]);
    }
    return true;
}

std::string mac_text(const Mac& m) {
    char text[18];
    snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4],
             m[5]);
    return text;
}

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

constexpr double window_s = 600;  // occupancy windows

// Totals over the captures, per rule.
struct RuleTotals {
    uint64_t heard = 0, reported = 0, truth = 0, hits = 0, devices = 0, within_memory = 0;
    double correlation_sum = 0;
    unsigned days = 0;
};

}  // namespace

int main(int argc, char** argv) {
    RuleSettings settings;
    bool one_device = false;
    bool list = false;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        const bool takes_value = a == "-t" || a == "-R" || a == "--min-span" || a == "--memory" ||
                                 a == "--speed" || a == "--not-people";
        if (takes_value && i + 1 < argc) {
            const char* v = argv[++i];
            double x = 0;
            Mac mac;
            bool ok = a == "--not-people" ? parse_mac(v, mac) : parse_number(v, x);
            if (a != "--speed" && a != "--not-people" && (x != std::floor(x) || x > 65535)) {
                ok = false;
            }
            if (!ok) {
                fprintf(stderr, "vorlask-evaluate: bad value for %s: %s\n%s", a.c_str(), v, usage);
                return 2;
            }
            if (a == "-t") {
                settings.timeout = static_cast<uint32_t>(x);
            } else if (a == "-R") {
                settings.randommax = static_cast<uint16_t>(x);
            } else if (a == "--min-span") {
                settings.min_span = static_cast<uint32_t>(x);
            } else if (a == "--memory") {
                settings.memory = static_cast<uint32_t>(x);
            } else if (a == "--speed") {
                settings.speed = x;
            } else {
                settings.not_people.push_back(mac);
            }
        } else if (a == "--one-device") {
            one_device = true;
        } else if (a == "--list") {
            list = true;
        } else if (a == "--help" || a == "-h") {
            fputs(usage, stdout);
            return 0;
        } else if (a.size() > 1 && a[0] == '-') {
            fprintf(stderr, "vorlask-evaluate: unknown option or missing value: %s\n%s", a.c_str(),
                    usage);
            return 2;
        } else {
            paths.push_back(a);
        }
    }
    if (paths.empty()) {
        fputs(usage, stderr);
        return 2;
    }
    if (settings.min_span > settings.memory) {
        fprintf(stderr, "vorlask-evaluate: --min-span is longer than --memory\n");
        return 2;
    }
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
        std::vector<double> occupancy;
        bool labelled = false;
        std::string csv = path.substr(0, path.rfind('.')) + ".csv";
        if (!read_occupancy(csv, occupancy, labelled, error)) {
            fprintf(stderr, "vorlask-evaluate: %s: %s\n", csv.c_str(), error.c_str());
            return 1;
        }
        if (labelled && (occupancy.size() != counts.frames || counts.frames != counts.probes)) {
            fprintf(stderr,
                    "vorlask-evaluate: %s: %zu rows for %llu frames (%llu probe requests)\n",
                    csv.c_str(), occupancy.size(), static_cast<unsigned long long>(counts.frames),
                    static_cast<unsigned long long>(counts.probes));
            return 1;
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
        // Occupancy per window, averaged over the window's frames.
        std::map<long, std::pair<double, unsigned>> people;
        for (size_t i = 0; labelled && i < steps.size(); ++i) {
            auto& w = people[static_cast<long>(steps[i].offset / window_s)];
            w.first += occupancy[i];
            w.second += 1;
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
                // A window's estimate is that of the scan that closes it: the
                // estimate looks back over the memory.
                std::map<long, std::pair<double, unsigned>> estimates;
                for (const ScanPoint& p : outcome.scans) {
                    long window = static_cast<long>(std::ceil(p.offset / window_s)) - 1;
                    estimates[window] = std::make_pair(static_cast<double>(p.estimate), 1u);
                }
                std::vector<double> a, b;
                double abs_sum = 0;
                for (const auto& [window, w] : people) {
                    auto e = estimates.find(window);
                    if (e == estimates.end()) {
                        continue;
                    }
                    a.push_back(w.first / w.second);
                    b.push_back(e->second.first / e->second.second);
                    abs_sum += std::fabs(a.back() - b.back());
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
                           mac_text(mac).c_str());
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
    return 0;
}
