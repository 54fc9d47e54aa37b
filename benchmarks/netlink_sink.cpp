// vorlask-netlink-sink: the least a receiver of probe messages can do, as the
// ceiling that the daemon's ingest rate is measured against. It registers
// with the kernel end like the daemon (the same 32 bytes, built by the
// daemon's own code), then only counts the datagrams of 32 bytes or more in
// a blocking receive loop. By default it receives the way the daemon does:
// its socket connected to the kernel end, recvmsg with the sender's address
// into a buffer of the same size, and only the kernel end's datagrams taken;
// --plain receives with recv(2) instead, the cheapest receive there is.
//
//   vorlask-netlink-sink --kernel-port ID --count N [--idle SECS] [--plain]
//
// Ends after N datagrams, or after SECS (default 3) without one, and prints
// "received N datagrams in S s" (first datagram to the end of the loop, less
// the idle wait if it ended idle). The loop itself reads no clock.
#include <libmnl/libmnl.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "probe_record.h"
#include "uapi/vorlask.h"

namespace {

double now_seconds() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

[[noreturn]] void usage() {
    fprintf(stderr,
            "usage: vorlask-netlink-sink --kernel-port ID --count N [--idle SECS] [--plain]\n");
    exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long kernel_port = 0;
    unsigned long long count = 0;
    double idle = 3;
    bool plain = false;
    int i = 1;
    for (; i < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--plain") {
            plain = true;
            --i;
            continue;
        }
        if (i + 1 >= argc) {
            usage();
        }
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
    if (kernel_port == 0 || count == 0 || idle <= 0) {
        usage();
    }

    struct mnl_socket* nl = mnl_socket_open(VORLASK_NETLINK_PROTOCOL);
    if (nl == nullptr || mnl_socket_bind(nl, 0, MNL_SOCKET_AUTOPID) < 0) {
        perror("netlink socket");
        return 1;
    }
    const int fd = mnl_socket_get_fd(nl);
    struct timeval tv = {static_cast<time_t>(idle),
                         static_cast<suseconds_t>((idle - static_cast<time_t>(idle)) * 1e6)};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    struct sockaddr_nl kernel = {};
    kernel.nl_family = AF_NETLINK;
    kernel.nl_pid = static_cast<uint32_t>(kernel_port);
    alignas(struct nlmsghdr) uint8_t registration[VORLASK_REGISTER_LEN] = {};
    const size_t registration_length = build_registration(registration, VORLASK_REGISTER_SEQ);
    if (!plain) {
        connect(fd, reinterpret_cast<struct sockaddr*>(&kernel), sizeof kernel);
    }
    if (sendto(fd, registration, registration_length, 0,
               reinterpret_cast<struct sockaddr*>(&kernel), sizeof kernel) < 0) {
        perror("registration");
        return 1;
    }

    // The daemon's buffer size: the page size, at most 8 KiB.
    static uint8_t buf[8192];
    const size_t size = std::min<size_t>(static_cast<size_t>(sysconf(_SC_PAGESIZE)), sizeof buf);
    unsigned long long received = 0;
    double first = 0;
    bool idled = false;
    struct sockaddr_nl from = {};
    struct iovec iov = {buf, size};
    struct msghdr msg = {};
    while (received < count) {
        ssize_t n;
        if (plain) {
            n = recv(fd, buf, size, 0);
        } else {
            msg.msg_name = &from;
            msg.msg_namelen = sizeof from;
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            n = recvmsg(fd, &msg, 0);
            if (n >= 0 && (msg.msg_flags & MSG_TRUNC) != 0) {
                errno = ENOSPC;
                n = -1;
            } else if (n >= 0 && from.nl_pid != kernel.nl_pid) {
                continue;  // not from the kernel end
            }
        }
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            idled = errno == EAGAIN || errno == EWOULDBLOCK;
            break;  // idle timeout, or an error
        }
        if (n >= VORLASK_PROBE_MSG_LEN) {
            if (received == 0) {
                first = now_seconds();
            }
            ++received;
        }
    }
    double end = now_seconds() - (idled ? idle : 0);
    printf("received %llu datagrams in %.6f s\n", received, received == 0 ? 0 : end - first);
    mnl_socket_close(nl);
    return received == count ? 0 : 1;
}
