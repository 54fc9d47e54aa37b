#include "visit_tracker.h"

#include <algorithm>

namespace fleet_visits {

namespace {

constexpr int64_t kDay = 86400;

int64_t day_of(int64_t t) {
    return t >= 0 ? t / kDay : -((-t + kDay - 1) / kDay);
}

}  // namespace

Dwell dwell_bucket(int64_t seconds) {
    if (seconds < 5 * 60)
        return Dwell::under_5;
    if (seconds < 15 * 60)
        return Dwell::to_15;
    if (seconds < 60 * 60)
        return Dwell::to_60;
    return Dwell::over_60;
}

void VisitTracker::remember(const std::string& key, int64_t last_day, int64_t earlier_day) {
    if (days_.size() >= settings_.max_known && days_.count(key) == 0)
        return;
    days_[key] = Days{last_day, earlier_day};
}

void VisitTracker::see(const Sighting& s, int64_t now, std::vector<VisitEvent>& out) {
    VisitRules rules = settings_.rules_for(s.site);
    if (now - s.heard >= rules.timeout)
        return;  // a backlog: the visit it belonged to is over
    auto it = open_.find(s.key);
    if (it != open_.end()) {
        Open& v = it->second;
        bool broken = s.heard - v.last_heard >= v.timeout;
        bool too_long = s.heard - v.first_heard >= settings_.max_length;
        if (!broken && !too_long) {
            v.best_rssi = std::max(v.best_rssi, s.rssi);
            if (s.heard >= v.last_heard) {
                v.last_heard = s.heard;
                v.last_seen = s.seen;
                v.site = s.site;
                v.ap = s.ap;
                v.timeout = rules.timeout;
            }
            return;
        }
        end(it->first, v, out);
        open_.erase(it);
    }
    begin(s, rules, out);
}

void VisitTracker::begin(const Sighting& s, const VisitRules& rules, std::vector<VisitEvent>& out) {
    if (open_.size() >= settings_.max_open) {
        ++totals_.turned_away;
        return;
    }
    Open v;
    v.site = s.site;
    v.ap = s.ap;
    v.best_rssi = s.rssi;
    v.timeout = rules.timeout;
    v.first_heard = v.last_heard = s.heard;
    v.first_seen = v.last_seen = s.seen;
    open_.emplace(s.key, v);
    ++totals_.started;
    VisitEvent e;
    e.site = s.site;
    e.ap = s.ap;
    e.time = s.seen;
    out.push_back(std::move(e));
}

void VisitTracker::expire(int64_t now, std::vector<VisitEvent>& out) {
    for (auto it = open_.begin(); it != open_.end();) {
        if (now - it->second.last_heard >= it->second.timeout) {
            end(it->first, it->second, out);
            it = open_.erase(it);
        } else {
            ++it;
        }
    }
}

void VisitTracker::end(const std::string& key, const Open& v, std::vector<VisitEvent>& out) {
    VisitRules rules = settings_.rules_for(v.site);
    VisitEvent e;
    e.ended = true;
    e.site = v.site;
    e.ap = v.ap;
    e.time = v.last_seen;
    e.dwell = v.last_heard - v.first_heard;
    e.visitor = v.best_rssi >= rules.visitor_rssi && e.dwell >= rules.visitor_dwell;
    // The visit's day is the one it began on; it returns when the station made one on an
    // earlier day still within the retention.
    int64_t day = day_of(v.first_seen);
    Days* d = days_of(key, day);
    if (d != nullptr) {
        int64_t before = d->last < day ? d->last : d->earlier < day ? d->earlier : -1;
        e.returning = e.visitor && before >= 0 && before >= day - settings_.retention_days;
        if (day > d->last) {
            d->earlier = d->last;
            d->last = day;
        } else if (day < d->last && day > d->earlier) {
            d->earlier = day;
        }
        e.key = key;
        e.last_day = d->last;
        e.earlier_day = d->earlier;
    } else {
        ++totals_.unremembered;
    }
    ++totals_.ended;
    ++(e.visitor ? totals_.visitors : totals_.passersby);
    if (e.visitor)
        ++(e.returning ? totals_.returning_visitors : totals_.new_visitors);
    out.push_back(std::move(e));
}

VisitTracker::Days* VisitTracker::days_of(const std::string& key, int64_t today) {
    // Once a day (by the visits' days), and whenever the bound is reached, the stations last
    // seen before the retention go.
    if (today > days_pruned_on_) {
        forget_days_before(today - settings_.retention_days);
        days_pruned_on_ = today;
    }
    auto it = days_.find(key);
    if (it != days_.end())
        return &it->second;
    if (days_.size() >= settings_.max_known) {
        forget_days_before(today - settings_.retention_days);
        if (days_.size() >= settings_.max_known)
            return nullptr;
    }
    return &days_[key];
}

void VisitTracker::forget_days_before(int64_t oldest_kept) {
    for (auto it = days_.begin(); it != days_.end();)
        it = it->second.last < oldest_kept ? days_.erase(it) : std::next(it);
}

VisitTotals VisitTracker::totals() const {
    VisitTotals t = totals_;
    t.open = open_.size();
    return t;
}

}  // namespace fleet_visits
