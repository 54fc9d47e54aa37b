#include "paced_sender.h"

#include <cerrno>
#include <cmath>

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

SendStats send_all(DatagramSource& source, NetlinkEndpoint& endpoint, uint32_t port,
                   const struct timespec& start, bool unlimited) {
    SendStats stats;
    const int64_t start_ns = to_ns(start);
    int64_t first_ns = -1;
    int64_t now_ns = to_ns(monotonic_now());
    Datagram datagram;
    while (source.next(datagram)) {
        if (!unlimited) {
            const int64_t deadline =
                start_ns + static_cast<int64_t>(std::llround(datagram.at * 1e9));
            if (deadline - now_ns > slack_ns) {
                now_ns = to_ns(monotonic_now());
                if (deadline - now_ns > slack_ns) {
                    sleep_until(deadline);
                    now_ns = deadline;
                }
            }
        }
        if (first_ns < 0) {
            first_ns = to_ns(monotonic_now());
        }
        if (endpoint.send_to(port, datagram.data, datagram.length) == 0) {
            ++stats.sent;
        } else {
            ++stats.failures;
        }
    }
    now_ns = to_ns(monotonic_now());
    if (first_ns >= 0) {
        stats.seconds = static_cast<double>(now_ns - first_ns) / 1e9;
    }
    return stats;
}

}  // namespace standin
