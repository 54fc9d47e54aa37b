#include "event_feed.h"

#include <chrono>

namespace fleet_page {

namespace {

std::shared_ptr<const std::string> event(const std::string& name, const std::string& data) {
    return std::make_shared<const std::string>("event: " + name + "\ndata: " + data + "\n\n");
}

}  // namespace

void EventFeed::publish(const std::string& state_name, const std::string& state_data,
                        const std::string& change_name, const std::string& change_data) {
    auto state = event(state_name, state_data);
    auto change = change_data.empty() ? nullptr : event(change_name, change_data);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        latest_ = std::move(state);
        change_ = std::move(change);
        ++version_;
    }
    changed_.notify_all();
}

std::shared_ptr<const std::string> EventFeed::next(uint64_t* seen, int keepalive_ms) {
    static const auto keepalive = std::make_shared<const std::string>(": keep-alive\n\n");
    std::unique_lock<std::mutex> lock(mutex_);
    bool ready = changed_.wait_for(lock, std::chrono::milliseconds(keepalive_ms),
                                   [&] { return closed_ || version_ > *seen; });
    if (closed_)
        return nullptr;
    if (!ready)
        return keepalive;
    // Version 0 is a stream's start: it has nothing to change yet.
    bool behind_by_one = *seen != 0 && *seen + 1 == version_;
    *seen = version_;
    return behind_by_one && change_ ? change_ : latest_;
}

void EventFeed::close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

}  // namespace fleet_page
