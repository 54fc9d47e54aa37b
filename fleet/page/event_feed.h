// The page's live feed (Server-Sent Events): the latest state, not a log. Publishing replaces
// the current event and wakes the streams; a slow stream skips to the latest event instead of
// queueing, and every stream shares the one text of an event, so memory stays bounded whatever
// the readers do. Publishing takes a lock held only for a pointer swap, never for I/O.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace fleet_page {

class EventFeed {
  public:
    // Any thread. data must not hold a newline (one SSE data line).
    void publish(const std::string& name, const std::string& data);
    // Blocks until an event newer than *seen is there (returns its SSE text and updates *seen),
    // the wait times out (returns a keep-alive comment) or the feed closes (returns null).
    std::shared_ptr<const std::string> next(uint64_t* seen, int keepalive_ms);
    // Wakes every waiting stream; next() returns null from now on.
    void close();

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::shared_ptr<const std::string> latest_;
    uint64_t version_ = 0;
    bool closed_ = false;
};

}  // namespace fleet_page
