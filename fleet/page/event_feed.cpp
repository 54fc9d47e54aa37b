#include "event_feed.h"

#include <chrono>

namespace fleet_page {

void EventFeed::publish(const std::string& name, const std::string& data) {
    auto text = std::make_shared<const std::string>("event: " + name + "\ndata: " + data + "\n\n");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        latest_ = std::move(text);
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
    *seen = version_;
    return latest_;
}

void EventFeed::close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

}  // namespace fleet_page
