#include "connection_watch.h"

#include <sys/socket.h>

#include <chrono>

namespace fleet_page {

int64_t monotonic_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void ConnectionWatch::start(int64_t period_ms) {
    stop();
    period_ms_ = period_ms;
    stopping_ = false;
    sweeper_ = std::thread([this] { sweep(); });
}

void ConnectionWatch::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (sweeper_.joinable())
        sweeper_.join();
}

ConnectionWatch::Entry* ConnectionWatch::opened(int fd, int64_t deadline_ms) {
    auto* entry = new Entry{fd, {deadline_ms}};
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.insert(entry);
    return entry;
}

void ConnectionWatch::closed(Entry* entry) {
    // Once out of the set the sweeper never touches its socket, which is closed after this.
    {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.erase(entry);
    }
    delete entry;
}

void ConnectionWatch::sweep() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        wake_.wait_for(lock, std::chrono::milliseconds(period_ms_));
        int64_t now = monotonic_ms();
        for (Entry* entry : entries_) {
            int64_t deadline = entry->deadline_ms;
            // Re-armed meanwhile (a new request on the connection): the new deadline holds.
            if (deadline == 0 || now < deadline ||
                !entry->deadline_ms.compare_exchange_strong(deadline, 0))
                continue;
            // The connection's thread sees the end of the stream and closes it; a socket
            // already shut down by its peer is no error worth a word.
            if (shutdown(entry->fd, SHUT_RDWR) == 0)
                ++cut_;
        }
    }
}

}  // namespace fleet_page
