#include "paced_sender.h"

#include <sys/socket.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>

namespace standin {

namespace {

constexpr int64_t nanos_per_second = 1000000000;
// Deadlines closer than this are not slept for.
constexpr int64_t slack_ns = 50000;

int64_t to_ns(const struct timespec& t) {
    return static_cast<int64_t>(t.tv_sec) * nanos_per_second + t.tv_nsec;
}

struct timespec from_ns(int64_t ns) {
    struct timespec t;
    t.tv_sec = static_cast<time_t>(ns / nanos_per_second);
    t.tv_nsec = static_cast<long>(ns % nanos_per_second);
    return t;
}

void sleep_until(int64_t deadline_ns) {
    const struct timespec deadline = from_ns(deadline_ns);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

}  // namespace

struct timespec monotonic_now() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

namespace {

// Datagrams that are due together go out in one sendmmsg call.
class Batch {
  public:
    static constexpr unsigned capacity = 64;
    static constexpr size_t slot_size = 64;

    Batch(NetlinkEndpoint& endpoint, uint32_t port, SendStats& stats)
        : endpoint_(endpoint), port_(port), stats_(stats) {
        memset(messages_, 0, sizeof messages_);
        for (unsigned i = 0; i < capacity; ++i) {
            iov_[i].iov_base = slots_[i];
            messages_[i].msg_hdr.msg_iov = &iov_[i];
            messages_[i].msg_hdr.msg_iovlen = 1;
        }
    }
    bool fits(const Datagram& d) const { return d.length <= slot_size; }
    // Queues a copy of `d`; sends the batch when it is full.
    void add(const Datagram& d) {
        memcpy(slots_[count_], d.data, d.length);
        iov_[count_].iov_len = d.length;
        if (++count_ == capacity) {
            flush();
        }
    }
    void flush() {
        unsigned done = 0;
        while (done < count_) {
            note_first_send();
            int n = endpoint_.send_batch(port_, messages_ + done, count_ - done);
            if (n > 0) {
                stats_.sent += static_cast<unsigned>(n);
                done += static_cast<unsigned>(n);
            } else {
                ++stats_.failures;  // this one is lost; the rest are tried
                ++done;
            }
        }
        count_ = 0;
    }
    void send_one(const Datagram& d) {
        flush();
        note_first_send();
        if (endpoint_.send_to(port_, d.data, d.length) == 0) {
            ++stats_.sent;
        } else {
            ++stats_.failures;
        }
    }
    int64_t first_send_ns() const { return first_ns_; }

  private:
    void note_first_send() {
        if (first_ns_ < 0) {
            first_ns_ = to_ns(monotonic_now());
        }
    }
    NetlinkEndpoint& endpoint_;
    uint32_t port_;
    SendStats& stats_;
    unsigned count_ = 0;
    int64_t first_ns_ = -1;
    uint8_t slots_[capacity][slot_size];
    struct iovec iov_[capacity];
    struct mmsghdr messages_[capacity];
};

}  // namespace

SendStats send_all(DatagramSource& source, NetlinkEndpoint& endpoint, uint32_t port,
                   const struct timespec& start, bool unlimited) {
    SendStats stats;
    auto batch = std::make_unique<Batch>(endpoint, port, stats);
    const int64_t start_ns = to_ns(start);
    int64_t now_ns = to_ns(monotonic_now());
    Datagram datagram;
    while (source.next(datagram)) {
        if (!unlimited) {
            const int64_t deadline =
                start_ns + static_cast<int64_t>(std::llround(datagram.at * 1e9));
            if (deadline - now_ns > slack_ns) {
                now_ns = to_ns(monotonic_now());
                if (deadline - now_ns > slack_ns) {
                    batch->flush();  // what is due goes out before the sleep
                    sleep_until(deadline);
                    now_ns = deadline;
                }
            }
        }
        if (batch->fits(datagram)) {
            batch->add(datagram);
        } else {
            batch->send_one(datagram);
        }
    }
    batch->flush();
    if (batch->first_send_ns() >= 0) {
        stats.seconds = static_cast<double>(to_ns(monotonic_now()) - batch->first_send_ns()) / 1e9;
    }
    return stats;
}

}  // namespace standin
