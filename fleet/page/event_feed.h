// The page's live feed (Server-Sent Events): the latest state, not a log. Each publication is
// the whole state and, where it can be told, what changed since the one before: a stream that
// has the one before gets the change, a new stream or one that fell behind gets the state. A
// slow stream skips to the latest instead of queueing, and every stream shares the one text of
// an event, so memory stays bounded whatever the readers do. Publishing takes a lock held only
// for a pointer swap, never for I/O.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace fleet_page {

class EventFeed {
  public:
    // Any thread. Data must not hold a newline (one SSE data line); an empty change_data: the
    // state goes to every stream.
    void publish(const std::string& state_name, const std::string& state_data,
                 const std::string& change_name = std::string(),
                 const std::string& change_data = std::string());
    // Blocks until an event newer than *seen is there (returns its SSE text and updates *seen),
    // the wait times out (returns a keep-alive comment) or the feed closes (returns null).
    std::shared_ptr<const std::string> next(uint64_t* seen, int keepalive_ms);
    // Wakes every waiting stream; next() returns null from now on.
    void close();

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::shared_ptr<const std::string> latest_;
    std::shared_ptr<const std::string> change_;  // from the version before; null: none
    uint64_t version_ = 0;
    bool closed_ = false;
};

}  // namespace fleet_page
