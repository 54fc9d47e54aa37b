#include "persistent/crowd_estimate.h"

#include <algorithm>

void CrowdEstimate::hear_randomised(int64_t when_ms, int rssi, bool returning) {
    ++randomised_;
    if (!returning && (rssi >= crowd_rssi_floor || rssi == -128)) {
        strong_times_.push_back(when_ms);
    }
}

CrowdFigures CrowdEstimate::close_scan(int64_t now_ms, size_t strong_stations) {
    std::sort(strong_times_.begin(), strong_times_.end());
    uint32_t bursts = 0;
    for (size_t i = 0; i < strong_times_.size(); ++i) {
        if (i == 0 || strong_times_[i] - strong_times_[i - 1] > gap_ms_) {
            ++bursts;
        }
    }
    history_.push_back(ScanBursts{now_ms, bursts});
    bursts_in_memory_ += bursts;
    while (!history_.empty() && now_ms - history_.front().at_ms >= memory_ms_) {
        bursts_in_memory_ -= history_.front().bursts;
        history_.pop_front();
    }
    // Bursts one idle phone sends over the memory, at least one.
    const uint64_t per_device =
        std::max<int64_t>(1, (memory_ms_ + interval_ms_ / 2) / interval_ms_);
    CrowdFigures figures;
    figures.randomised = randomised_;
    figures.estimate =
        static_cast<uint32_t>(strong_stations + (bursts_in_memory_ + per_device / 2) / per_device);
    randomised_ = 0;
    strong_times_.clear();
    return figures;
}
