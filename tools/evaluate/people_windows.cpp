#include "people_windows.h"

#include <cmath>
#include <cstring>
#include <map>

#include "persistent/crowd_estimate.h"

namespace {

struct WindowSums {
    double people = 0;
    unsigned labelled = 0;
    unsigned probes = 0;
    std::set<Mac> strong, any;
};

// Records without a signal strength count as strong, as in the crowd estimate.
bool strong(int rssi) {
    return rssi >= crowd_rssi_floor || rssi == -128;
}

}  // namespace

std::vector<PeopleWindow> people_windows(const std::vector<ReplayStep>& steps, double first_time,
                                         const std::vector<double>& people,
                                         const std::vector<ScanPoint>& scans,
                                         const std::set<Mac>& not_people, double window_s) {
    std::map<long, WindowSums> sums;
    for (size_t i = 0; i < steps.size(); ++i) {
        WindowSums& w = sums[static_cast<long>(steps[i].offset / window_s)];
        if (!std::isnan(people[i])) {
            w.people += people[i];
            w.labelled += 1;
        }
        Mac mac;
        memcpy(mac.data(), steps[i].probe.mac, 6);
        if (not_people.count(mac) != 0) {
            continue;
        }
        w.any.insert(mac);
        if (strong(steps[i].probe.rssi)) {
            w.strong.insert(mac);
            w.probes += 1;
        }
    }
    // A window's estimate is that of the scan that closes it: the estimate
    // looks back over the memory.
    std::map<long, double> estimates;
    for (const ScanPoint& p : scans) {
        estimates[static_cast<long>(std::ceil(p.offset / window_s)) - 1] = p.estimate;
    }
    std::vector<PeopleWindow> windows;
    for (const auto& [index, w] : sums) {
        auto e = estimates.find(index);
        if (w.labelled == 0 || e == estimates.end()) {
            continue;
        }
        PeopleWindow out;
        out.index = index;
        out.start = first_time + static_cast<double>(index) * window_s;
        out.people = w.people / w.labelled;
        out.devices = e->second;
        out.addresses = static_cast<unsigned>(w.strong.size());
        out.any = static_cast<unsigned>(w.any.size());
        out.probes = w.probes;
        windows.push_back(out);
    }
    return windows;
}
