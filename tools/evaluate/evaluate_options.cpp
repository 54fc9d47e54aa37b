#include "evaluate_options.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <fstream>

#include "chameleon.h"
#include "mac_text.h"
#include "number_text.h"
#include "persistent/scan_config.h"

const char evaluate_usage[] =
    "usage: vorlask-evaluate [options] CAPTURE...\n"
    "  CAPTURE            pcap or pcapng file with radiotap headers; a CSV beside it\n"
    "                     (same name, .csv) with `datetime` (local time) and `occupancy`\n"
    "                     columns, one row per frame, gives the people present\n"
    "  --config FILE      min_span and memory of [scan], not_people, people_per_device,\n"
    "                     offset, burst_gap and burst_interval of [crowd], as in\n"
    "                     /etc/vorlask.conf; options win\n"
    "  -t SECONDS         scan interval (default 10)\n"
    "  -R N               keep threshold of the count rule (default 2)\n"
    "  --min-span S       persistent rule's min_span (default 60)\n"
    "  --memory S         persistent rule's memory (default 600)\n"
    "  --speed X          the capture played X times faster, as vorlask-replay --speed\n"
    "  --one-device       each capture holds one device: print stations per device\n"
    "  --not-people MAC   a fixed station left out of the crowd estimate (repeatable)\n"
    "  --not-people-file FILE  such stations, one address a line\n"
    "  --windows FILE     write one CSV row per window of the labelled captures\n"
    "  --window S         seconds of capture per window of the people figures (default 600)\n"
    "  --calibrate        fit people_per_device and offset of [crowd] to the labelled\n"
    "                     captures (least squares over their windows) and print them\n"
    "  --tune-bursts      choose burst_gap and burst_interval of [crowd] on all labelled\n"
    "                     captures but one and print the error on that one, for each\n"
    "                     labelled capture in turn\n"
    "  --list             also print every reported address, one per line\n";

namespace {

// A finite real number above 0, as strtod writes one.
bool parse_number(const char* text, double& out) {
    double v = 0;
    if (read_real(text, RealForm{0, DBL_MAX}, v) != NumberRead::ok || v <= 0) {
        return false;
    }
    out = v;
    return true;
}

bool takes_value(const std::string& a) {
    return a == "-t" || a == "-R" || a == "--min-span" || a == "--memory" || a == "--speed" ||
           a == "--not-people" || a == "--not-people-file" || a == "--windows" || a == "--config" ||
           a == "--window";
}

int read_config(const std::string& path, EvaluateOptions& options) {
    std::ifstream probe(path);
    if (!probe) {
        fprintf(stderr, "vorlask-evaluate: cannot read %s\n", path.c_str());
        return 1;
    }
    const Confile config(path);
    ScanRule rule;
    rule.min_span = options.settings.min_span;
    rule.memory = options.settings.memory;
    if (!read_scan_rule(config, path.c_str(), rule) ||
        !read_crowd_config(config, path.c_str(), options.crowd)) {
        return 1;
    }
    options.settings.min_span = rule.min_span;
    options.settings.memory = rule.memory;
    options.settings.crowd = options.crowd;
    options.settings.not_people.insert(options.settings.not_people.end(),
                                       options.crowd.not_people.begin(),
                                       options.crowd.not_people.end());
    return 0;
}

// One option with its value `v`; 0, or the status to exit with.
int apply_option(const std::string& a, const char* v, EvaluateOptions& options) {
    RuleSettings& settings = options.settings;
    if (a == "--config") {
        return 0;  // read before the others
    }
    if (a == "--windows") {
        options.windows_path = v;
        return 0;
    }
    if (a == "--not-people-file") {
        std::string error;
        if (!read_address_list(v, settings.not_people, error)) {
            fprintf(stderr, "vorlask-evaluate: %s: %s\n", v, error.c_str());
            return 1;
        }
        return 0;
    }
    double x = 0;
    Mac mac;
    bool ok = a == "--not-people" ? parse_mac(v, mac.data()) : parse_number(v, x);
    if (a != "--speed" && a != "--not-people" && (x != std::floor(x) || x > 65535)) {
        ok = false;
    }
    if (!ok) {
        fprintf(stderr, "vorlask-evaluate: bad value for %s: %s\n%s", a.c_str(), v, evaluate_usage);
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
    } else if (a == "--window") {
        options.window_s = x;
    } else {
        settings.not_people.push_back(mac);
    }
    return 0;
}

}  // namespace

int parse_evaluate_options(int argc, char** argv, EvaluateOptions& options) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--config") {
            if (int status = read_config(argv[i + 1], options)) {
                return status;
            }
        }
        i += takes_value(argv[i]) ? 1 : 0;
    }
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (takes_value(a) && i + 1 < argc) {
            if (int status = apply_option(a, argv[++i], options)) {
                return status;
            }
        } else if (a == "--one-device") {
            options.one_device = true;
        } else if (a == "--list") {
            options.list = true;
        } else if (a == "--calibrate") {
            options.calibrate = true;
        } else if (a == "--tune-bursts") {
            options.tune_bursts = true;
        } else if (a == "--help" || a == "-h") {
            fputs(evaluate_usage, stdout);
            return -1;
        } else if (a.size() > 1 && a[0] == '-') {
            fprintf(stderr, "vorlask-evaluate: unknown option or missing value: %s\n%s", a.c_str(),
                    evaluate_usage);
            return 2;
        } else {
            options.paths.push_back(a);
        }
    }
    // An address given twice is still one station.
    std::vector<Mac>& fixed = options.settings.not_people;
    std::sort(fixed.begin(), fixed.end());
    fixed.erase(std::unique(fixed.begin(), fixed.end()), fixed.end());
    if (options.paths.empty()) {
        fputs(evaluate_usage, stderr);
        return 2;
    }
    if (options.settings.min_span > options.settings.memory) {
        fprintf(stderr, "vorlask-evaluate: --min-span is longer than --memory\n");
        return 2;
    }
    return 0;
}

bool read_address_list(const std::string& path, std::vector<Mac>& out, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot be read";
        return false;
    }
    std::vector<Mac> read;
    std::string line;
    for (size_t row = 1; std::getline(in, line); ++row) {
        const std::string text = trim(line, " \t\r");
        Mac mac;
        if (text.empty() || text[0] == '#') {
            continue;
        }
        if (!parse_mac(text, mac.data())) {
            error = "line " + std::to_string(row) + " is not an address: " + text;
            return false;
        }
        read.push_back(mac);
    }
    out.insert(out.end(), read.begin(), read.end());
    return true;
}
