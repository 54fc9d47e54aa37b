// vorlask-netlink-sink: the least a receiver of probe messages can do, as the
// ceiling that the daemon's ingest rate is measured against. It registers
// with the kernel end like the daemon (the same 32 bytes), then only counts
// the datagrams of 32 bytes or more in a plain blocking receive loop.
//
//   vorlask-netlink-sink --kernel-port ID --count N [--idle SECS]
//
// Ends after N datagrams, or after SECS (default 3) without one, and prints
// "received N datagrams in S s" (first to last).
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const uint8_t registration[32] = {32,  0,   0,   0,   0x00, 0x04, 0x0B, 0x03, 1,    0,   0,
                                  0,   0,   0,   0,   0,    15,   0,    0xD2, 0x04, 'H', 'e',
                                  'l', 'l', 'o', 'K', 'e',  'r',  'n',  'e',  'l',  0};

double now_seconds() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

[[noreturn]] void usage() {
    fprintf(stderr, "usage: vorlask-netlink-sink --kernel-port ID --count N [--idle SECS]\n");
    exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long kernel_port = 0;
    unsigned long long count = 0;
    double idle = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--kernel-port") {
            kernel_port = strtoul(argv[i + 1], nullptr, 10);
        } else if (name == "--count") {
            count = strtoull(argv[i + 1], nullptr, 10);
        } else if (name == "--idle") {
            idle = strtod(argv[i + 1], nullptr);
        } else {
            usage();
        }
    }
    if (kernel_port == 0 || count == 0 || argc % 2 == 0 || idle <= 0) {
        usage();
    }

    int fd = socket(AF_NETLINK, SOCK_RAW, NETLINK_USERSOCK);
    struct sockaddr_nl self = {};
    self.nl_family = AF_NETLINK;
    if (fd < 0 || bind(fd, reinterpret_cast<struct sockaddr*>(&self), sizeof self) < 0) {
        perror("netlink socket");
        return 1;
    }
    struct timeval tv = {static_cast<time_t>(idle),
                         static_cast<suseconds_t>((idle - static_cast<time_t>(idle)) * 1e6)};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    struct sockaddr_nl kernel = {};
    kernel.nl_family = AF_NETLINK;
    kernel.nl_pid = static_cast<uint32_t>(kernel_port);
    if (sendto(fd, registration, sizeof registration, 0,
               reinterpret_cast<struct sockaddr*>(&kernel), sizeof kernel) < 0) {
        perror("registration");
        return 1;
    }

    static uint8_t buf[8192];
    unsigned long long received = 0;
    double first = 0;
    double last = 0;
    while (received < count) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;  // idle timeout, or an error
        }
        if (n >= 32) {
            last = now_seconds();
            if (received == 0) {
                first = last;
            }
            ++received;
        }
    }
    printf("received %llu datagrams in %.6f s\n", received, last - first);
    close(fd);
    return received == count ? 0 : 1;
}
