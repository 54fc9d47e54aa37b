// Deadlines on the HTTP server's connections that libmicrohttpd does not keep: its idle timeout
// starts again with every byte, so a client sending one header line every few seconds would hold
// its connection (and its thread) for ever. Each watched connection carries one deadline at a
// time (the whole request header, or a live feed's next piece of data); a sweeper thread shuts
// down the socket of any connection past its deadline, and libmicrohttpd then closes it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <thread>

namespace fleet_page {

// Milliseconds on the monotonic clock.
int64_t monotonic_ms();

class ConnectionWatch {
  public:
    struct Entry {
        int fd;
        std::atomic<int64_t> deadline_ms;  // monotonic; 0: none
    };

    ConnectionWatch() = default;
    ~ConnectionWatch() { stop(); }
    ConnectionWatch(const ConnectionWatch&) = delete;
    ConnectionWatch& operator=(const ConnectionWatch&) = delete;

    // The sweeper looks every period_ms.
    void start(int64_t period_ms);
    void stop();

    // From the connection's start until closed(); the socket stays open in between.
    Entry* opened(int fd, int64_t deadline_ms);
    void closed(Entry* entry);
    static void arm(Entry* entry, int64_t deadline_ms) { entry->deadline_ms = deadline_ms; }
    static void disarm(Entry* entry) { entry->deadline_ms = 0; }

    // Connections shut down for a missed deadline so far.
    uint64_t cut() const { return cut_; }

  private:
    void sweep();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::set<Entry*> entries_;
    std::thread sweeper_;
    bool stopping_ = false;
    int64_t period_ms_ = 250;
    std::atomic<uint64_t> cut_{0};
};

}  // namespace fleet_page
