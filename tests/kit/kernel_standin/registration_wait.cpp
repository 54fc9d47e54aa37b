#include "registration_wait.h"

#include <algorithm>
#include <cmath>

#include "paced_sender.h"
#include "registration_check.h"

namespace standin {

namespace {
double seconds_since(const struct timespec& start) {
    struct timespec now = monotonic_now();
    return static_cast<double>(now.tv_sec - start.tv_sec) +
           static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}
}  // namespace

WaitResult wait_for_registration(NetlinkEndpoint& endpoint, double seconds, Registration& out,
                                 std::ostream& rejections) {
    const struct timespec start = monotonic_now();
    std::vector<uint8_t> buf(65536);
    for (;;) {
        const double left = seconds - seconds_since(start);
        if (left <= 0) {
            return WaitResult::timed_out;
        }
        const int timeout_ms = static_cast<int>(std::min(std::ceil(left * 1000), 3600000.0));
        size_t length = 0;
        uint32_t sender = 0;
        int got = endpoint.receive(timeout_ms, buf.data(), buf.size(), length, sender);
        if (got < 0) {
            return WaitResult::failed;
        }
        if (got == 0) {
            continue;
        }
        const size_t kept = std::min(length, buf.size());
        std::string problem = registration_problem(buf.data(), length);
        if (problem.empty() && sender == 0) {
            problem = "sent by the kernel (port id 0), not by a process";
        }
        if (!problem.empty()) {
            rejections << "rejected: " << problem << std::endl;
            continue;
        }
        out.daemon_port = sender;
        out.bytes.assign(buf.begin(), buf.begin() + static_cast<long>(kept));
        return WaitResult::registered;
    }
}

}  // namespace standin
