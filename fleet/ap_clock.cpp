#include "ap_clock.h"

#include <algorithm>

namespace fleet {

namespace {

int64_t floor_div(int64_t t, int64_t step) {
    return t / step - ((t % step) < 0 ? 1 : 0);
}

}  // namespace

void ApClock::observe(int64_t time, FleetTime arrival) {
    if (known() && time < newest_time_ - tolerance) {
        reset();
    }
    newest_time_ = known() ? std::max(newest_time_, time) : time;
    // Both stay within 2^53 (the document's bound), so the difference cannot overflow.
    int64_t lag = arrival.wall - time;
    int64_t index = floor_div(arrival.mono, bucket_seconds);
    if (used_ > 0 && buckets_[used_ - 1].index == index) {
        buckets_[used_ - 1].least_lag = std::min(buckets_[used_ - 1].least_lag, lag);
        return;
    }
    if (used_ == bucket_count) {
        std::copy(buckets_ + 1, buckets_ + bucket_count, buckets_);
        used_--;
    }
    buckets_[used_++] = Bucket{index, lag};
}

int64_t ApClock::offset() const {
    if (used_ == 0) {
        return 0;
    }
    int64_t least = buckets_[0].least_lag;
    for (size_t i = 1; i < used_; ++i) {
        least = std::min(least, buckets_[i].least_lag);
    }
    return -least;
}

bool ApClock::trusted() const {
    int64_t o = offset();
    return known() && o >= -tolerance && o <= tolerance;
}

int64_t ApClock::place(int64_t time, int64_t arrival) const {
    return trusted() ? std::min(time, arrival) : arrival;
}

}  // namespace fleet
